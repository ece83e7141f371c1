#include "protocol.h"

namespace kelsim {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

void putHex(char* out, uint8_t value)
{
    out[0] = kHexDigits[value >> 4];
    out[1] = kHexDigits[value & 0x0F];
}

}  // namespace

int hexDigitValue(char c, bool upperOnly)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (!upperOnly && c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::array<char, kRequestLength> encodeRequest(uint8_t address, uint8_t reg)
{
    std::array<char, kRequestLength> frame{};
    frame[0] = '|';
    putHex(&frame[1], static_cast<uint8_t>(address ^ kXorMask));
    putHex(&frame[3], static_cast<uint8_t>(kReadCommand ^ kXorMask));
    putHex(&frame[5], static_cast<uint8_t>(reg ^ kXorMask));
    return frame;
}

std::array<char, kReplyLength> encodeReply(uint8_t value, uint8_t reg, ReplyEcho echo)
{
    std::array<char, kReplyLength> reply{};
    putHex(&reply[0], static_cast<uint8_t>(value ^ kXorMask));
    putHex(&reply[2], echo == ReplyEcho::Register ? static_cast<uint8_t>(reg ^ kXorMask) : reg);
    return reply;
}

void RequestParser::reject()
{
    ++malformed_;
    state_ = State::Skipping;
    length_ = 0;
}

std::optional<Request> RequestParser::push(uint8_t byte)
{
    const char c = static_cast<char>(byte);
    if (c == '|') {
        // A new frame; whatever was gathered so far never became one.
        if (state_ == State::InFrame)
            ++malformed_;
        state_ = State::InFrame;
        length_ = 1;
        return std::nullopt;
    }
    if (state_ == State::Skipping)
        return std::nullopt;
    if (state_ == State::Idle) {
        reject();
        return std::nullopt;
    }

    const int digit = hexDigitValue(c, true);
    if (digit < 0) {
        reject();
        return std::nullopt;
    }
    const std::size_t field = (length_ - 1) / 2;
    if ((length_ - 1) % 2 == 0) {
        fields_[field] = static_cast<uint8_t>(digit << 4);
    } else {
        fields_[field] = static_cast<uint8_t>(fields_[field] | digit);
    }
    ++length_;
    if (length_ == 5 && fields_[1] != (kReadCommand ^ kXorMask)) {
        reject();
        return std::nullopt;
    }
    if (length_ < kRequestLength)
        return std::nullopt;

    const uint8_t reg = static_cast<uint8_t>(fields_[2] ^ kXorMask);
    if (reg >= kRegisterCount) {
        reject();
        return std::nullopt;
    }
    state_ = State::Idle;
    length_ = 0;
    return Request{static_cast<uint8_t>(fields_[0] ^ kXorMask), reg};
}

}  // namespace kelsim
