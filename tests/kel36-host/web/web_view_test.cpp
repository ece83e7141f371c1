// kel36-host --http against simulated controllers: the JSON API and the
// metrics carry what the scenarios hold, promtool accepts the metrics, bad
// requests get 4xx while polling goes on, and an address that cannot be had
// stops the run before it polls. The test learns the port from the line
// "kel36-host: dashboard on http://127.0.0.1:PORT/ ..." on stderr.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/reader.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "kel36-host/config/host_config.h"
#include "kel36-host/web/live_state.h"
#include "host_process.h"
#include "serving_host.h"
#include "scenario_oracle.h"
#include "simulator.h"

namespace toolstest {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Until every device has completed `rounds` rounds, at most 20 s.
Json::Value devicesAfter(ServingHost& host, unsigned rounds)
{
    return host.devicesWhen([rounds](const Json::Value& root) {
        bool all = root["devices"].size() > 0;
        for (const Json::Value& d : root["devices"])
            all = all && d["rounds"].asUInt() >= rounds;
        return all;
    });
}

struct AlarmRow {
    const char* signal;
    const char* code;
    const char* text;
};
constexpr AlarmRow kAlarms[] = {{"a_5", "05004", "高水温告警"},
                                {"a_6", "05001", "超速告警"},
                                {"a_7", "05010", "低油压告警"},
                                {"b_2", "05029", "频率低告警"},
                                {"b_6", "05024", "短路告警"}};
constexpr const char* kValues[] = {"uab", "ubc", "uca", "frequency", "ua", "ub", "uc"};

TEST(WebView, ApiAndMetricsCarryTheScenarioOfEveryDevice)
{
    ServingHost host({"--config", examplePath("host.json"), "--interval", "50"});
    ASSERT_GT(host.port(), 0) << host.process().errorSoFar();
    const std::map<std::string, kelsim::Scenario> scenarios = {
        {"genset-1", kelsim::defaultScenario()},
        {"genset-2", kelsim::loadScenarioFile(examplePath("scenario-alarms.json"))}};

    const Json::Value api = devicesAfter(host, 2);
    ASSERT_EQ(api["devices"].size(), 2u);
    for (const Json::Value& d : api["devices"]) {
        const std::string name = d["name"].asString();
        SCOPED_TRACE(name);
        const kelsim::Scenario& scenario = scenarios.at(name);
        const auto fields = expectedFields(scenario);
        const auto active = expectedAlarms(scenario);
        EXPECT_EQ(d["data_id"].asUInt(), name == "genset-1" ? 5001u : 5002u);
        EXPECT_EQ(d["state"].asString(), "answering");
        EXPECT_TRUE(d["simulated"].asBool());
        for (const char* v : kValues)
            EXPECT_EQ(d["values"][v]["value"].asFloat(), static_cast<float>(fields.at(v))) << v;
        EXPECT_EQ(d["values"]["frequency"]["unit"].asString(), "Hz");
        EXPECT_EQ(d["values"]["battery_voltage"]["value"].asFloat(),
                  static_cast<float>(fields.at("battery_voltage")));
        ASSERT_EQ(d["alarms"].size(), 5u);
        for (Json::ArrayIndex i = 0; i < 5; ++i) {
            const Json::Value& a = d["alarms"][i];
            EXPECT_EQ(a["signal"].asString(), kAlarms[i].signal);
            EXPECT_EQ(a["code"].asString(), kAlarms[i].code);
            EXPECT_EQ(a["text"].asString(), kAlarms[i].text);
            EXPECT_EQ(a["active"].asBool(), active.count(kAlarms[i].signal) == 1);
        }
        EXPECT_GT(d["last_record"]["unix_ms"].asInt64(), 0);
    }

    const auto res = host.get("/metrics");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    const auto metrics = samples(res->body);
    const auto at = [&metrics](const std::string& series) {
        const auto it = metrics.find(series);
        return it == metrics.end() ? std::string("(missing)") : it->second;
    };
    for (const auto& [name, scenario] : scenarios) {
        SCOPED_TRACE(name);
        const std::string device = "{device=\"" + name + "\"";
        const auto fields = expectedFields(scenario);
        for (const char* v : kValues) {
            const std::string metric =
                std::string(v) == "frequency" ? "kel36_frequency_hertz" : "kel36_voltage_volts";
            EXPECT_EQ(std::strtof(at(metric + device + ",signal=\"" + v + "\"}").c_str(), nullptr),
                      static_cast<float>(fields.at(v)))
                << v;
        }
        EXPECT_EQ(
            std::strtof(at("kel36_voltage_volts" + device + ",signal=\"battery_voltage\"}").c_str(),
                        nullptr),
            static_cast<float>(fields.at("battery_voltage")));
        const auto active = expectedAlarms(scenario);
        for (const AlarmRow& a : kAlarms)
            EXPECT_EQ(at("kel36_alarm_active" + device + ",signal=\"" + a.signal + "\",code=\"" +
                         a.code + "\"}"),
                      active.count(a.signal) ? "1" : "0")
                << a.signal;
        EXPECT_EQ(at("kel36_answering" + device + "}"), "1");
        const std::string rounds = at("kel36_rounds_total" + device + "}");
        EXPECT_GE(std::stoul(rounds), 2u);
        EXPECT_EQ(at("kel36_round_duration_seconds_count" + device + "}"), rounds);
        EXPECT_EQ(at("kel36_round_duration_seconds_bucket" + device + ",le=\"+Inf\"}"), rounds);
        EXPECT_NEAR(std::stod(at("kel36_last_record_timestamp_seconds" + device + "}")),
                    static_cast<double>(std::time(nullptr)), 30.0);
    }
}

TEST(WebView, PromtoolAcceptsTheMetricsOfADeviceWithQuotesAndBackslashesInItsName)
{
    if (std::system("promtool --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus; CI installs it)";
    ServingHost host({"--name", "gen \"7\\b\" 发电机", "--interval", "50", "--scenario",
                      examplePath("scenario-alarms.json")});
    ASSERT_GT(host.port(), 0) << host.process().errorSoFar();
    devicesAfter(host, 1);
    const auto res = host.get("/metrics");
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find("kel36_voltage_volts{device=\"gen \\\"7\\\\b\\\" 发电机\","
                             "signal=\"uab\"} 392\n"),
              std::string::npos)
        << res->body;
    TempDir dir;
    const std::string file = dir.write("metrics.txt", res->body);
    const std::string report = dir.file("promtool.txt");
    const int status =
        std::system(("promtool check metrics < " + file + " > " + report + " 2>&1").c_str());
    EXPECT_EQ(status, 0) << readFile(report);
    EXPECT_EQ(readFile(report), "");
}

// One request as raw bytes; the status code of the answer, 0 when none came.
int rawStatus(int port, const std::string& request, std::string* head = nullptr)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) >= 0) {
        char buf[4096];
        ssize_t n;
        while (answer.find("\r\n\r\n") == std::string::npos &&
               (n = ::recv(fd, buf, sizeof buf, 0)) > 0)
            answer.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (head)
        *head = answer.substr(0, answer.find("\r\n\r\n"));
    int status = 0;
    std::sscanf(answer.c_str(), "HTTP/1.1 %d", &status);
    return status;
}

TEST(WebView, BadRequestsGet4xxWhilePollingGoesOnAndSigintEndsTheRun)
{
    ServingHost host({"--interval", "50"});
    ASSERT_GT(host.port(), 0) << host.process().errorSoFar();
    const unsigned before = devicesAfter(host, 1)["devices"][0]["rounds"].asUInt();

    const std::string end = " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    const struct {
        const char* name;
        std::string request;
        int status;
    } cases[] = {
        {"unknown path", "GET /nothing/here" + end, 404},
        {"POST", "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5\r\n\r\nhello", 405},
        {"PUT", "PUT /api/devices" + end, 405},
        {"DELETE", "DELETE /metrics" + end, 405},
        {"unknown method", "BREW /" + end, 400},
        {"not HTTP", "hello there\r\n\r\n", 400},
        // TLS: closed without an answer
        {"TLS", std::string("\x16\x03\x01\x02\x00\x01\xfc\x03\r\n\r\n", 12), 0},
        {"very long URL", "GET /" + std::string(20000, 'a') + end, 414},
        {"huge header", "GET / HTTP/1.1\r\nX-A: " + std::string(20000, 'b') + "\r\n\r\n", 431},
        {"bad trend_since", "GET /api/devices?trend_since=-5" + end, 400},
    };
    for (const auto& c : cases) {
        std::string head;
        EXPECT_EQ(rawStatus(host.port(), c.request, &head), c.status) << c.name;
        if (c.status == 405) {
            EXPECT_NE(head.find("Allow: GET, HEAD"), std::string::npos) << c.name << ": " << head;
        }
    }
    std::string head;
    EXPECT_EQ(rawStatus(host.port(), "HEAD /" + end, &head), 200);
    EXPECT_NE(head.find("text/html"), std::string::npos) << head;
    EXPECT_EQ(host.get("/dashboard.js")->status, 200);

    EXPECT_GT(devicesAfter(host, before + 3)["devices"][0]["rounds"].asUInt(), before);
    host.process().signal(SIGINT);
    const HostRun run = host.process().finish(seconds(10));
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("summary kel36:"), std::string::npos);
}

TEST(WebView, APortInUseIsAStartUpErrorBeforeAnyPolling)
{
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &length), 0);
    const std::string where = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));

    const HostRun run = runHost({"--plugin", pluginPath(), "--http", where, "--rounds", "1"});
    ::close(holder);
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "kel36-host: --http: cannot listen on " + where + ": Address already in use\n");
}

// --watch holds frames back until the event loop wakes it; feeding the web
// view on the way must not hide when it wants to be woken. The feed itself
// asks each device's values once a second on those wake-ups.
TEST(WebView, TheLiveStateFeedAsksValuesOnceASecondAndPassesTheWatchViewsWakeUpsOn)
{
    struct HeldFrames : keltool::OutputSink {
        void round(const keltool::RoundReport&) override {}
        void stall(const keltool::StallReport&) override {}
        void event(const keltool::EventReport&) override {}
        void summary(const keltool::DeviceSpec* const*, const keltool::DeviceStats* const*,
                     std::size_t) override
        {
        }
        keltool::TimePoint wakeAt() const override { return due; }
        void onWake(keltool::TimePoint now) override { woken = now; }
        keltool::TimePoint due = keltool::TimePoint() + seconds(7);
        keltool::TimePoint woken{};
    } watch;
    keltool::DeviceSpec device;
    device.name = "gen";
    keltool::LiveState live({device});
    int asked = 0;
    live.setAsker(0, [&asked](keltool::ValueAnswers& out) {
        ++asked;
        out.values[0].ok = true;
        out.values[0].value = 231.5f;
    });
    const auto feed = keltool::feedLiveState(live, watch);
    const keltool::TimePoint t0 = watch.due - seconds(5);
    EXPECT_LE(feed->wakeAt(), t0) << "the first ask is due at once";
    feed->onWake(t0);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(watch.woken, keltool::TimePoint{}) << "the watch view is not due yet";
    EXPECT_TRUE(live.status(0).values[0].ok);
    EXPECT_EQ(live.status(0).values[0].value, 231.5f);
    EXPECT_EQ(feed->wakeAt(), t0 + seconds(1));
    feed->onWake(t0 + milliseconds(500));
    EXPECT_EQ(asked, 1);
    feed->onWake(watch.due);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(watch.woken, watch.due);
}

}  // namespace
}  // namespace toolstest
