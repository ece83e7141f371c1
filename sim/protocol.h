#pragma once
// The controller's side of the serial polling protocol: parsing the host's
// request frames and encoding the 4-character replies. Pure functions and a
// byte-at-a-time parser, so they are easy to test and to fuzz on their own.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace kelsim {

constexpr uint8_t kXorMask = 0x9E;      // every byte on the wire is XORed with it
constexpr uint8_t kReadCommand = 0xC8;  // the only command the host sends
constexpr int kRegisterCount = 65;      // registers 0..64
constexpr std::size_t kRequestLength = 7;
constexpr std::size_t kReplyLength = 4;

// One well-formed request frame, decoded.
struct Request {
    uint8_t address = 0;
    uint8_t reg = 0;  // 0..kRegisterCount-1
};

// Request frame as the host sends it: '|' then three upper-case hex pairs,
// (address ^ mask), (mask ^ command), (mask ^ register).
std::array<char, kRequestLength> encodeRequest(uint8_t address, uint8_t reg);

// What a reply's bytes 2-3 carry.
enum class ReplyEcho {
    Register,  // the request's register field echoed (mask ^ reg)
    None,      // the register number itself, unmasked: its top bit is clear while
               // every register field's is set, so it never echoes and names no register
};

// Reply to a request for `reg`: the register value XOR mask as two upper-case
// hex digits, then the second pair as `echo` says.
std::array<char, kReplyLength> encodeReply(uint8_t value, uint8_t reg,
                                           ReplyEcho echo = ReplyEcho::Register);

// Gathers request frames from a byte stream that may arrive in any chunking.
//
// A frame starts at '|'. Everything that does not form a valid frame is
// malformed: a frame with a non upper-case hex digit, a command other than the
// read command, a register above 64, or stray bytes before the next '|'. One
// malformed count covers the run of bytes from where the trouble starts up to
// the next '|', where the parser resynchronises (a '|' inside a broken frame
// starts the next frame at once).
class RequestParser {
public:
    // Feeds one byte; returns the request when the byte completes a valid frame.
    std::optional<Request> push(uint8_t byte);

    uint64_t malformed() const { return malformed_; }
    // True while part of a frame has been gathered.
    bool midFrame() const { return state_ == State::InFrame; }

private:
    enum class State { Idle, InFrame, Skipping };
    void reject();

    State state_ = State::Idle;
    std::size_t length_ = 0;  // bytes of the current frame, '|' included
    uint8_t fields_[3] = {};
    uint64_t malformed_ = 0;
};

// Value of one hex digit, or -1. `upperOnly` refuses 'a'..'f'.
int hexDigitValue(char c, bool upperOnly);

}  // namespace kelsim
