// sniff on a line kel36-host polls: a relay in the middle copies both
// directions to a third pseudo-terminal, which sniff listens to. It hears
// the frames the host traced, decodes them, keeps them in the capture
// format, and never sends a byte (the relay reads everything sniff's side
// writes).

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <regex>
#include <sstream>
#include <thread>

#include "capture_reader.h"
#include "host/serial_port.h"
#include "host_process.h"
#include "simulator.h"

namespace capturetest {
namespace {

using namespace std::chrono_literals;

struct Pty {
    int master = -1;
    int slave = -1;  // held open by the relay: no hang-up when a user closes
    std::string path;

    Pty()
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            throw std::runtime_error("no pseudo-terminal");
        path = ::ptsname(master);
        slave = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        // Raw before any byte crosses it: an echo would look like a byte sent.
        kelhost::configureRaw(slave, kelhost::SerialSettings{}, nullptr);
    }
    ~Pty()
    {
        ::close(slave);
        ::close(master);
    }
};

// Host <-> controller, both directions copied to the listener's line; what
// comes from the listener's side is counted.
class Relay {
public:
    Relay() : thread_([this] { run(); }) {}
    ~Relay()
    {
        stop_ = true;
        thread_.join();
    }
    Pty host, controller, listener;
    std::atomic<std::size_t> from_listener{0};

private:
    void copy(int from, int to)
    {
        unsigned char b[256];
        const ssize_t n = ::read(from, b, sizeof b);
        if (n <= 0)
            return;
        (void)!::write(to, b, static_cast<std::size_t>(n));
        (void)!::write(listener.master, b, static_cast<std::size_t>(n));
    }
    void run()
    {
        while (!stop_) {
            pollfd fds[3] = {{host.master, POLLIN, 0},
                             {controller.master, POLLIN, 0},
                             {listener.master, POLLIN, 0}};
            if (::poll(fds, 3, 20) <= 0)
                continue;
            if (fds[0].revents & POLLIN)
                copy(host.master, controller.master);
            if (fds[1].revents & POLLIN)
                copy(controller.master, host.master);
            if (fds[2].revents & POLLIN) {
                unsigned char b[256];
                const ssize_t n = ::read(listener.master, b, sizeof b);
                if (n > 0)
                    from_listener += static_cast<std::size_t>(n);
            }
        }
    }
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

bool holds(pid_t pid, const std::string& path)
{
    for (int fd = 0; fd < 64; ++fd) {
        char link[256] = {};
        const std::string at = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
        if (::readlink(at.c_str(), link, sizeof link - 1) > 0 && path == link)
            return true;
    }
    return false;
}

TEST(Sniff, HearsTheFramesTheHostTracedAndSendsNothing)
{
    toolstest::TempDir dir;
    const std::string path = dir.file("sniffed.pcapng");
    Relay relay;
    kelsim::Options sim;
    sim.line.pace = true;
    const auto controller = kelsim::startOnPort(relay.controller.path, sim);

    toolstest::HostProcess sniff({"sniff", "--port", relay.listener.path,
                                  "--rounds", "2", "--capture", path});
    const auto listening_by = std::chrono::steady_clock::now() + 10s;
    while (!holds(sniff.pid(), relay.listener.path) && std::chrono::steady_clock::now() < listening_by)
        std::this_thread::sleep_for(10ms);
    const toolstest::HostRun host =
        toolstest::runHost({"--plugin", toolstest::pluginPath(), "--port", relay.host.path,
                            "--rounds", "3", "--interval", "0", "--trace"});
    ASSERT_EQ(host.exit_code, 0) << host.err;
    const toolstest::HostRun heard = sniff.finish(10s);
    ASSERT_EQ(heard.exit_code, 0) << heard.err;
    EXPECT_EQ(relay.from_listener, 0u) << "sniff sent bytes";

    // What the host sent and received, in order, from its trace: a reply
    // the host read in pieces is one frame.
    std::vector<std::string> traced;
    static const std::regex frame(R"re(^\S+ \S+ ([<>]) +\d+  "([^"]*)")re");
    std::istringstream lines(host.err);
    for (std::string l; std::getline(lines, l);) {
        std::smatch m;
        if (!std::regex_search(l, m, frame))
            continue;
        if (!traced.empty() && m[1] == "<" && traced.back()[0] == '<')
            traced.back() += m[2].str();
        else
            traced.push_back(m[1].str() + m[2].str());
    }
    const ReadCapture c = readCapture(path);
    ASSERT_TRUE(c.ok) << c.error;
    ASSERT_EQ(c.interfaces.size(), 1u);
    EXPECT_EQ(c.interfaces[0].name, relay.listener.path);
    EXPECT_EQ(c.interfaces[0].description, "19200 baud 8N1, listened to by kel36-host sniff");
    EXPECT_TRUE(c.interfaces[0].comments.empty());
    // Two rounds and the request that began the third: sniff stops there.
    ASSERT_EQ(c.packets.size(), 2u * 126 + 1) << heard.out;
    int awaited = -1;
    for (std::size_t i = 0; i < c.packets.size(); ++i) {
        const ReadPacket& p = c.packets[i];
        ASSERT_LT(i, traced.size());
        EXPECT_EQ((p.kind == 1 ? ">" : "<") + p.payload, traced[i]) << i;
        EXPECT_EQ(p.flags, 2) << i;
        EXPECT_EQ(p.device, 255);
        EXPECT_EQ(p.address, 65);
        if (p.kind == 1)
            awaited = p.reg;
        else
            EXPECT_EQ(p.reg, awaited) << "the register of the request a reply answers";
    }
    // One decoded line per frame, then the summary.
    const std::string& out = heard.out;
    EXPECT_NE(out.find("\"|DF569E\"  7C 44 46 35 36 39 45  register 0, address 65\n"),
              std::string::npos)
        << out.substr(0, 400);
    EXPECT_NE(out.find("answers register 0 of address 65\n"), std::string::npos);
    EXPECT_NE(out.find("sniff " + relay.listener.path + ": 127 requests, 126 replies, 0 bytes of noise\n"),
              std::string::npos)
        << out.substr(out.size() > 300 ? out.size() - 300 : 0);
}

}  // namespace
}  // namespace capturetest
