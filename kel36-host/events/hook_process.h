#pragma once
// One run of the event hook's program: started without a shell in a process
// group of its own, with none of the host's descriptors (serial lines,
// sockets, the history), its standard input a pipe holding one line, its
// standard output and error one pipe of which the first lines are kept.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "kel36-host/wall_clock.h"

namespace keltool {

// What of a program's output is kept for the log.
constexpr std::size_t kHookOutputLines = 4;
constexpr std::size_t kHookOutputBytes = 1024;

// The program as it will be run: a name without '/' is looked for in PATH.
// Throws ToolError, one line, when there is no such executable file.
std::string resolveHookProgram(const std::string& program);

class HookProcess {
public:
    // argv[0] is the resolved path; `env` adds to (and replaces KEL36_* of)
    // the host's environment. Throws std::runtime_error when it cannot fork.
    HookProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                const std::string& input, TimePoint deadline);
    ~HookProcess();
    HookProcess(const HookProcess&) = delete;
    HookProcess& operator=(const HookProcess&) = delete;

    int outputFd() const { return output_fd_; }
    // Readable once the program has ended; -1 where the kernel has no pidfd.
    int exitFd() const { return exit_fd_; }
    TimePoint deadline() const { return deadline_; }
    // Takes what the program wrote so far, without waiting.
    void readOutput();
    // True once the program has ended (reaped).
    bool finished();
    // Kills its whole process group and reaps it; `why` is its outcome.
    void kill(const char* why = "killed after its time-out");

    bool killed() const { return killed_; }
    int waitStatus() const { return wait_status_; }
    // The first lines of its output, control characters shown as escapes.
    std::vector<std::string> outputLines() const;
    // "exit status 0", "killed by signal 9", "killed after its time-out".
    std::string outcome() const;

private:
    pid_t pid_ = -1;
    int output_fd_ = -1;
    int exit_fd_ = -1;
    TimePoint deadline_;
    bool reaped_ = false;
    bool killed_ = false;
    const char* kill_reason_ = "";
    int wait_status_ = 0;
    std::string output_;  // at most kHookOutputBytes
    bool output_full_ = false;
};

}  // namespace keltool
