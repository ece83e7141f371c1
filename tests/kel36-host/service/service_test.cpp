// kel36-host under systemd: its notifications on a datagram socket of the
// test's own, as systemd's NOTIFY_SOCKET receives them.

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host_process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path)
    {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~NotifySocket() { ::close(fd_); }

    // The next message, or "" when none comes within `limit`.
    std::string next(std::chrono::milliseconds limit)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) != 1)
            return std::string();
        char buffer[512];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }
    // Waits for a message that starts with `prefix`, skipping others.
    std::string waitFor(const std::string& prefix, std::chrono::milliseconds limit)
    {
        const auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            const std::string m =
                next(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
            if (m.rfind(prefix, 0) == 0)
                return m;
        }
        return std::string();
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
};

// In the child: systemd's environment with a watchdog of `watchdog_ms`.
std::function<void()> underSystemd(const std::string& socket, int watchdog_ms)
{
    return [socket, watchdog_ms] {
        ::setenv("NOTIFY_SOCKET", socket.c_str(), 1);
        ::setenv("WATCHDOG_USEC", std::to_string(watchdog_ms * 1000).c_str(), 1);
        ::unsetenv("WATCHDOG_PID");
    };
}

TEST(Service, ReadyOnlyOnceTheLinesAreOpenThenWatchdogPingsAndStoppingAtTheEnd)
{
    toolstest::TempDir dir;
    NotifySocket notify(dir.file("notify"));
    toolstest::HostProcess host({"--service", "--interval", "100"},
                                underSystemd(notify.path(), 400));
    const std::string ready = notify.waitFor("READY=1", 10s);
    ASSERT_FALSE(ready.empty()) << host.errorSoFar();
    EXPECT_NE(ready.find("STATUS=0 of 1 device answering"), std::string::npos) << ready;
    // Written before READY was sent, so it is in the pipe by now.
    host.drain();
    EXPECT_NE(host.output().find("<6>kel36  polling /dev/pts/"), std::string::npos)
        << "the line was open before READY=1: " << host.output();

    EXPECT_EQ(notify.waitFor("STATUS=", 5s), "STATUS=1 of 1 device answering");
    int pings = 0;
    const auto until = Clock::now() + 1500ms;
    while (Clock::now() < until)
        pings += notify.next(300ms) == "WATCHDOG=1";
    EXPECT_GE(pings, 4) << "a ping every 200 ms while the loop runs";

    host.signal(SIGTERM);
    EXPECT_FALSE(notify.waitFor("STOPPING=1", 5s).empty());
    const toolstest::HostRun run = host.finish();
    EXPECT_EQ(run.exit_code, 0) << run.err;
    // For the journal: a level on every line, one round line, no clock.
    EXPECT_NE(run.out.find("<6>kel36  round 1  uab"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("round 2"), std::string::npos) << "alarms did not change";
    EXPECT_NE(run.out.find("<6>summary kel36:"), std::string::npos);
}

TEST(Service, AHungLoopStopsTheWatchdogButADeadLineOrDeviceDoesNot)
{
    toolstest::TempDir dir;
    NotifySocket notify(dir.file("notify"));
    {
        // The output pipe is not read: once it is full the loop hangs in its
        // write, and with it the pings.
        toolstest::HostProcess host({"--service", "--json", "--interval", "0"},
                                    underSystemd(notify.path(), 200));
        ASSERT_FALSE(notify.waitFor("READY=1", 10s).empty());
        ASSERT_FALSE(notify.waitFor("WATCHDOG=1", 2s).empty());
        bool silent = false;
        for (const auto end = Clock::now() + 15s; !silent && Clock::now() < end;)
            silent = notify.waitFor("WATCHDOG=1", 1s).empty();
        EXPECT_TRUE(silent) << "pings went on while the loop could not run";
        host.drain();  // the loop runs again
        EXPECT_FALSE(notify.waitFor("WATCHDOG=1", 2s).empty());
        host.signal(SIGTERM);
        host.drain();
        host.finish();
    }
    {
        // A port that is not there yet at boot: polled on as a lost line, the
        // watchdog fed, no exit 2.
        toolstest::HostProcess host({"--service", "--port", dir.file("ttyUSB9")},
                                    underSystemd(notify.path(), 200));
        const std::string ready = notify.waitFor("READY=1", 10s);
        EXPECT_NE(ready.find("STATUS=0 of 1 device answering"), std::string::npos) << ready;
        int pings = 0;
        for (const auto end = Clock::now() + 1500ms; Clock::now() < end;)
            pings += notify.next(300ms) == "WATCHDOG=1";
        EXPECT_GE(pings, 4);
        host.signal(SIGTERM);
        const toolstest::HostRun run = host.finish();
        EXPECT_NE(run.out.find("<4>kel36  WARNING port lost (" + dir.file("ttyUSB9") + ": cannot open"),
                  std::string::npos)
            << run.out << run.err;
        EXPECT_EQ(run.exit_code, 3) << "stopped before its first round";
    }
    {
        // A generator that never answers: the loop runs, so the pings go on.
        toolstest::HostProcess host(
            {"--service", "--sim-fault", "drop=1", "--timeout", "50", "--interval", "50"},
            underSystemd(notify.path(), 200));
        ASSERT_FALSE(notify.waitFor("READY=1", 10s).empty());
        int pings = 0;
        for (const auto end = Clock::now() + 1500ms; Clock::now() < end;)
            pings += notify.next(300ms) == "WATCHDOG=1";
        EXPECT_GE(pings, 4);
        host.signal(SIGTERM);
        EXPECT_NE(host.finish().out.find("<4>kel36  WARNING device stopped answering"),
                  std::string::npos);
    }
    const toolstest::HostRun outside = toolstest::runHost({"--port", dir.file("ttyUSB9")});
    EXPECT_EQ(outside.exit_code, 2) << "outside --service a missing port is bad input";
}

}  // namespace
