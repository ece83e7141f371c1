#pragma once
// One poll()-based loop for every line: waits for the lines' bytes, their
// deadlines, the output's next frame and the stop signals, and calls them
// back. No busy waiting: the loop sleeps until the earliest deadline or an
// event. A run with a single line waits for each reply in read() itself,
// bounded by a deadline alarm: one system call per reply instead of two.

#include <csignal>
#include <cstddef>
#include <functional>
#include <vector>

namespace keltool {

class LineBus;
class OutputSink;

// SIGINT, SIGTERM and SIGHUP as a readable descriptor (a self-pipe), so the loop
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

// While one lives, threads started (the simulated controllers) leave the
// stop signals and the deadline alarm to the thread that runs the loop: a
// blocking read there must be the call they interrupt.
class SignalsKeptFromNewThreads {
public:
    SignalsKeptFromNewThreads();
    ~SignalsKeptFromNewThreads();
    SignalsKeptFromNewThreads(const SignalsKeptFromNewThreads&) = delete;
    SignalsKeptFromNewThreads& operator=(const SignalsKeptFromNewThreads&) = delete;

private:
    sigset_t saved_;
};

// Runs until every line has finished, a stop signal arrives, or
// `should_stop` (asked after each wake-up) says so. `output` (may be null)
// is woken when it asks to be. Returns the stop signal, or 0.
int runEventLoop(const std::vector<LineBus*>& buses, const StopSignals& signals, OutputSink* output,
                 const std::function<bool()>& should_stop = {});

}  // namespace keltool
