#pragma once
// Reading a line capture (pcapng, link type 147, the kel36 packet header; see
// docs/capture.md). The reader is bounded: the file, each block and the
// number of interfaces have a ceiling, every length is checked against what
// is left before it is used, and anything that does not fit the format is
// refused with one line naming where and why.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelsim {

constexpr uint16_t kCaptureLinkType = 147;
constexpr uint8_t kCaptureVersion = 1;
constexpr std::size_t kCaptureHeaderLength = 16;

// Kinds of the kel36 packet header.
enum CaptureKind : uint8_t {
    kKindRequest = 1,
    kKindReply = 2,
    kKindRoundStart = 16,
    kKindRecord = 17,
    kKindStall = 18,
    kKindLineLost = 19,
    kKindLineReopened = 20,
};

struct CaptureDevice {
    int index = 0;
    std::string name;
    int address = 0;
};

struct CaptureInterface {
    std::string name;         // if_name: the port
    uint64_t speed = 0;       // if_speed, bits per second; 0 when not given
    std::vector<CaptureDevice> devices;  // from the "device ..." comments
};

struct CapturePacket {
    std::size_t interface = 0;  // index into CaptureFile::interfaces
    uint8_t kind = 0;
    uint8_t device = 255;
    uint8_t address = 0;
    uint64_t monotonic_ns = 0;
    uint16_t reg = 65535;
    uint8_t flags = 0;
    uint8_t reason = 0;
    std::string payload;
};

struct CaptureFile {
    std::vector<CaptureInterface> interfaces;  // of every section, in order
    std::vector<CapturePacket> packets;        // kinds this reader does not know are left out
};

struct CaptureError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Ceilings: larger files or blocks are refused before anything is allocated.
constexpr uint64_t kMaxCaptureBytes = 256ull << 20;
constexpr uint32_t kMaxBlockBytes = 1u << 20;
constexpr std::size_t kMaxInterfaces = 1024;

// Throws CaptureError("FILE: offset N: what is wrong").
CaptureFile readCaptureFile(const std::string& path);
// The same from bytes in memory; `name` only names them in errors.
CaptureFile parseCapture(const std::string& bytes, const std::string& name);

}  // namespace kelsim
