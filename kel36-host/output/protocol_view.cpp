#include "kel36-host/output/protocol_view.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace keltool {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

int hexValue(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int hexPair(const unsigned char* p)
{
    const int hi = hexValue(p[0]);
    const int lo = hexValue(p[1]);
    return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

// Replies may carry lower-case digits.
int hexPairAnyCase(const unsigned char* p)
{
    const unsigned char upper[2] = {
        static_cast<unsigned char>(p[0] >= 'a' && p[0] <= 'f' ? p[0] - 'a' + 'A' : p[0]),
        static_cast<unsigned char>(p[1] >= 'a' && p[1] <= 'f' ? p[1] - 'a' + 'A' : p[1])};
    return hexPair(upper);
}

uint8_t addressFromNumber(double value)
{
    if (!std::isfinite(value) || value >= 2147483648.0 || value <= -2147483649.0)
        return 0;
    const auto whole = static_cast<long long>(value);  // truncates toward zero
    return static_cast<uint8_t>(static_cast<unsigned long long>(whole) & 0xFF);
}

}  // namespace

Frame requestFrame(uint8_t address, uint8_t reg)
{
    const uint8_t fields[3] = {static_cast<uint8_t>(address ^ kProtocolMask),
                               static_cast<uint8_t>(kProtocolMask ^ kReadCommand),
                               static_cast<uint8_t>(kProtocolMask ^ reg)};
    Frame f{};
    f[0] = '|';
    for (int i = 0; i < 3; ++i) {
        f[static_cast<std::size_t>(1 + 2 * i)] = kHex[fields[i] >> 4];
        f[static_cast<std::size_t>(2 + 2 * i)] = kHex[fields[i] & 0x0F];
    }
    return f;
}

bool decodeRequest(const unsigned char* data, std::size_t length, DecodedRequest* out)
{
    if (length != kFrameLength || data[0] != '|')
        return false;
    const int addr = hexPair(data + 1);
    const int command = hexPair(data + 3);
    const int reg = hexPair(data + 5);
    if (addr < 0 || command != (kProtocolMask ^ kReadCommand) || reg < 0)
        return false;
    const int reg_number = reg ^ kProtocolMask;
    if (reg_number >= kRegisterCount)
        return false;
    out->address = static_cast<uint8_t>(addr ^ kProtocolMask);
    out->reg = static_cast<uint8_t>(reg_number);
    return true;
}

bool decodeReply(const unsigned char* data, std::size_t length, DecodedReply* out)
{
    if (length != 4)
        return false;
    const int value = hexPairAnyCase(data);
    const int echo = hexPairAnyCase(data + 2);
    if (value < 0 || echo < 0)
        return false;
    out->data = static_cast<uint8_t>(value ^ kProtocolMask);
    out->echo_field = static_cast<uint8_t>(echo);
    return true;
}

int ReplyEchoWatch::received(const unsigned char* data, std::size_t length)
{
    constexpr std::size_t kPairStart = 2;
    constexpr std::size_t kPairEnd = 4;
    const bool had_pair = position_ >= kPairEnd;
    for (std::size_t i = 0; i < length && position_ < kPairEnd; ++i, ++position_)
        if (position_ >= kPairStart)
            pair_[position_ - kPairStart] = data[i];
    if (had_pair || position_ < kPairEnd || awaited_ < 0)
        return -1;
    const int field = hexPairAnyCase(pair_);
    const int reg = field < 0 ? -1 : field ^ kProtocolMask;
    return reg >= 0 && reg < kRegisterCount && reg != awaited_ ? reg : -1;
}

uint8_t addressFromNode(const Json::Value& node)
{
    if (!node.isObject())
        return kDefaultAddress;
    const Json::Value& app = node["appSetting"];
    if (!app.isObject())
        return kDefaultAddress;
    const Json::Value& addr = app["addr"];
    if (addr.isNull())
        return kDefaultAddress;
    if (addr.isString())
        return addressFromNumber(std::strtod(addr.asCString(), nullptr));
    if (addr.isNumeric())
        return addressFromNumber(addr.asDouble());
    return 0;
}

}  // namespace keltool
