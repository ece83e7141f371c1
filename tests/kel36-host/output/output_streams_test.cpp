// Standard streams as a shell hands them over: closed (`>&-`), a full disk
// (`> /dev/full`), a pipe whose reader has gone (`| head -1`). The tools
// never write into a file they opened themselves, never report a failed
// write as success, and end quietly when a pipeline is done with them.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "host_process.h"
#include "support/history_rows.h"

namespace toolstest {
namespace {

// A child with stdout on `out_fd` (-1: closed) and stderr into a pipe.
class Child {
public:
    Child(const char* program, const std::vector<std::string>& args, int out_fd)
    {
        int err[2];
        if (pipe2(err, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(err[1], STDERR_FILENO);
            if (out_fd >= 0)
                dup2(out_fd, STDOUT_FILENO);
            else
                close(STDOUT_FILENO);
            std::vector<char*> argv{const_cast<char*>(program)};
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(program, argv.data());
            _exit(127);
        }
        close(err[1]);
        err_fd_ = err[0];
    }
    ~Child()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (err_fd_ >= 0)
            close(err_fd_);
    }

    // Reads stderr up to its first line.
    std::string errorLine()
    {
        while (err_.find('\n') == std::string::npos && readError(5000)) {
        }
        return err_.substr(0, err_.find('\n'));
    }

    // Waits for the end (killed after 20 s); the wait status.
    int wait()
    {
        while (readError(20000)) {
        }
        int status = -1;
        if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_)
            pid_ = -1;
        return status;
    }
    const std::string& err() const { return err_; }
    // The reader of stderr goes away.
    void closeError()
    {
        close(err_fd_);
        err_fd_ = -1;
    }
    // The wait status, or -1 (and the child killed) after `limit`.
    int waitWithin(std::chrono::seconds limit)
    {
        const auto until = std::chrono::steady_clock::now() + limit;
        int status = -1;
        while (pid_ > 0 && std::chrono::steady_clock::now() < until) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return status;
            }
            poll(nullptr, 0, 20);
        }
        return -1;
    }

private:
    bool readError(int limit_ms)
    {
        pollfd p{err_fd_, POLLIN, 0};
        char buf[512];
        if (err_fd_ < 0 || poll(&p, 1, limit_ms) <= 0)
            return false;
        const ssize_t n = read(err_fd_, buf, sizeof buf);
        if (n <= 0)
            return false;
        err_.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int err_fd_ = -1;
    std::string err_;
};

int exitStatus(int wait_status)
{
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
}

TEST(StandardStreams, AClosedStdoutIsNeverTakenByAFileTheToolOpens)
{
    TempDir dir;
    const std::string history = dir.file("h.db");
    {
        Child host(
            hostPath(),
            {"--plugin", pluginPath(), "--rounds", "2", "--interval", "0", "--history", history},
            -1);
        EXPECT_EQ(exitStatus(host.wait()), 0) << host.err();
    }
    // A history database with nothing but the two records.
    EXPECT_EQ(historytest::queryValue(history, "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(historytest::readRows(history).size(), 2u);

    // kel36-sim: the pseudo-terminal's path must not be written into the line.
    Child sim(KEL36_SIM_PATH, {"--pty", "--duration", "3"}, -1);
    const std::string banner = sim.errorLine();
    const auto at = banner.find(" on /dev/");
    ASSERT_NE(at, std::string::npos) << banner;
    const int line = open(banner.substr(at + 4).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(line, 0);
    pollfd p{line, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 300), 0) << "bytes arrived on the line unasked";
    close(line);
    EXPECT_EQ(exitStatus(sim.wait()), 0) << sim.err();
}

TEST(FailedOutput, AFullDiskFailsTheRunWithOneLineAndStatusOne)
{
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    const std::vector<std::vector<std::string>> runs = {
        {"--rounds", "2", "--interval", "0"}, {"--check"}, {"--help"}};
    for (const auto& args : runs) {
        SCOPED_TRACE(args[0]);
        std::vector<std::string> all = {"--plugin", pluginPath()};
        all.insert(all.end(), args.begin(), args.end());
        Child host(hostPath(), all, full);
        EXPECT_EQ(exitStatus(host.wait()), 1);
        EXPECT_EQ(host.err(), "kel36-host: cannot write output: No space left on device\n");
    }
    Child sim_help(KEL36_SIM_PATH, {"--help"}, full);
    EXPECT_EQ(exitStatus(sim_help.wait()), 1);
    EXPECT_EQ(sim_help.err(), "kel36-sim: cannot write output: No space left on device\n");
    Child sim(KEL36_SIM_PATH, {"--pty"}, full);
    EXPECT_EQ(exitStatus(sim.wait()), 1);
    EXPECT_NE(sim.err().find("kel36-sim: cannot write the pseudo-terminal's path: No space left"),
              std::string::npos)
        << sim.err();
    close(full);
}

TEST(FailedOutput, AReaderThatLeavesEndsTheRunQuietlyBySigpipe)
{
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    Child host(hostPath(), {"--plugin", pluginPath(), "--json", "--interval", "0"}, out[1]);
    close(out[1]);
    char first[64];
    pollfd p{out[0], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    ASSERT_GT(read(out[0], first, sizeof first), 0);
    close(out[0]);  // `| head -1` has its line
    const int status = host.wait();
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status << ", stderr: " << host.err();
    EXPECT_EQ(WTERMSIG(status), SIGPIPE);
    EXPECT_EQ(host.err(), "");
}

// Under --trace stderr carries the run's trace: its reader going away ends
// the run as stdout's does, after the summary and a closed history.
TEST(FailedOutput, AClosedStderrUnderTraceEndsTheRunBySigpipe)
{
    TempDir dir;
    const std::string out_path = dir.file("out.json");
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(out, 0);
    Child host(hostPath(),
               {"--plugin", pluginPath(), "--json", "--trace", "--interval", "0", "--history",
                dir.file("h.db")},
               out);
    close(out);
    ASSERT_FALSE(host.errorLine().empty());
    host.closeError();
    const int status = host.waitWithin(std::chrono::seconds(20));
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), SIGPIPE);
    EXPECT_NE(readFile(out_path).find("\"event\":\"summary\""), std::string::npos);
    EXPECT_EQ(historytest::queryValue(dir.file("h.db"),
                                      "SELECT count(*) FROM runs WHERE ended_ms IS NOT NULL"),
              "1");
}

}  // namespace
}  // namespace toolstest
