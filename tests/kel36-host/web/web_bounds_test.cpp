// kel36-host --http under abuse, through the built tool on the paced line:
// every client is bounded in memory, time and descriptors, a loopback server
// answers only to loopback names, and polling goes on throughout. Clients
// here are raw sockets, so that they can misbehave.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <regex>
#include <thread>

#include "host_process.h"

namespace toolstest {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

// The server's whole-request deadline (3 s) and what a loaded machine adds.
constexpr auto kDeadline = milliseconds(3000);
constexpr auto kSlack = milliseconds(1500);

class BoundedHost {
public:
    explicit BoundedHost(const std::string& address = "127.0.0.1:0")
        : process_({"--plugin", pluginPath(), "--sim-pace", "--interval", "100", "--http", address})
    {
        if (!process_.waitForError("(also /api/devices", seconds(20)))
            return;
        std::smatch m;
        static const std::regex port("(?:http://[^ ]+:|port )([0-9]+)");
        if (std::regex_search(process_.errorSoFar(), m, port))
            port_ = std::stoi(m[1].str());
        // Its line open and polled: its descriptors are all there.
        if (!process_.waitForLines(2, seconds(20)))
            port_ = -1;
    }
    int port() const { return port_; }
    HostProcess& process() { return process_; }

    // Round lines the tool has printed so far.
    std::size_t rounds()
    {
        process_.drain();
        std::size_t n = 0;
        for (std::size_t at = 0; (at = process_.output().find(" round ", at)) != std::string::npos;
             ++at)
            ++n;
        return n;
    }
    long statusKb(const char* field) const
    {
        std::ifstream in("/proc/" + std::to_string(process_.pid()) + "/status");
        std::string line;
        while (std::getline(in, line))
            if (line.rfind(field, 0) == 0)
                return std::stol(line.substr(std::strlen(field)));
        return -1;
    }
    int descriptors() const
    {
        DIR* dir = ::opendir(("/proc/" + std::to_string(process_.pid()) + "/fd").c_str());
        int n = 0;
        while (dir != nullptr && ::readdir(dir) != nullptr)
            ++n;
        if (dir != nullptr)
            ::closedir(dir);
        return n - 2;
    }

private:
    HostProcess process_;
    int port_ = -1;
};

// One client connection as raw bytes.
class Raw {
public:
    explicit Raw(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        since_ = Clock::now();
    }
    ~Raw() { ::close(fd_); }
    Raw(const Raw&) = delete;
    Raw& operator=(const Raw&) = delete;

    bool connected() const { return connected_; }
    Clock::time_point since() const { return since_; }
    // False once the server has gone (or the bytes would block).
    bool send(const std::string& bytes, bool wait = true)
    {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT)) ==
               static_cast<ssize_t>(bytes.size());
    }
    // Whatever arrives until the server closes or `limit` passes.
    std::string readUntilClosed(milliseconds limit)
    {
        const auto end = Clock::now() + limit;
        while (!closed_ && Clock::now() < end)
            pump(static_cast<int>(
                std::chrono::duration_cast<milliseconds>(end - Clock::now()).count()));
        return got_;
    }
    // Reads what is there now; true once the server has closed.
    bool closedNow()
    {
        pump(0);
        return closed_;
    }
    const std::string& got() const { return got_; }

private:
    void pump(int wait_ms)
    {
        pollfd p{fd_, POLLIN, 0};
        if (closed_ || ::poll(&p, 1, wait_ms) <= 0)
            return;
        char buf[65536];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0)
            got_.append(buf, static_cast<std::size_t>(n));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            closed_ = true;
    }

    int fd_;
    bool connected_ = false;
    bool closed_ = false;
    std::string got_;
    Clock::time_point since_;
};

int statusOf(const std::string& answer)
{
    int status = 0;
    std::sscanf(answer.c_str(), "HTTP/1.1 %d", &status);
    return status;
}

// The status of one request sent whole on a fresh connection, 0 for none.
int ask(int port, const std::string& request, std::string* answer = nullptr)
{
    Raw c(port);
    c.send(request);
    const std::string got = c.readUntilClosed(seconds(5));
    if (answer)
        *answer = got;
    return statusOf(got);
}

std::string get(const std::string& path, const std::string& headers = "")
{
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers +
           "Connection: close\r\n\r\n";
}

std::string headerValue(const std::string& answer, const std::string& name)
{
    const auto at = answer.find("\r\n" + name + ": ");
    if (at == std::string::npos)
        return "";
    const auto start = at + name.size() + 4;
    return answer.substr(start, answer.find("\r\n", start) - start);
}

std::string headerLines(std::size_t n)
{
    std::string lines;
    for (std::size_t i = 0; i < n; ++i)
        lines += "X-" + std::to_string(i) + ": y\r\n";
    return lines;
}

TEST(WebBounds, EndlessHeadersGet431AndTheProcessDoesNotGrow)
{
    BoundedHost host;
    ASSERT_GT(host.port(), 0) << host.process().errorSoFar();
    // With Host and Connection: 100 header lines pass, 101 do not.
    EXPECT_EQ(ask(host.port(), get("/metrics", headerLines(98))), 200);
    EXPECT_EQ(ask(host.port(), get("/metrics", headerLines(99))), 431);
    // A head just under 16 KiB passes, one over it does not.
    EXPECT_EQ(ask(host.port(), get("/metrics", "X-Pad: " + std::string(16000, 'p') + "\r\n")), 200);
    EXPECT_EQ(ask(host.port(), get("/metrics", "X-Pad: " + std::string(16400, 'p') + "\r\n")), 431);

    // 64 clients sending header lines without end, at once.
    const long before = host.statusKb("VmRSS:");
    std::vector<std::unique_ptr<Raw>> clients;
    for (int i = 0; i < 64; ++i) {
        clients.push_back(std::make_unique<Raw>(host.port()));
        clients.back()->send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    }
    const std::string line = "X-Padding: " + std::string(1000, 'p') + "\r\n";
    std::vector<std::size_t> sent(clients.size(), 0);
    const auto end = Clock::now() + seconds(10);
    std::size_t open = clients.size();
    while (open > 0 && Clock::now() < end) {
        open = 0;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            if (clients[i]->closedNow() || sent[i] > (1u << 20))
                continue;
            ++open;
            if (clients[i]->send(line, false))
                sent[i] += line.size();
        }
    }
    // Each is answered 431 and closed: what it sent beyond that sits in the
    // kernel's buffers, never in the process.
    for (std::size_t i = 0; i < clients.size(); ++i) {
        clients[i]->readUntilClosed(kDeadline + kSlack);
        EXPECT_TRUE(clients[i]->closedNow()) << "client " << i << " still open";
        EXPECT_EQ(statusOf(clients[i]->got()), 431) << "client " << i;
    }
    // At most a few MiB for all of them together, given back.
    EXPECT_LT(host.statusKb("VmHWM:") - before, 8 * 1024);
    EXPECT_EQ(ask(host.port(), get("/metrics")), 200);
}

TEST(WebBounds, ATricklingClientIsCutOffAtTheDeadlineWhileMetricsAnswer)
{
    BoundedHost host;
    ASSERT_GT(host.port(), 0) << host.process().errorSoFar();
    const std::size_t rounds_before = host.rounds();
    std::vector<std::unique_ptr<Raw>> trickling;
    for (int i = 0; i < 4; ++i) {
        trickling.push_back(std::make_unique<Raw>(host.port()));
        trickling.back()->send("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    }
    Raw idle(host.port());

    std::vector<Clock::duration> cut(trickling.size(), Clock::duration::zero());
    Clock::duration idle_cut = Clock::duration::zero();
    Clock::duration slowest_metrics = Clock::duration::zero();
    const auto start = Clock::now();
    while (Clock::now() - start < kDeadline + kSlack + seconds(1)) {
        for (std::size_t i = 0; i < trickling.size(); ++i)
            if (cut[i] == Clock::duration::zero() &&
                (!trickling[i]->send("X-Slow: y\r\n") || trickling[i]->closedNow()))
                cut[i] = Clock::now() - trickling[i]->since();
        if (idle_cut == Clock::duration::zero() && idle.closedNow())
            idle_cut = Clock::now() - idle.since();
        const auto asked = Clock::now();
        EXPECT_EQ(ask(host.port(), get("/metrics")), 200);
        slowest_metrics = std::max(slowest_metrics, Clock::now() - asked);
        std::this_thread::sleep_for(milliseconds(500));
    }
    for (std::size_t i = 0; i < trickling.size(); ++i) {
        EXPECT_GT(cut[i], kDeadline - milliseconds(600)) << "client " << i;
        EXPECT_LT(cut[i], kDeadline + kSlack) << "client " << i;
        EXPECT_EQ(trickling[i]->got(), "") << "client " << i;
    }
    EXPECT_GT(idle_cut, kDeadline - milliseconds(600));
    EXPECT_LT(idle_cut, kDeadline + kSlack);
    EXPECT_LT(slowest_metrics, seconds(1));
    EXPECT_GT(host.rounds(), rounds_before + 1);  // polling went on
}

TEST(WebBounds, ConnectionsBeyond64AreClosedAtOnceAndFreedAtTheDeadline)
{
    BoundedHost host;
    ASSERT_GT(host.port(), 0) << host.process().errorSoFar();
    const int descriptors = host.descriptors();
    std::vector<std::unique_ptr<Raw>> clients;
    for (int i = 0; i < 100; ++i)
        clients.push_back(std::make_unique<Raw>(host.port()));
    std::this_thread::sleep_for(milliseconds(500));
    int closed = 0;
    for (auto& c : clients)
        closed += c->connected() && c->closedNow() ? 1 : 0;
    EXPECT_EQ(closed, 100 - 64);
    EXPECT_LE(host.descriptors(), descriptors + 64);

    std::this_thread::sleep_for(kDeadline + kSlack - milliseconds(500));
    closed = 0;
    for (auto& c : clients)
        closed += c->closedNow() ? 1 : 0;
    EXPECT_EQ(closed, 100);
    EXPECT_EQ(host.descriptors(), descriptors);
    EXPECT_EQ(ask(host.port(), get("/metrics")), 200);
}

TEST(WebBounds, RangesAreIgnoredAndEveryAnswerIsWhole)
{
    BoundedHost host;
    ASSERT_GT(host.port(), 0) << host.process().errorSoFar();
    std::string whole;
    ASSERT_EQ(ask(host.port(), get("/dashboard.js"), &whole), 200);
    const std::string length = headerValue(whole, "Content-Length");
    ASSERT_FALSE(length.empty()) << whole.substr(0, 300);

    std::string overlapping = "Range: bytes=0-";
    for (int i = 0; i < 1500; ++i)
        overlapping += ",0-";
    for (const std::string& range : {overlapping + "\r\n", std::string("Range: bytes=0-9\r\n")}) {
        std::string answer;
        EXPECT_EQ(ask(host.port(), get("/dashboard.js", range), &answer), 200);
        EXPECT_EQ(headerValue(answer, "Content-Length"), length);
        EXPECT_EQ(answer.size(), whole.size());  // the same head and the whole body
    }
}

TEST(WebBounds, PipelinedRequestsAreAnsweredInOrderAndAnUnreadingClientIsCut)
{
    BoundedHost host;
    ASSERT_GT(host.port(), 0) << host.process().errorSoFar();
    const std::string h = " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    Raw c(host.port());
    c.send("GET /metrics" + h + "GET /nothing" + h + "GET /dashboard.css" + h +
           get("/api/devices"));
    const std::string answers = c.readUntilClosed(seconds(5));
    std::vector<int> statuses;
    for (std::size_t at = 0; (at = answers.find("HTTP/1.1 ", at)) != std::string::npos; ++at)
        statuses.push_back(statusOf(answers.substr(at)));
    EXPECT_EQ(statuses, (std::vector<int>{200, 404, 200, 200}));

    // Thousands of requests and no answer read: the server stops reading
    // once its answers back up, and cuts the client at the deadline.
    const long before = host.statusKb("VmRSS:");
    Raw flood(host.port());
    std::string burst;
    for (int i = 0; i < 100; ++i)
        burst += "GET /dashboard.js" + h;
    std::size_t bursts = 0;
    const auto start = Clock::now();
    while (Clock::now() - start < kDeadline + kSlack && flood.send(burst, false))
        ++bursts;
    EXPECT_LT(bursts, 10000u);
    // Reading nothing until the deadline has passed, then what was sent.
    std::this_thread::sleep_for(kDeadline + kSlack - (Clock::now() - start));
    flood.readUntilClosed(seconds(3));
    EXPECT_TRUE(flood.closedNow());
    EXPECT_LT(host.statusKb("VmHWM:") - before, 8 * 1024);
}

TEST(WebBounds, ALoopbackServerAnswersOnlyToLoopbackNames)
{
    BoundedHost host;
    ASSERT_GT(host.port(), 0) << host.process().errorSoFar();
    const std::string port = std::to_string(host.port());
    const struct {
        const char* host;
        int status;
    } cases[] = {
        {"127.0.0.1", 200},
        {"localhost", 200},
        {"LOCALHOST:80", 200},
        {"127.1.2.3:8080", 200},
        {"[::1]", 200},
        {"evil.example", 421},
        {"localhost.evil.example", 421},
        {"127.0.0.1.evil.example", 421},
        {"10.0.0.1", 421},
        {"[::2]", 421},
        {"localhost:x", 421},
        {"", 421},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ask(host.port(), std::string("GET /api/devices HTTP/1.1\r\nHost: ") + c.host +
                                       "\r\nConnection: close\r\n\r\n"),
                  c.status)
            << c.host;
    EXPECT_EQ(ask(host.port(), "GET /metrics HTTP/1.1\r\nConnection: close\r\n\r\n"), 421);
    EXPECT_EQ(ask(host.port(), "GET /metrics HTTP/1.0\r\n\r\n"), 421);
    EXPECT_EQ(ask(host.port(), "GET /metrics HTTP/1.0\r\nHost: localhost:" + port + "\r\n\r\n"),
              200);

    // On every interface any name reaches it, and the start says so.
    BoundedHost everywhere("0:0");
    ASSERT_GT(everywhere.port(), 0) << everywhere.process().errorSoFar();
    EXPECT_NE(everywhere.process().errorSoFar().find(
                  "kel36-host: dashboard listening on all interfaces, port " +
                  std::to_string(everywhere.port()) + " (also /api/devices, /metrics)\n"),
              std::string::npos)
        << everywhere.process().errorSoFar();
    EXPECT_EQ(everywhere.process().errorSoFar().find("http://0"), std::string::npos);
    EXPECT_EQ(ask(everywhere.port(),
                  "GET /metrics HTTP/1.1\r\nHost: genset.example\r\nConnection: close\r\n\r\n"),
              200);
}

TEST(WebBounds, ShutdownUnderSlowClientsTakesLessThanASecond)
{
    BoundedHost host;
    ASSERT_GT(host.port(), 0) << host.process().errorSoFar();
    std::vector<std::unique_ptr<Raw>> slow;
    for (int i = 0; i < 60; ++i) {
        slow.push_back(std::make_unique<Raw>(host.port()));
        slow.back()->send(i % 2 ? "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: y"
                                : "GET /metrics HTTP/1.1\r\nHost: 127");
    }
    std::this_thread::sleep_for(milliseconds(1200));
    for (auto& c : slow)
        c->send("\r\nX-More: y");
    const auto asked = Clock::now();
    host.process().signal(SIGINT);
    const HostRun run = host.process().finish(seconds(20));
    EXPECT_LT(Clock::now() - asked, seconds(1));
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("summary kel36:"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace toolstest
