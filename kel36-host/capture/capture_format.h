#pragma once
// The kel36 capture format (docs/capture.md): pcapng with link type 147 and
// a 16-byte header in front of every packet's payload. Shared by the writer,
// the sniffer and whoever reads a capture back.

#include <cstddef>
#include <cstdint>

namespace keltool {

constexpr uint16_t kCaptureLinkType = 147;  // LINKTYPE_USER0
constexpr uint8_t kCaptureFormatVersion = 1;
constexpr std::size_t kCaptureHeaderLength = 16;
constexpr uint8_t kNoDevice = 255;
constexpr uint16_t kNoRegister = 65535;

enum class CaptureKind : uint8_t {
    Request = 1,
    Reply = 2,
    RoundStart = 16,
    RecordPublished = 17,
    Stall = 18,
    LineLost = 19,
    LineReopened = 20,
};

constexpr uint8_t kFlagDiscarded = 1;  // reply bytes no round waited for
constexpr uint8_t kFlagSniffed = 2;    // the direction was inferred from the bytes

// The header fields of one event. The monotonic clock is CLOCK_MONOTONIC in
// nanoseconds (std::chrono::steady_clock on Linux).
struct CaptureHeader {
    CaptureKind kind = CaptureKind::Request;
    uint8_t device = kNoDevice;
    uint8_t address = 0;
    uint64_t monotonic_ns = 0;
    uint16_t reg = kNoRegister;
    uint8_t flags = 0;
    uint8_t stall_reason = 0;  // kind 18: 1 no reply, 2 refused, 3 write blocked
};

// The 16 bytes, network byte order.
inline void encodeCaptureHeader(const CaptureHeader& h, unsigned char* out)
{
    out[0] = kCaptureFormatVersion;
    out[1] = static_cast<unsigned char>(h.kind);
    out[2] = h.device;
    out[3] = h.address;
    for (int i = 0; i < 8; ++i)
        out[4 + i] = static_cast<unsigned char>(h.monotonic_ns >> (56 - 8 * i));
    out[12] = static_cast<unsigned char>(h.reg >> 8);
    out[13] = static_cast<unsigned char>(h.reg);
    out[14] = h.flags;
    out[15] = h.stall_reason;
}

inline void putBigEndian32(uint32_t v, unsigned char* out)
{
    out[0] = static_cast<unsigned char>(v >> 24);
    out[1] = static_cast<unsigned char>(v >> 16);
    out[2] = static_cast<unsigned char>(v >> 8);
    out[3] = static_cast<unsigned char>(v);
}

}  // namespace keltool
