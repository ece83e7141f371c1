// Commissioning a real line: `scan` finds the controllers that answer and
// nothing else; --echo-cancel polls through an adapter that hears itself;
// --rs485 on a port without RS-485 mode is refused before polling.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>

#include "../sim/sim_process.h"
#include "host_process.h"

namespace toolstest {
namespace {

using namespace std::chrono_literals;
using SimTool = kelsim::testing::Tool;

// A pseudo-terminal the test holds: a line on which nobody answers, or on
// which the test answers every request with what no controller sends.
class TestLine {
public:
    TestLine()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0)
            path_ = ptsname(master_);
    }
    ~TestLine()
    {
        stop_ = true;
        if (answering_.joinable())
            answering_.join();
        if (master_ >= 0)
            close(master_);
    }
    const std::string& path() const { return path_; }

    // Answers every 7 bytes received with the next of `garbage`, in turn.
    void answerWith(std::vector<std::string> garbage)
    {
        answering_ = std::thread([this, garbage] {
            std::size_t received = 0, next = 0;
            while (!stop_) {
                pollfd p{master_, POLLIN, 0};
                char buffer[256];
                if (poll(&p, 1, 20) != 1)
                    continue;
                const ssize_t n = read(master_, buffer, sizeof buffer);
                for (ssize_t i = 0; i < n; ++i)
                    if (++received % 7 == 0) {
                        const std::string& answer = garbage[next++ % garbage.size()];
                        EXPECT_EQ(write(master_, answer.data(), answer.size()),
                                  static_cast<ssize_t>(answer.size()));
                    }
            }
        });
    }

private:
    int master_ = -1;
    std::string path_;
    std::thread answering_;
    std::atomic<bool> stop_{false};
};

struct ScanResult {
    HostRun run;
    std::vector<Json::Value> found;
    Json::Value done;
};

ScanResult scan(const std::string& port, const std::vector<std::string>& more)
{
    std::vector<std::string> args = {"scan", "--port", port, "--json"};
    args.insert(args.end(), more.begin(), more.end());
    ScanResult r;
    r.run = runHost(args);
    r.found = r.run.events("found");
    const auto done = r.run.events("scan_done");
    EXPECT_EQ(done.size(), 1u) << r.run.out << r.run.err;
    if (!done.empty())
        r.done = done.front();
    return r;
}

TEST(Scan, FindsTwoControllersOnOneLineWithTheirAddressesDataAndEcho)
{
    SimTool sim({"--pty", "--pace", "--address", "1", "--address", "7", "--echo", "none",
                 "--duration", "20"});
    const std::string port = sim.firstLine();
    ASSERT_EQ(port.rfind("/dev/", 0), 0u) << port;

    const ScanResult r = scan(port, {"--addr-range", "0-12", "--timeout", "200"});
    EXPECT_EQ(r.run.exit_code, 0) << r.run.err;
    ASSERT_EQ(r.found.size(), 2u) << r.run.out;
    EXPECT_EQ(r.found[0]["address"].asInt(), 1);
    EXPECT_TRUE(r.found[0]["echoes"].asBool());
    EXPECT_EQ(r.found[1]["address"].asInt(), 7);
    EXPECT_FALSE(r.found[1]["echoes"].asBool()) << "--echo none replies name no register";
    for (const Json::Value& f : r.found) {
        EXPECT_EQ(f["baud"].asInt(), 19200);
        EXPECT_EQ(f["data"].asInt(), 1) << "register 0 of the default scenario";
    }
    EXPECT_EQ(r.done["probed"].asInt(), 13);
    EXPECT_EQ(r.done["found"].asInt(), 2);
}

// Each line: its controllers answer, but never a well-formed reply to the
// address asked in time, so nothing is found and the exit status says so.
TEST(Scan, CountsNothingButTimelyWellFormedRepliesToTheAddressAsked)
{
    {
        SCOPED_TRACE("a silent line");
        TestLine line;
        const ScanResult r = scan(line.path(), {"--addr-range", "0-15"});
        EXPECT_EQ(r.run.exit_code, 1) << r.run.err;
        EXPECT_TRUE(r.found.empty());
        EXPECT_EQ(r.done["garbage"].asInt(), 0);
    }
    {
        SCOPED_TRACE("garbage to every address: not hex, over-long, short");
        TestLine line;
        line.answerWith({"9G9E", "9F9E0", "9F", "9f9e9f9e"});
        const ScanResult r = scan(line.path(), {"--addr-range", "0-15"});
        EXPECT_EQ(r.run.exit_code, 1) << r.run.err;
        EXPECT_TRUE(r.found.empty()) << r.run.out;
        EXPECT_EQ(r.done["garbage"].asInt(), 16);
    }
    {
        // Address 5 answers 70 ms late, after the probe has moved on: its
        // reply lands in address 6's window and must not make 6 a find.
        SCOPED_TRACE("late replies on the paced line");
        SimTool sim({"--pty", "--pace", "--address", "5", "--delay", "1", "--delay-ms", "70",
                     "--duration", "20"});
        const ScanResult r = scan(sim.firstLine(), {"--addr-range", "0-12"});
        EXPECT_EQ(r.run.exit_code, 1) << r.run.err;
        EXPECT_TRUE(r.found.empty()) << r.run.out;
        EXPECT_GE(r.done["unconfirmed"].asInt(), 1);
    }
}

TEST(Scan, BadInputIsOneLineAndStatusTwo)
{
    TestLine line;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--port", "/nonexistent/ttyUSB0"},
         "scan: cannot open /nonexistent/ttyUSB0: No such file or directory"},
        {{"--port", "/dev/null"}, "scan: /dev/null: not a serial line (not a terminal device)"},
        {{"--port", line.path(), "--addr-range", "300-2"},
         "--addr-range: expected A-B with 0 <= A <= B <= 255, got '300-2'"},
        {{"--port", line.path(), "--addr-range", "a-b"},
         "--addr-range: expected A-B with 0 <= A <= B <= 255, got 'a-b'"},
        {{"--port", line.path(), "--baud", "19200,1234"}, "--baud: expected baud rates from 1200"},
        {{"--addr-range", "1-2"}, "scan: expected --port DEV"},
    };
    for (const auto& [args, message] : cases) {
        std::vector<std::string> all = {"scan"};
        all.insert(all.end(), args.begin(), args.end());
        const HostRun run = runHost(all);
        EXPECT_EQ(run.exit_code, 2) << message;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind("kel36-host: " + message, 0), 0u) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
    }
}

TEST(Rs485, APortWithoutItIsRefusedAsNotSupportedBeforePollingOrScanning)
{
    TestLine line;
    const std::vector<std::vector<std::string>> runs = {
        {"--plugin", pluginPath(), "--port", line.path(), "--rs485", "--json"},
        {"scan", "--port", line.path(), "--rs485-delays", "1,2", "--json"}};
    for (const auto& args : runs) {
        const HostRun run = runHost(args);
        EXPECT_EQ(run.exit_code, 2);
        EXPECT_EQ(run.out, "") << "nothing polled or probed";
        EXPECT_NE(run.err.find(line.path() + ": RS-485 mode is not supported by this port"),
                  std::string::npos)
            << run.err;
    }
}

TEST(EchoCancel, PollsCleanRoundsThroughAnEchoingAdapterAndReportsAMissingEcho)
{
    SimTool sim({"--pty", "--pace", "--local-echo", "--duration", "30"});
    const std::string port = sim.firstLine();
    const std::vector<std::string> base = {"--plugin",   pluginPath(), "--port",    port, "--json",
                                           "--interval", "0",          "--timeout", "300"};
    {
        std::vector<std::string> args = base;
        args.insert(args.end(), {"--echo-cancel", "--rounds", "3"});
        const HostRun run = runHost(args);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(run.events("round").size(), 3u);
        EXPECT_TRUE(run.events("stall").empty()) << run.out;
        EXPECT_TRUE(run.events("warning").empty()) << run.out;
    }
    {
        SCOPED_TRACE("the same line without --echo-cancel: the echo is taken for a reply");
        HostProcess host(base);
        ASSERT_TRUE(host.waitForLines(2, 5s));
        host.signal(SIGINT);
        const HostRun run = host.finish();
        ASSERT_FALSE(run.events("stall").empty()) << run.out;
        EXPECT_EQ(run.events("stall")[0]["reason"].asString(), "refused");
    }
    {
        SCOPED_TRACE("a line where no echo comes: one warning, stalls, no hang");
        TestLine silent;
        std::vector<std::string> args = base;
        args[3] = silent.path();
        args.insert(args.end(), {"--echo-cancel", "--timeout", "50"});
        HostProcess host(args);
        ASSERT_TRUE(host.waitForLines(6, 5s)) << host.output();
        host.signal(SIGINT);
        const HostRun run = host.finish();
        const auto warnings = run.events("warning");
        ASSERT_EQ(warnings.size(), 1u) << run.out;
        EXPECT_NE(warnings[0]["detail"].asString().find("no echo of the request"),
                  std::string::npos);
        EXPECT_GE(run.events("stall").size(), 3u);
    }
}

// A port path may hold any byte; on a terminal it must not clear the screen
// or forge a line of its own, in the run's lines and in its errors.
TEST(PortPaths, AreShownWithTheirControlCharactersEscaped)
{
    SimTool sim({"--pty", "--duration", "20"});
    const std::string pty = sim.firstLine();
    ASSERT_EQ(pty.rfind("/dev/", 0), 0u) << pty;
    TempDir dir;
    const std::string port = dir.file("line\x1b[2J\n12:00:00.000 kel36  round 1");
    ASSERT_EQ(symlink(pty.c_str(), port.c_str()), 0);
    const std::string shown = dir.file("line\\x1b[2J\\x0a12:00:00.000 kel36  round 1");

    const HostRun run =
        runHost({"--plugin", pluginPath(), "--port", port, "--rounds", "1", "--interval", "0"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("  polling " + shown + " at 19200 baud"), std::string::npos) << run.out;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 3) << run.out;

    const HostRun missing =
        runHost({"--plugin", pluginPath(), "--port", port + "\xc2\x9b" + "x", "--rounds", "1"});
    EXPECT_EQ(missing.exit_code, 2);
    EXPECT_EQ(missing.err.find('\x1b'), std::string::npos) << missing.err;
    EXPECT_NE(missing.err.find(shown + "\\xc2\\x9bx: No such file or directory\n"),
              std::string::npos)
        << missing.err;
    EXPECT_EQ(std::count(missing.err.begin(), missing.err.end(), '\n'), 1) << missing.err;
}

// A lost line reopened by its path may lead to another device. A
// pseudo-terminal has no name to tell: the change of device number is
// warned of once, and polling goes on.
std::string deviceNumber(const std::string& path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return "(gone)";
    return std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
}

TEST(ReopenedLine, ThatLeadsToAnotherDeviceNumberIsWarnedOf)
{
    SimTool first({"--pty", "--duration", "30"});
    const std::string first_pty = first.firstLine();
    ASSERT_EQ(first_pty.rfind("/dev/", 0), 0u) << first_pty;
    TempDir dir;
    const std::string port = dir.file("port");
    ASSERT_EQ(symlink(first_pty.c_str(), port.c_str()), 0);
    HostProcess host({"--plugin", pluginPath(), "--port", port, "--json", "--interval", "0",
                      "--timeout", "300"});
    ASSERT_TRUE(host.waitForLines(3, 10s));  // started, two rounds

    SimTool second({"--pty", "--duration", "30"});  // started first: another number
    const std::string second_pty = second.firstLine();
    ASSERT_EQ(second_pty.rfind("/dev/", 0), 0u) << second_pty;
    const std::string first_number = deviceNumber(first_pty);
    const std::string second_number = deviceNumber(second_pty);
    ASSERT_NE(first_number, second_number);
    ASSERT_EQ(symlink(second_pty.c_str(), dir.file("next").c_str()), 0);
    ASSERT_EQ(rename(dir.file("next").c_str(), port.c_str()), 0);
    first.signal(SIGTERM);  // the line hangs up
    EXPECT_EQ(first.wait(), 0);

    const auto polledAgain = [&host] {
        const std::string& out = host.output();
        const auto at = out.find("\"event\":\"port_reopened\"");
        return at != std::string::npos && out.find("\"event\":\"round\"", at) != std::string::npos;
    };
    for (int i = 0; i < 100 && !polledAgain(); ++i)
        host.waitForLines(SIZE_MAX, 100ms);  // reads what came within 100 ms
    host.signal(SIGINT);
    const HostRun run = host.finish();
    EXPECT_EQ(run.exit_code, 0) << run.err;
    ASSERT_EQ(run.events("port_lost").size(), 1u) << run.out;
    ASSERT_EQ(run.events("port_reopened").size(), 1u) << run.out;
    const auto warnings = run.events("warning");
    ASSERT_EQ(warnings.size(), 1u) << run.out;
    EXPECT_EQ(warnings[0]["detail"].asString(),
              "cannot tell whether " + port + " is the same device as before: it was device " +
                  first_number + ", it is device " + second_number +
                  " (a /dev/serial/by-id/ path names the adapter); polling goes on");
    std::size_t rounds_after = 0;
    bool reopened = false;
    for (const Json::Value& line : run.jsonLines()) {
        reopened = reopened || line["event"].asString() == "port_reopened";
        rounds_after += reopened && line["event"].asString() == "round";
    }
    EXPECT_GE(rounds_after, 1u);
}

}  // namespace
}  // namespace toolstest
