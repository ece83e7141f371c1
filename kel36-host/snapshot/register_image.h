#pragma once
// The registers one round read from a controller, as the reply bytes on the
// line carried them (not re-encoded from the record), and whether each reply
// echoed its request's register field. Written out as a kel36-sim scenario.

#include <array>
#include <cstdint>
#include <string>

#include "kel36-host/output/protocol_view.h"
#include "kel36-host/run/line_tap.h"

namespace keltool {

class RegisterImage : public LineTap {
public:
    void roundStarted() override;
    void requestSent(const unsigned char* data, std::size_t length) override;
    void replyReceived(const unsigned char* data, std::size_t length) override;

    // Registers with a well-formed reply this round.
    int registersRead() const;
    int echoed() const;  // replies whose bytes 2-3 echoed the request

    // The scenario: every register read, in the "registers" object; a
    // description naming the source and the echo.
    std::string scenarioJson(const std::string& source) const;

private:
    std::array<bool, kRegisterCount> read_{};
    std::array<uint8_t, kRegisterCount> values_{};
    std::array<bool, kRegisterCount> echoes_{};
    int awaited_ = -1;
    // The reply to the last request, gathered across reads; what comes after
    // its fourth byte is not part of it.
    std::array<unsigned char, kReplyLength> reply_{};
    std::size_t gathered_ = 0;
};

}  // namespace keltool
