// kel36-host --mqtt against a broker that abuses it: one that never answers,
// one that claims a packet of 256 MB and streams it, one that sends junk.
// Polling goes on at its rate, memory and descriptors stay bounded, each
// failure is told, and SIGTERM still ends the run cleanly.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "host_process.h"

namespace mqtttest {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using toolstest::HostProcess;
using toolstest::TempDir;
using Clock = std::chrono::steady_clock;

// A listener on 127.0.0.1 that serves its connections one after another,
// each the same way.
class FakeBroker {
public:
    enum class Act { Silent, HugePacket, Junk };

    explicit FakeBroker(Act act) : act_(act)
    {
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        EXPECT_EQ(::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), len), 0);
        EXPECT_EQ(::listen(listen_fd_, 4), 0);
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeBroker()
    {
        stop_ = true;
        thread_.join();
        ::close(listen_fd_);
    }
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    void go() { go_ = true; }                    // HugePacket: start streaming
    int accepted() const { return accepted_; }
    int dropped() const { return dropped_; }     // connections the tool closed
    uint64_t mostSent() const { return most_sent_; }  // to one connection

private:
    void serve()
    {
        while (!stop_) {
            pollfd p{listen_fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            ++accepted_;
            if (serveOne(fd))
                ++dropped_;
            ::close(fd);
        }
    }

    // Reads and discards what the tool sent; false once it closed.
    bool readAlong(int fd, int wait_ms)
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, wait_ms) <= 0)
            return true;
        char sink[4096];
        const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        return n > 0 || (n < 0 && errno == EAGAIN);
    }

    // True when the tool closed the connection.
    bool serveOne(int fd)
    {
        if (!readAlong(fd, 2000))  // its CONNECT
            return true;
        const auto sendAll = [&](const void* data, std::size_t size) {
            return ::send(fd, data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
        };
        if (act_ != Act::Silent) {
            const uint8_t connack[] = {0x20, 0x02, 0x00, 0x00};
            if (!sendAll(connack, sizeof connack))
                return true;
            // Let the tool take the session as up, so it retries after 1 s.
            for (int i = 0; i < 10 || (act_ == Act::HugePacket && !go_); ++i)
                if (stop_ || !readAlong(fd, 10))
                    return !stop_;
        }
        if (act_ == Act::HugePacket) {
            // PUBLISH, remaining length 268,435,455 (the most MQTT can say).
            const uint8_t header[] = {0x30, 0xff, 0xff, 0xff, 0x7f};
            if (!sendAll(header, sizeof header))
                return true;
            const std::vector<char> chunk(64 * 1024, 'x');
            uint64_t sent = 0;
            while (!stop_ && sent < 300u * 1024 * 1024) {
                if (!readAlong(fd, 0))
                    return true;
                pollfd p{fd, POLLOUT, 0};
                if (::poll(&p, 1, 50) <= 0)
                    continue;
                const ssize_t n = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n < 0 && errno != EAGAIN)
                    return true;
                sent += n > 0 ? static_cast<uint64_t>(n) : 0;
                most_sent_ = std::max<uint64_t>(most_sent_, sent);
            }
            return false;
        }
        if (act_ == Act::Junk) {
            // In turn: what a web server at the port says, whose bytes read
            // as ever longer packets; and packets of a type MQTT does not have.
            std::string junk(64, '\0');
            if (accepted_ % 2) {
                junk = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
                std::minstd_rand random(36);
                for (int i = 0; i < 1024; ++i)
                    junk += static_cast<char>(random() & 0xff);
            }
            if (!sendAll(junk.data(), junk.size()))
                return true;
        }
        for (const auto until = Clock::now() + seconds(15); !stop_ && Clock::now() < until;)
            if (!readAlong(fd, 20))
                return true;
        return false;
    }

    const Act act_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false}, go_{false};
    std::atomic<int> accepted_{0}, dropped_{0};
    std::atomic<uint64_t> most_sent_{0};
};

long rssKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

std::size_t openDescriptors(pid_t pid)
{
    const std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd");
    return static_cast<std::size_t>(std::distance(fds, std::filesystem::directory_iterator()));
}

std::size_t lines(const HostProcess& host)
{
    return static_cast<std::size_t>(std::count(host.output().begin(), host.output().end(), '\n'));
}

std::size_t occurrences(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Reads the tool's output until `done` holds (at most `limit`).
bool waitDraining(HostProcess& host, const std::function<bool()>& done, milliseconds limit)
{
    for (const auto until = Clock::now() + limit; Clock::now() < until;) {
        host.drain();
        if (done())
            return true;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
}

// With a history the records a broker never acknowledged wait for the next
// run, so SIGTERM ends it with 0.
std::vector<std::string> hostArgs(const FakeBroker& broker, const TempDir& dir)
{
    return {"--config", toolstest::examplePath("host.json"), "--simulate", "--interval", "20",
            "--json", "--history", dir.file("history.db"), "--mqtt", broker.url()};
}

void endsCleanly(HostProcess& host)
{
    host.signal(SIGTERM);
    const toolstest::HostRun run = host.finish(seconds(10));
    EXPECT_EQ(run.exit_code, 0) << run.err;
}

TEST(MqttAbuse, NoAnswerAHugePacketAndJunkCostNoRoundsMemoryOrDescriptors)
{
    {
        SCOPED_TRACE("a broker that accepts and never answers CONNACK");
        TempDir dir;
        FakeBroker broker(FakeBroker::Act::Silent);
        HostProcess host(hostArgs(broker, dir));
        // Past the 5 s of the first attempt, into the next one.
        ASSERT_TRUE(waitDraining(host, [&] { return broker.accepted() >= 2; }, seconds(10)))
            << host.errorSoFar();
        const std::size_t before = lines(host);
        ASSERT_TRUE(host.waitForLines(before + 40, seconds(2))) << "polling waits for the broker";
        EXPECT_EQ(occurrences(host.errorSoFar(), "unreachable since"), 1u) << host.errorSoFar();
        EXPECT_NE(host.errorSoFar().find("no answer within 5 s"), std::string::npos);
        endsCleanly(host);
    }
    {
        SCOPED_TRACE("a broker that claims a 256 MB PUBLISH and streams it");
        TempDir dir;
        FakeBroker broker(FakeBroker::Act::HugePacket);
        HostProcess host(hostArgs(broker, dir));
        ASSERT_TRUE(host.waitForLines(20, seconds(10))) << host.errorSoFar();
        const long before = rssKiB(host.pid());
        const std::size_t lines_before = lines(host);
        broker.go();
        long peak = before;
        ASSERT_TRUE(waitDraining(host,
            [&] {
                peak = std::max(peak, rssKiB(host.pid()));
                return broker.dropped() >= 2;
            },
            seconds(6)))
            << host.errorSoFar();
        EXPECT_LT(peak - before, 64 * 1024) << "KiB grown while the broker streamed";
        EXPECT_LT(broker.mostSent(), 64u * 1024 * 1024);
        EXPECT_NE(host.errorSoFar().find("it sent a packet of 268435460 bytes"), std::string::npos)
            << host.errorSoFar();
        EXPECT_TRUE(host.waitForLines(lines_before + 100, seconds(5)));
        endsCleanly(host);
    }
    {
        SCOPED_TRACE("a broker that sends junk after CONNACK");
        TempDir dir;
        FakeBroker broker(FakeBroker::Act::Junk);
        HostProcess host(hostArgs(broker, dir));
        ASSERT_TRUE(waitDraining(host, [&] { return broker.dropped() >= 1; }, seconds(5)))
            << host.errorSoFar();
        std::this_thread::sleep_for(milliseconds(300));  // within its 1 s back-off
        const std::size_t fds = openDescriptors(host.pid());
        ASSERT_TRUE(waitDraining(host, [&] { return broker.dropped() >= 4; }, seconds(8)))
            << host.errorSoFar();
        std::this_thread::sleep_for(milliseconds(300));
        EXPECT_EQ(openDescriptors(host.pid()), fds);
        const std::size_t lines_before = lines(host);
        EXPECT_TRUE(host.waitForLines(lines_before + 40, seconds(2)));
        EXPECT_GE(occurrences(host.errorSoFar(), "unreachable since"), 4u) << host.errorSoFar();
        EXPECT_NE(host.errorSoFar().find("at most 65536 are accepted"), std::string::npos);
        EXPECT_NE(host.errorSoFar().find("protocol error"), std::string::npos);
        endsCleanly(host);
    }
}

}  // namespace
}  // namespace mqtttest
