#pragma once
// A child program of the soak: its standard output comes back through a pipe,
// line by line; its standard error goes to a file. Stopped only through its
// own process id.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace soak {

class ChildProcess {
public:
    // Throws std::runtime_error when the program cannot be started.
    ChildProcess(const std::vector<std::string>& argv, const std::string& stderr_path);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of output; nullopt at end of output or after `timeout`
    // without a complete line (`timedOut()` tells which).
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    bool timedOut() const { return timed_out_; }

    pid_t pid() const { return pid_; }
    // Peak resident set so far (VmHWM), in KiB; 0 when it cannot be read.
    long peakRssKb() const;

    void signal(int sig);
    // Waits for the exit; returns the wait status and the peak RSS at exit (KiB).
    int wait(long* max_rss_kb = nullptr);

private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
    std::string buffer_;
    bool timed_out_ = false;
    bool reaped_ = false;
};

}  // namespace soak
