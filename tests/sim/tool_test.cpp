// The kel36-sim program as a user runs it: exit codes, messages, and a live
// run on a pseudo-terminal stopped by duration and by signal.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "line_client.h"

namespace {

using namespace std::chrono_literals;

// kel36-sim started with pipes on stdout and stderr.
class Tool {
public:
    explicit Tool(const std::vector<std::string>& args) {
        int out[2], err[2];
        // Close-on-exec: the program must hold no descriptor of the test's
        // (a pseudo-terminal master kept open would hide an unplugged line).
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            close(out[0]);
            close(err[0]);
            std::vector<char*> argv{const_cast<char*>(KEL36_SIM_PATH)};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(KEL36_SIM_PATH, argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Tool() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
        if (err_ >= 0) close(err_);
    }

    // First line on stdout, waiting at most `limit`.
    std::string firstLine(std::chrono::milliseconds limit = 5000ms) { return lineFrom(out_, limit, &stdout_); }

    // First line on stderr (the banner), waiting at most `limit`.
    std::string firstErrorLine(std::chrono::milliseconds limit = 5000ms) { return lineFrom(err_, limit, &stderr_); }

    void signal(int number) { kill(pid_, number); }

    // Exit status; reads the rest of both streams. A program still running
    // after `limit` is killed, so a hang fails the test instead of stalling it.
    int wait(std::chrono::milliseconds limit = 20000ms) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        int open_streams = 2;
        while (open_streams > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || poll(fds, 2, static_cast<int>(left.count())) <= 0) {
                ADD_FAILURE() << "kel36-sim still running; killed";
                kill(pid_, SIGKILL);
                break;
            }
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !fds[i].revents) continue;
                char buffer[512];
                const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    (i == 0 ? stdout_ : stderr_).append(buffer, static_cast<std::size_t>(n));
                } else {
                    fds[i].fd = -1;
                    --open_streams;
                }
            }
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
    }

    const std::string& out() const { return stdout_; }
    const std::string& err() const { return stderr_; }

private:
    // One line, kept in `seen` too so the stream's text stays whole.
    static std::string lineFrom(int fd, std::chrono::milliseconds limit, std::string* seen) {
        std::string line;
        char c;
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, static_cast<int>(limit.count())) > 0 && read(fd, &c, 1) == 1) {
            *seen += c;
            if (c == '\n') break;
            line += c;
        }
        return line;
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    int status_ = -1;
    std::string stdout_, stderr_;
};

struct BadInput {
    std::vector<std::string> args;
    std::string message;
};

TEST(Kel36SimTool, RejectsBadInputWithOneLineAndExitTwo) {
    const std::string bad_scenario = ::testing::TempDir() + "kel36_sim_bad_scenario.json";
    std::ofstream(bad_scenario) << R"({"uab": 1000})";
    const std::string stem = ::testing::TempDir() + "kel36_sim_" + std::to_string(getpid());
    const std::string huge_register = stem + "_huge.json";
    std::ofstream(huge_register) << R"({"registers": {"3": 18446744073709551615}})";
    const std::string deep = stem + "_deep.json";
    std::ofstream(deep) << std::string(5000, '[');
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
        {{"--pty", "--port", "/dev/ttyS0"}, "kel36-sim: use either --pty or --port, not both"},
        {{"--scenario", "/nonexistent/s.json"},
         "kel36-sim: /nonexistent/s.json: cannot read: No such file or directory"},
        {{"--scenario", bad_scenario},
         "kel36-sim: " + bad_scenario + ": $.uab: 1000 V is out of range 0..655.35 V"},
        {{"--port", "/nonexistent/ttyUSB0"},
         "kel36-sim: cannot open /nonexistent/ttyUSB0: No such file or directory"},
        {{"--scenario", huge_register},
         "kel36-sim: " + huge_register + ": $.registers.3: register value must be an integer 0..255"},
        {{"--scenario", deep}, "kel36-sim: " + deep + ": nested deeper than 100 levels"},
        {{"--scenario", fifo}, "kel36-sim: " + fifo + ": cannot read: a FIFO, not a regular file"},
        {{"--scenario", "/"}, "kel36-sim: /: cannot read: a directory, not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        Tool tool(c.args);
        EXPECT_EQ(tool.wait(), 2);
        EXPECT_EQ(tool.err().rfind(c.message, 0), 0u) << tool.err();
        EXPECT_EQ(std::count(tool.err().begin(), tool.err().end(), '\n'), 1) << tool.err();
        EXPECT_TRUE(tool.out().empty()) << tool.out();
    }
    for (const auto& path : {huge_register, deep, fifo}) unlink(path.c_str());
}

TEST(Kel36SimTool, HelpGoesToStdoutWithExitZero) {
    Tool tool({"--help"});
    EXPECT_EQ(tool.wait(), 0);
    EXPECT_EQ(tool.out().rfind("Usage: kel36-sim", 0), 0u);
    EXPECT_NE(tool.out().find("--delay-ms MS"), std::string::npos);
    EXPECT_TRUE(tool.err().empty());
}

TEST(Kel36SimTool, ServesOnThePrintedPseudoTerminalUntilTheDurationEnds) {
    Tool tool({"--pty", "--duration", "3", "--address", "0x42"});  // time enough on a loaded machine
    const std::string path = tool.firstLine();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    {
        kelsim::testing::LineClient line(path);
        ASSERT_TRUE(line.write("|DC56B7|DF56B7"));  // register 41 for address 0x42, then for 0x41
        EXPECT_EQ(line.read(4), "84B7");           // register 41 of the default scenario: 26 ^ 0x9E = 0x84
        EXPECT_TRUE(line.read(1, 200ms).empty());
    }
    EXPECT_EQ(tool.wait(), 0);
    EXPECT_NE(tool.err().find("requests 2 (other address 1), malformed 0, replies 1"), std::string::npos)
        << tool.err();
    EXPECT_NE(tool.err().find("faults injected: dropped 0"), std::string::npos) << tool.err();
}

TEST(Kel36SimTool, StopsCleanlyOnSigtermAndSigint) {
    for (int signal_number : {SIGTERM, SIGINT}) {
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

TEST(Kel36SimTool, ExitsWithOneWhenTheSerialDeviceGoesAway) {
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

}  // namespace
