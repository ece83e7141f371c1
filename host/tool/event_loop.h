#pragma once
// One poll()-based loop for every device: waits for the lines' bytes, the
// runners' deadlines and the stop signals, and calls the runners back. No
// busy waiting: the loop sleeps until the earliest deadline or an event.

#include <cstddef>
#include <functional>
#include <vector>

namespace keltool {

class DeviceRunner;

// SIGINT and SIGTERM as a readable descriptor (a self-pipe), so the loop
// wakes up and stops cleanly. One instance per process.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    int fd() const { return read_fd_; }
    int signalNumber() const;  // the signal that came, 0 for none

private:
    int read_fd_ = -1;
};

// Runs until every runner has finished, a stop signal arrives, or
// `should_stop` (asked after each wake-up) says so. Returns the stop signal, or 0.
int runEventLoop(const std::vector<DeviceRunner*>& runners, const StopSignals& signals,
                 const std::function<bool()>& should_stop = {});

}  // namespace keltool
