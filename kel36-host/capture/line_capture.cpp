#include "kel36-host/capture/line_capture.h"

#include <chrono>

namespace keltool {
namespace {

uint16_t registerField(int reg)
{
    return reg < 0 || reg > 65534 ? kNoRegister : static_cast<uint16_t>(reg);
}

}  // namespace

LineCapture::LineCapture(CaptureWriter& writer, const CaptureLine& line)
    : writer_(writer), interface_(writer.addLine(line))
{
}

CaptureHeader LineCapture::header(CaptureKind kind, uint8_t device, uint8_t address,
                                  TimePoint when) const
{
    CaptureHeader h;
    h.kind = kind;
    h.device = device;
    h.address = address;
    // steady_clock is CLOCK_MONOTONIC on Linux.
    h.monotonic_ns = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count());
    return h;
}

void LineCapture::bytes(CaptureKind kind, uint8_t device, uint8_t address, int reg,
                        uint8_t flags, const unsigned char* data, std::size_t length,
                        TimePoint when)
{
    CaptureHeader h = header(kind, device, address, when);
    h.reg = registerField(reg);
    h.flags = flags;
    writer_.add(interface_, h, WallTime::now(), data, length);
}

void LineCapture::roundStart(uint8_t device, uint8_t address, uint32_t round, TimePoint when)
{
    unsigned char number[4];
    putBigEndian32(round, number);
    writer_.add(interface_, header(CaptureKind::RoundStart, device, address, when),
                WallTime::now(), number, sizeof number);
}

void LineCapture::recordPublished(uint8_t device, uint8_t address, uint32_t round,
                                  const unsigned char* record, std::size_t length,
                                  TimePoint when)
{
    unsigned char number[4];
    putBigEndian32(round, number);
    writer_.add(interface_, header(CaptureKind::RecordPublished, device, address, when),
                WallTime::now(), number, sizeof number, record, length);
}

void LineCapture::stall(uint8_t device, uint8_t address, uint32_t round, uint8_t reason,
                        int awaited, int poll_step, TimePoint when)
{
    CaptureHeader h = header(CaptureKind::Stall, device, address, when);
    h.reg = registerField(awaited);
    h.stall_reason = reason;
    unsigned char payload[6];
    putBigEndian32(round, payload);
    const auto step = static_cast<uint16_t>(poll_step < 0 ? 0 : poll_step);
    payload[4] = static_cast<unsigned char>(step >> 8);
    payload[5] = static_cast<unsigned char>(step);
    writer_.add(interface_, h, WallTime::now(), payload, sizeof payload);
}

void LineCapture::lineLost(const std::string& reason, TimePoint when)
{
    writer_.add(interface_, header(CaptureKind::LineLost, kNoDevice, 0, when), WallTime::now(),
                reinterpret_cast<const unsigned char*>(reason.data()), reason.size());
}

void LineCapture::lineReopened(TimePoint when)
{
    writer_.add(interface_, header(CaptureKind::LineReopened, kNoDevice, 0, when),
                WallTime::now(), nullptr, 0);
}

std::string captureDeviceComment(std::size_t index, const std::string& name, int address,
                                 uint32_t data_id)
{
    return "device " + std::to_string(index) + " " + name + " address " +
           std::to_string(address) + " data-id " + std::to_string(data_id);
}

}  // namespace keltool
