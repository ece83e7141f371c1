// The kel36-sim program as a user runs it: exit codes, messages, and a live
// run on a pseudo-terminal stopped by duration and by signal.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "line_client.h"
#include "sim_process.h"

namespace {

using namespace std::chrono_literals;
using kelsim::testing::Tool;

struct BadInput {
    std::vector<std::string> args;
    std::string message;
};

TEST(Kel36SimTool, RejectsBadInputWithOneLineAndExitTwo)
{
    const std::string bad_scenario = ::testing::TempDir() + "kel36_sim_bad_scenario.json";
    std::ofstream(bad_scenario) << R"({"uab": 1000})";
    const std::string stem = ::testing::TempDir() + "kel36_sim_" + std::to_string(getpid());
    const std::string huge_register = stem + "_huge.json";
    std::ofstream(huge_register) << R"({"registers": {"3": 18446744073709551615}})";
    const std::string deep = stem + "_deep.json";
    std::ofstream(deep) << std::string(5000, '[');
    const std::string bad_timeline = stem + "_timeline.json";
    std::ofstream(bad_timeline) << R"({"timeline": {"steps": [{"at": 2, "set": {"ua": 1}},
                                                              {"at": 1, "set": {"ua": 2}}]}})";
    const std::string fifo = stem + "_fifo";
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const BadInput cases[] = {
        {{"--bogus"}, "kel36-sim: unknown option --bogus (see --help)"},
        {{"extra"}, "kel36-sim: unknown option extra (see --help)"},
        {{"--drop", "2"}, "kel36-sim: --drop: \"2\" is not a probability 0..1"},
        {{"--split=x"}, "kel36-sim: --split: \"x\" is not a probability 0..1"},
        {{"--address", "256"}, "kel36-sim: --address: \"256\" is not an address 0..255"},
        {{"--address", "-1"}, "kel36-sim: --address: \"-1\" is not an address 0..255"},
        {{"--baud", "12345"}, "kel36-sim: --baud: \"12345\" is not a supported baud rate"},
        {{"--delay-ms", "1e3"}, "kel36-sim: --delay-ms: \"1e3\" is not a delay 0..600000 ms"},
        {{"--duration", "0"}, "kel36-sim: --duration: \"0\" is not a duration in seconds above 0"},
        {{"--seed"}, "kel36-sim: --seed needs a value"},
        {{"--pace=1"}, "kel36-sim: --pace takes no value"},
        {{"--turnaround", "-1"}, "kel36-sim: --turnaround: \"-1\" is not a turnaround 0..10000 ms"},
        {{"--echo", "reg"}, "kel36-sim: --echo: \"reg\" is not register or none"},
        {{"--pty", "--port", "/dev/ttyS0"}, "kel36-sim: use either --pty or --port, not both"},
        {{"--scenario", "/nonexistent/s.json"},
         "kel36-sim: /nonexistent/s.json: cannot read: No such file or directory"},
        {{"--scenario", bad_scenario},
         "kel36-sim: " + bad_scenario + ": $.uab: 1000 V is out of range 0..655.35 V"},
        {{"--port", "/nonexistent/ttyUSB0"},
         "kel36-sim: cannot open /nonexistent/ttyUSB0: No such file or directory"},
        {{"--scenario", huge_register},
         "kel36-sim: " + huge_register +
             ": $.registers.3: register value must be an integer 0..255"},
        {{"--scenario", deep}, "kel36-sim: " + deep + ": nested deeper than 100 levels"},
        {{"--scenario", fifo}, "kel36-sim: " + fifo + ": cannot read: a FIFO, not a regular file"},
        {{"--scenario", "/"}, "kel36-sim: /: cannot read: a directory, not a regular file"},
        {{"--scenario", bad_timeline},
         "kel36-sim: " + bad_timeline +
             ": $.timeline.steps[1].at: 1 s is before the previous step's 2 s"},
        {{"--address", "7", "--address", "0x07"}, "kel36-sim: --address 7 given twice"},
        {{"--rs485-delays", "1,2"}, "kel36-sim: --rs485-delays needs --rs485"},
        {{"--rs485", "--rs485-delays", "1,101"},
         "kel36-sim: --rs485-delays: \"1,101\" is not BEFORE,AFTER in ms, each 0..100"},
        {{"--control", "/nonexistent/sim.sock"},
         "kel36-sim: /nonexistent/sim.sock: No such file or directory"},
        {{"--control", "/" + std::string(120, 'x')},
         "kel36-sim: /" + std::string(120, 'x') + ": a control socket path must be 1..107 bytes"},
        {{"--control", bad_timeline},
         "kel36-sim: " + bad_timeline + ": exists and is not a socket; not replacing it"},
        {{"--send", "/nonexistent/sim.sock", "state"},
         "kel36-sim: cannot connect to /nonexistent/sim.sock: No such file or directory"},
        {{"--send", "/tmp/x.sock"},
         "kel36-sim: --send needs a socket path and at least one command"},
        {{"--pace", "--send", "/tmp/x.sock", "state"},
         "kel36-sim: --send comes first and takes no other options"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        Tool tool(c.args);
        EXPECT_EQ(tool.wait(), 2);
        EXPECT_EQ(tool.err().rfind(c.message, 0), 0u) << tool.err();
        EXPECT_EQ(std::count(tool.err().begin(), tool.err().end(), '\n'), 1) << tool.err();
        EXPECT_TRUE(tool.out().empty()) << tool.out();
    }
    for (const auto& path : {huge_register, deep, fifo, bad_timeline})
        unlink(path.c_str());
}

TEST(Kel36SimTool, HelpGoesToStdoutWithExitZero)
{
    Tool tool({"--help"});
    EXPECT_EQ(tool.wait(), 0);
    EXPECT_EQ(tool.out().rfind("Usage: kel36-sim", 0), 0u);
    EXPECT_NE(tool.out().find("--delay-ms MS"), std::string::npos);
    EXPECT_TRUE(tool.err().empty());

    Tool version({"--version"});
    EXPECT_EQ(version.wait(), 0);
    EXPECT_EQ(version.out().rfind("kel36-sim ", 0), 0u) << version.out();
    Tool typo({"--pac"});
    EXPECT_EQ(typo.wait(), 2);
    EXPECT_NE(typo.err().find("unknown option --pac (did you mean --pace?)"), std::string::npos)
        << typo.err();
}

TEST(Kel36SimTool, ServesOnThePrintedPseudoTerminalUntilTheDurationEnds)
{
    Tool tool(
        {"--pty", "--duration", "3", "--address", "0x42"});  // time enough on a loaded machine
    const std::string path = tool.firstLine();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    {
        kelsim::testing::LineClient line(path);
        ASSERT_TRUE(line.write("|DC56B7|DF56B7"));  // register 41 for address 0x42, then for 0x41
        EXPECT_EQ(line.read(4), "84B7");  // register 41 of the default scenario: 26 ^ 0x9E = 0x84
        EXPECT_TRUE(line.read(1, 200ms).empty());
    }
    EXPECT_EQ(tool.wait(), 0);
    EXPECT_NE(tool.err().find("requests 2 (other address 1), malformed 0, replies 1"),
              std::string::npos)
        << tool.err();
    EXPECT_NE(tool.err().find("faults injected: dropped 0"), std::string::npos) << tool.err();
}

// A script waits for the --pty-link path: it must appear only once the line
// answers, point at the printed pseudo-terminal, never replace a file, and be
// gone after the run so the next wait does not pass at once.
TEST(Kel36SimTool, PtyLinkAppearsOnceTheLineAnswersAndGoesOnExit)
{
    const std::string link = ::testing::TempDir() + "kel36_sim_link_" + std::to_string(getpid());
    ASSERT_EQ(symlink("/dev/pts/nonexistent-stale", link.c_str()), 0);  // a killed run's
    {
        Tool tool({"--pty-link", link, "--duration", "3"});
        const std::string path = tool.firstLine();
        ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        char target[256] = {};
        while (readlink(link.c_str(), target, sizeof target - 1) <= 0 ||
               std::string(target) != path) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no link to " << path;
            std::fill(std::begin(target), std::end(target), '\0');
            usleep(20000);
        }
        {
            kelsim::testing::LineClient line(link);
            ASSERT_TRUE(line.write("|DF56B7"));
            EXPECT_EQ(line.read(4), "84B7");  // register 41 of the default scenario
        }
        EXPECT_EQ(tool.wait(), 0) << tool.err();
    }
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link outlived the run";

    std::ofstream(link) << "keep";
    Tool refused({"--pty-link", link, "--duration", "1"});
    EXPECT_EQ(refused.wait(), 2);
    EXPECT_NE(refused.err().find("exists and is not a symbolic link"), std::string::npos)
        << refused.err();
    std::ifstream kept(link);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep");
    unlink(link.c_str());

    Tool with_port({"--port", "/dev/null", "--pty-link", link});
    EXPECT_EQ(with_port.wait(), 2);
    EXPECT_NE(with_port.err().find("--pty-link needs a pseudo-terminal"), std::string::npos)
        << with_port.err();
}

TEST(Kel36SimTool, StopsCleanlyOnSigtermSigintAndSighup)
{
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal_number);
        Tool tool({"--drop", "1", "--seed", "3"});
        const std::string path = tool.firstLine();
        ASSERT_FALSE(path.empty());
        {
            kelsim::testing::LineClient line(path);
            ASSERT_TRUE(line.write("|DF569E"));
            EXPECT_TRUE(line.read(1, 200ms).empty());
        }
        tool.signal(signal_number);
        EXPECT_EQ(tool.wait(), 0);
        EXPECT_NE(tool.err().find("replies 0"), std::string::npos) << tool.err();
        EXPECT_NE(tool.err().find("dropped 1,"), std::string::npos) << tool.err();
    }
}

TEST(Kel36SimTool, ExitsWithOneWhenTheSerialDeviceGoesAway)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string path = ptsname(master);
    Tool tool({"--port", path});
    // The simulator flushes the line when it opens it: wait for its banner.
    ASSERT_NE(tool.firstErrorLine().find("answering address 65"), std::string::npos);
    {
        kelsim::testing::LineClient line(master);  // closes the master: the "adapter" is unplugged
        ASSERT_TRUE(line.write("|DF569E"));
        EXPECT_EQ(line.read(4, 5000ms), "9F9E");
    }
    EXPECT_EQ(tool.wait(), 1);
    EXPECT_NE(tool.err().find("replies 1"), std::string::npos) << tool.err();
    EXPECT_NE(tool.err().find("kel36-sim: " + path + ": "), std::string::npos) << tool.err();
    EXPECT_TRUE(tool.out().empty()) << tool.out();
}

TEST(Kel36SimTool, AnswersEveryAddressGivenWithItsOwnOptions)
{
    Tool tool({"--drop", "0", "--address", "1", "--address", "2", "--echo", "none", "--scenario",
               KEL36_EXAMPLES_DIR "/scenario-alarms.json", "--duration", "3"});
    const std::string path = tool.firstLine();
    ASSERT_FALSE(path.empty());
    {
        kelsim::testing::LineClient line(path);
        ASSERT_TRUE(line.write(kelsim::testing::request(1, 34) + kelsim::testing::request(2, 34) +
                               kelsim::testing::request(3, 34)));
        EXPECT_EQ(line.read(8),
                  "9EBC"
                  "1E22");  // 0 with echo; a_7 and no echo (34 = 0x22)
        EXPECT_TRUE(line.read(1, 200ms).empty());
    }
    EXPECT_EQ(tool.wait(), 0);
    const std::string& err = tool.err();
    EXPECT_NE(err.find("answering addresses 1, 2 on " + path), std::string::npos) << err;
    EXPECT_NE(err.find("requests 3 (other address 1)"), std::string::npos) << err;
    EXPECT_NE(err.find("address 1: requests 1, replies 1"), std::string::npos) << err;
    EXPECT_NE(err.find("address 2: requests 1, replies 1"), std::string::npos) << err;
    EXPECT_NE(err.find("address 2: uab 392.00 V"), std::string::npos) << err;
}

TEST(Kel36SimTool, Rs485ModeOnAPseudoTerminalIsReportedAsNotSupported)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string peer = ptsname(master);
    for (const auto& args : {std::vector<std::string>{"--rs485"},
                             std::vector<std::string>{"--port", peer, "--rs485"}}) {
        SCOPED_TRACE(args.back());
        Tool tool(args);
        EXPECT_EQ(tool.wait(), 2);
        const std::string& err = tool.err();
        EXPECT_EQ(err.rfind("kel36-sim: /dev/pts/", 0), 0u) << err;
        EXPECT_NE(err.find(": RS-485 mode is not supported by this port (Inappropriate ioctl for "
                           "device)\n"),
                  std::string::npos)
            << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_TRUE(tool.out().empty()) << tool.out();
    }
    close(master);
}

}  // namespace
