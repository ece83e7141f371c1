#pragma once
// One serial line and the devices on it. Devices that share a line (an
// RS-485 bus) are polled in turn on the one opened line, each with its own
// address; their rounds never overlap. The bus owns the line: it opens it,
// reads it, decides whose round comes next and when, keeps the line quiet
// after a stall so that a late reply is not taken by the next round (of this
// or another device), and reopens a line that went away.

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "kel36-host/run/device_runner.h"
#include "kel36-host/line/line_identity.h"
#include "kel36-host/line/serial_line.h"
#include "kel36-host/wall_clock.h"

namespace keltool {

class CaptureWriter;
class LineCapture;

class LineBus {
public:
    // `runners`: the devices configured on `port`, in turn order. Throws
    // ToolError when they need different baud rates.
    LineBus(std::string port, std::vector<DeviceRunner*> runners, const RunSettings& settings);
    ~LineBus();
    LineBus(const LineBus&) = delete;
    LineBus& operator=(const LineBus&) = delete;

    // Opens the line, exclusively. Throws ToolError naming the devices and
    // the reason when it cannot be opened or another program holds it;
    // with `missing_is_lost` it is a lost line instead, retried from start().
    void open(bool wait_reader, bool missing_is_lost = false);
    // --capture: the line's bytes and markers go to `writer`. Before start().
    void captureTo(CaptureWriter& writer);
    // Polling begins: every device reports its line and restores its cached
    // record; the first round is due at once.
    void start(TimePoint now);

    int fd() const;               // -1 while nothing is to be read
    TimePoint deadline() const;   // TimePoint::max() when nothing is due
    void onTimer(TimePoint now);  // call when deadline() has passed
    void onIo(short revents, TimePoint now);
    bool finished() const;

    // A run with this one line waits for each reply in a blocking read():
    // true while a round waits for a reply and the line has a blocking
    // reader. waitInRead() returns with the reply, at a hang-up, or when a
    // signal interrupts the read (the caller's deadline alarm); true when a
    // reply came and the round waits for the next one.
    bool canWaitInRead() const;
    bool waitInRead();

    const std::string& port() const { return port_; }
    const std::vector<DeviceRunner*>& runners() const { return runners_; }

private:
    enum class Phase { Closed, Idle, InRound, PortDown };

    DeviceRunner* nextInTurn(std::size_t* index) const;
    TimePoint nextStart() const;
    void beginNextRound(TimePoint now);
    void afterRound(RoundState state, TimePoint now);
    void received(std::size_t length, TimePoint now);
    void readResult(long n, TimePoint now);
    void portLost(const char* why, TimePoint now);
    void tryReopen(TimePoint now);
    bool sameDeviceAgain();
    void attachAll(int fd);

    std::string port_;
    std::vector<DeviceRunner*> runners_;
    RunSettings settings_;
    LineOptions options_;
    OpenedLine line_;

    Phase phase_ = Phase::Closed;
    DeviceRunner* active_ = nullptr;  // the device whose round it is (or was last)
    std::size_t turn_ = 0;            // index of active_
    int flush_ = -1;                  // before the next round: TCIFLUSH, TCIOFLUSH or -1
    int quiet_ms_ = 0;                // silence wanted before the next round
    TimePoint quiet_until_{};
    TimePoint latest_start_{};  // bound of the quiet wait: a chattering line is still polled
    TimePoint reopen_at_{};
    int reopen_backoff_ms_ = 0;
    bool reopen_refusal_reported_ = false;
    std::string not_opened_;  // why the first open failed, when it is retried
    LineIdentity identity_;              // of the device polled on the line
    std::string other_device_reported_;  // the other device found at the path, warned of once

    std::array<unsigned char, 256> read_buffer_{};
    std::unique_ptr<LineCapture> capture_;
};

}  // namespace keltool
