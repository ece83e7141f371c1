#pragma once
// What the host knows of the controller's serial protocol on its own: the
// request frame layout, so it can label traces, check the driver's frames and
// tell a simulated controller which address to answer.

#include <array>
#include <cstddef>
#include <cstdint>

#include <json/value.h>

namespace keltool {

constexpr uint8_t kProtocolMask = 0x9E;
constexpr uint8_t kReadCommand = 0xC8;
constexpr int kRegisterCount = 65;
constexpr std::size_t kFrameLength = 7;
constexpr std::size_t kReplyLength = 4;
constexpr uint8_t kDefaultAddress = 0x41;

using Frame = std::array<char, kFrameLength>;

// "|" + hex(addr ^ mask) + hex(mask ^ command) + hex(mask ^ register), upper case.
Frame requestFrame(uint8_t address, uint8_t reg);

struct DecodedRequest {
    uint8_t address = 0;
    uint8_t reg = 0;
};

// True when the bytes are one well-formed request frame.
bool decodeRequest(const unsigned char* data, std::size_t length, DecodedRequest* out);

// A reply as the protocol defines it: exactly four hex digits (either case).
struct DecodedReply {
    uint8_t data = 0;        // bytes 0-1 XOR the mask: the register's value
    uint8_t echo_field = 0;  // bytes 2-3 as a number
};

// True when the bytes are one well-formed reply.
bool decodeReply(const unsigned char* data, std::size_t length, DecodedReply* out);

// True when a reply's bytes 2-3 name the register field of a request for `reg`.
inline bool replyEchoes(const DecodedReply& reply, uint8_t reg)
{
    return reply.echo_field == (kProtocolMask ^ reg);
}

// Follows the reply to the request last sent, byte by byte across chunks, to
// tell which register its bytes 2-3 name (hex in either case, XOR the mask):
// a controller that echoes names the register it answers, so a reply naming
// another register than the awaited one shows a misaligned line. Allocates
// nothing.
class ReplyEchoWatch {
public:
    // `reg`: the register just requested, -1 for anything else sent.
    void requestSent(int reg)
    {
        awaited_ = reg;
        position_ = 0;
    }
    // Feeds a received chunk. Returns the register named when this chunk
    // completes bytes 2-3 of the reply and they name a register (0..64) other
    // than the awaited one; -1 otherwise, also for bytes that name no
    // register at all (a controller that does not echo).
    int received(const unsigned char* data, std::size_t length);
    int awaited() const { return awaited_; }

private:
    int awaited_ = -1;
    std::size_t position_ = 0;  // reply bytes received since the request
    unsigned char pair_[2] = {};
};

// The address a device node configures, read the way the protocol's devices
// are configured: "appSetting"/"addr" as a decimal number, truncated, low 8
// bits; no number gives 0; no setting keeps the default 0x41.
uint8_t addressFromNode(const Json::Value& node);

}  // namespace keltool
