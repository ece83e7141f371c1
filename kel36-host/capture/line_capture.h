#pragma once
// One line's events into a capture: the bytes each way and the markers of
// polling (rounds, records, stalls, a lost line), stamped with both clocks.
// Called from the polling thread; never waits for the disk.

#include <cstddef>
#include <cstdint>
#include <string>

#include "kel36-host/capture/capture_writer.h"
#include "kel36-host/wall_clock.h"

namespace keltool {

class LineCapture {
public:
    // Describes the line to the writer (its interface block).
    LineCapture(CaptureWriter& writer, const CaptureLine& line);

    // Bytes sent (Request) or received (Reply). `reg`: the register requested
    // or awaited, -1 when none.
    void bytes(CaptureKind kind, uint8_t device, uint8_t address, int reg, uint8_t flags,
               const unsigned char* data, std::size_t length, TimePoint when);
    void roundStart(uint8_t device, uint8_t address, uint32_t round, TimePoint when);
    void recordPublished(uint8_t device, uint8_t address, uint32_t round,
                         const unsigned char* record, std::size_t length, TimePoint when);
    // `reason`: 1 no reply, 2 refused, 3 write blocked.
    void stall(uint8_t device, uint8_t address, uint32_t round, uint8_t reason, int awaited,
               int poll_step, TimePoint when);
    void lineLost(const std::string& reason, TimePoint when);
    void lineReopened(TimePoint when);

private:
    CaptureHeader header(CaptureKind kind, uint8_t device, uint8_t address, TimePoint when) const;

    CaptureWriter& writer_;
    uint32_t interface_;
};

// "device 0 genset-1 address 65 data-id 5001", as an interface's comment.
std::string captureDeviceComment(std::size_t index, const std::string& name, int address,
                                 uint32_t data_id);

}  // namespace keltool
