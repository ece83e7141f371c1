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

// The address a device node configures, read the way the protocol's devices
// are configured: "appSetting"/"addr" as a decimal number, truncated, low 8
// bits; no number gives 0; no setting keeps the default 0x41.
uint8_t addressFromNode(const Json::Value& node);

}  // namespace keltool
