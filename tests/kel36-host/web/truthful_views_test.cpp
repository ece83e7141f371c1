// The web view says what the driver would answer now: values the driver
// refuses are null with its refusal in /api/devices and absent from /metrics
// (alarms keep their last known state), and a record restored from the cache
// is shown as restored with the time it was polled, never as a live reading.

#include <gtest/gtest.h>
#include <httplib.h>
#include <json/reader.h>
#include <stdlib.h>

#include <cstring>
#include <ctime>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "../sim/sim_process.h"
#include "host_process.h"
#include "serving_host.h"
#include "kel36-host/cache/record_store.h"
#include "kel36-host/web/live_state.h"
#include "scenario_oracle.h"
#include "simulator.h"

namespace toolstest {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char* kValues[] = {"uab", "ubc", "uca", "frequency", "ua", "ub", "uc"};

// The one device's state, as /api/devices gives it, once `ready` holds.
Json::Value deviceWhen(ServingHost& host, const std::function<bool(const Json::Value&)>& ready)
{
    return host.devicesWhen(
        [&ready](const Json::Value& root) { return ready(root["devices"][0]); })["devices"][0];
}

void expectPromtoolAccepts(const std::string& metrics)
{
    if (std::system("promtool --version >/dev/null 2>&1") != 0)
        return;  // the main web view test skips loudly without it
    TempDir dir;
    const std::string file = dir.write("metrics.txt", metrics);
    const std::string report = dir.file("promtool.txt");
    EXPECT_EQ(std::system(("promtool check metrics < " + file + " > " + report + " 2>&1").c_str()),
              0)
        << readFile(report);
}

// The driver's own "not ready" answer, asked by the polling thread: before
// this was asked, the views had no values at all rather than its refusal.
TEST(TruthfulViews, ADeviceThatNeverAnsweredHasTheDriversNotReadyRefusal)
{
    ServingHost host({"--sim-fault", "drop=1", "--interval", "100"});
    ASSERT_GT(host.port(), 0) << host.process().errorSoFar();
    const Json::Value d =
        deviceWhen(host, [](const Json::Value& v) { return v["stalls"].asUInt() >= 3; });
    EXPECT_TRUE(d["last_record"].isNull());
    for (const char* v : kValues) {
        EXPECT_TRUE(d["values"][v]["value"].isNull()) << v;
        EXPECT_EQ(d["values"][v]["error"].asString(), "数据未就绪") << v;
        EXPECT_FALSE(d["values"][v].isMember("last_value")) << v;
    }
    EXPECT_TRUE(d["values"]["battery_voltage"]["value"].isNull());
    const std::string metrics = host.body("/metrics");
    EXPECT_EQ(metrics.find("kel36_voltage_volts{"), std::string::npos) << metrics;
    EXPECT_EQ(metrics.find("kel36_frequency_hertz{"), std::string::npos) << metrics;
    EXPECT_EQ(samples(metrics)["kel36_answering{device=\"kel36\"}"], "0");
}

// A lost line: once the record is older than the freshness limit the values
// are refused as timed out (the last ones kept beside, marked as such), the
// gauges go, and the alarms stay as last known instead of resolving.
TEST(TruthfulViews, ALostLinesValuesGoStaleWhileItsAlarmsKeepTheirLastState)
{
    const kelsim::Scenario scenario = kelsim::loadScenarioFile(examplePath("scenario-alarms.json"));
    kelsim::testing::Tool sim(
        {"--pty", "--duration", "3", "--scenario", examplePath("scenario-alarms.json")});
    const std::string port = sim.firstLine();
    ASSERT_EQ(port.rfind("/dev/", 0), 0u) << port;
    ServingHost host({"--port", port, "--name", "gen", "--interval", "100"}, 2);
    ASSERT_GT(host.port(), 0) << host.process().errorSoFar();

    const Json::Value fresh =
        deviceWhen(host, [](const Json::Value& v) { return v["rounds"].asUInt() >= 2; });
    const auto fields = expectedFields(scenario);
    EXPECT_EQ(fresh["values"]["uab"]["value"].asFloat(), static_cast<float>(fields.at("uab")));
    EXPECT_EQ(host.devices()["stale_after_s"].asInt(), 2);

    const Json::Value d = deviceWhen(host, [](const Json::Value& v) {
        return v["state"].asString() != "answering" && v["values"]["uab"]["value"].isNull();
    });
    EXPECT_GT(d["last_record"]["age_s"].asInt64(), 2);
    for (const char* v : kValues) {
        EXPECT_EQ(d["values"][v]["error"].asString(), "数据已超时") << v;
        EXPECT_EQ(d["values"][v]["last_value"].asFloat(), static_cast<float>(fields.at(v))) << v;
    }
    EXPECT_TRUE(d["values"]["battery_voltage"]["value"].isNull());
    EXPECT_EQ(d["values"]["battery_voltage"]["error"].asString(), "数据已超时");

    const std::string metrics = host.body("/metrics");
    auto m = samples(metrics);
    EXPECT_EQ(metrics.find("kel36_voltage_volts{"), std::string::npos) << metrics;
    EXPECT_EQ(metrics.find("kel36_frequency_hertz{"), std::string::npos) << metrics;
    const auto active = expectedAlarms(scenario);
    ASSERT_FALSE(active.empty());
    for (const std::string& signal : active) {
        const std::string prefix = "kel36_alarm_active{device=\"gen\",signal=\"" + signal + "\"";
        const auto it = m.lower_bound(prefix);
        ASSERT_TRUE(it != m.end() && it->first.rfind(prefix, 0) == 0) << signal << metrics;
        EXPECT_EQ(it->second, "1") << signal;
    }
    EXPECT_EQ(m["kel36_answering{device=\"gen\"}"], "0");
    EXPECT_NEAR(std::stod(m["kel36_last_record_timestamp_seconds{device=\"gen\"}"]),
                static_cast<double>(d["last_record"]["unix_ms"].asInt64()) / 1000.0, 0.002);
    expectPromtoolAccepts(metrics);
}

// The cached record's own time stamp moved back to a known day: the views
// must show that time, not the restore's, and say the record is restored.
TEST(TruthfulViews, ARestoredRecordIsShownAsRestoredWithTheTimeItWasPolled)
{
    TempDir dir;
    const std::string cache = dir.file("cache");
    const HostRun first = runHost({"--plugin", pluginPath(), "--rounds", "1", "--interval", "0",
                                   "--cache", cache, "--data-id", "9"});
    ASSERT_EQ(first.exit_code, 0) << first.err;
    std::string file = readFile(cache + "/9.rec");
    ASSERT_EQ(file.size(), keltool::kCacheHeaderSize + 100);
    const unsigned char polled[7] = {0xEA, 0x07, 3, 4, 5, 6, 7};  // 2026-03-04 05:06:07 local
    std::memcpy(&file[keltool::kCacheHeaderSize + 93], polled, sizeof polled);
    const uint32_t crc =
        keltool::crc32(reinterpret_cast<const unsigned char*>(file.data() + 20), 100,
                       keltool::crc32(reinterpret_cast<const unsigned char*>(file.data()), 16));
    for (int i = 0; i < 4; ++i)
        file[16 + i] = static_cast<char>((crc >> (8 * i)) & 0xFF);
    dir.write("cache/9.rec", file);
    std::tm local{};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 2;
    local.tm_mday = 4;
    local.tm_hour = 5;
    local.tm_min = 6;
    local.tm_sec = 7;
    local.tm_isdst = -1;
    const long long polled_s = static_cast<long long>(std::mktime(&local));

    // The controller never answers, so the restored record stays the last one.
    ServingHost host({"--cache", cache, "--data-id", "9", "--sim-fault", "drop=1", "--name", "gen"});
    ASSERT_GT(host.port(), 0) << host.process().errorSoFar();
    const Json::Value d =
        deviceWhen(host, [](const Json::Value& v) { return !v["last_record"].isNull(); });
    const Json::Value& r = d["last_record"];
    EXPECT_TRUE(r["restored"].asBool());
    EXPECT_EQ(r["source"].asString(), "cache");
    EXPECT_EQ(r["unix_ms"].asInt64(), polled_s * 1000);
    EXPECT_GE(r["age_s"].asInt64(), static_cast<long long>(std::time(nullptr)) - polled_s - 5);
    EXPECT_NEAR(static_cast<double>(r["restored_at"]["unix_ms"].asInt64()) / 1000.0,
                static_cast<double>(std::time(nullptr)), 30.0);

    Json::Value trend;
    std::istringstream body(host.body("/api/devices?trend_since=0"));
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), body, &trend, nullptr));
    EXPECT_EQ(trend["devices"][0]["trend"].size(), 0u) << "a restored record is no reading of now";

    const std::string metrics = host.body("/metrics");
    auto m = samples(metrics);
    EXPECT_EQ(m["kel36_record_restored{device=\"gen\"}"], "1") << metrics;
    EXPECT_EQ(m["kel36_last_record_timestamp_seconds{device=\"gen\"}"],
              std::to_string(polled_s) + ".000");
    expectPromtoolAccepts(metrics);
}

}  // namespace
}  // namespace toolstest
