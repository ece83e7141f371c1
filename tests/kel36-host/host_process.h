#pragma once
// kel36-host run as a user runs it: a child process with its stdout and stderr
// captured, killed (and the test failed) if it does not end in time.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <json/value.h>

namespace toolstest {

struct HostRun {
    int exit_code = -1;  // -1: did not exit normally
    std::string out;
    std::string err;

    // Every stdout line parsed as JSON; a line that is not JSON fails the test.
    std::vector<Json::Value> jsonLines() const;
    // The JSON lines whose "event" is `event`.
    std::vector<Json::Value> events(const std::string& event) const;
};

class HostProcess {
public:
    // `in_child` runs in the child just before kel36-host starts (limits, say).
    explicit HostProcess(const std::vector<std::string>& args,
                         const std::function<void()>& in_child = {});
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    // Waits until stdout holds at least `lines` complete lines; false on time-out or exit.
    bool waitForLines(std::size_t lines, std::chrono::milliseconds limit);
    // Waits until stderr holds `text`; false on time-out or exit.
    bool waitForError(const std::string& text, std::chrono::milliseconds limit);
    // Reads what the tool wrote so far without waiting, so it never blocks on a full pipe.
    void drain();
    const std::string& errorSoFar() const { return run_.err; }
    void signal(int number);
    pid_t pid() const { return pid_; }
    // Standard output so far.
    const std::string& output() const { return run_.out; }
    // Collects the rest of the output and the exit status.
    HostRun finish(std::chrono::milliseconds limit = std::chrono::seconds(30));

private:
    bool pump(std::chrono::milliseconds limit);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    HostRun run_;
};

// Runs kel36-host with `args` to the end.
HostRun runHost(const std::vector<std::string>& args,
                std::chrono::milliseconds limit = std::chrono::seconds(30),
                const std::function<void()>& in_child = {});

const char* hostPath();
const char* pluginPath();
std::string examplePath(const std::string& name);

// A scratch directory removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::string write(const std::string& name, const std::string& text) const;

private:
    std::string path_;
};

std::string readFile(const std::string& path);

}  // namespace toolstest
