// A simulated controller playing a timeline drives what kel36-host publishes:
// each round shows the timeline as it stood while the round was read.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>

#include "host_process.h"

namespace toolstest {
namespace {

// uab 400 V until 1 s, down to 340 V by 4 s; low oil pressure from 1.5 s to 3 s.
constexpr char kDrill[] = R"({
  "uab": 400, "ubc": 400, "uca": 400, "frequency": 50.0, "ua": 231, "ub": 231, "uc": 231,
  "battery_voltage": 27.6,
  "timeline": {"steps": [
    {"at": 1.0, "over": 3.0, "ramp": {"uab": 340}},
    {"at": 1.5, "set": {"a_7": true}},
    {"at": 3.0, "set": {"a_7": false}}
  ]}
})";

double uabAt(double t)
{
    if (t <= 1.0)
        return 400;
    if (t >= 4.0)
        return 340;
    return 400 - 20 * (t - 1.0);
}

// "2025-01-31T18:55:04.418+0100" as seconds since the epoch.
double epochSeconds(const std::string& stamp)
{
    std::tm tm{};
    int ms = 0, offset = 0;
    char sign = '+';
    if (std::sscanf(stamp.c_str(), "%d-%d-%dT%d:%d:%d.%d%c%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms, &sign, &offset) != 9)
        return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    const int offset_s = (offset / 100 * 3600 + offset % 100 * 60) * (sign == '-' ? -1 : 1);
    return static_cast<double>(timegm(&tm) - offset_s) + ms / 1000.0;
}

double wallNow()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool alarmActive(const Json::Value& round, const char* signal)
{
    for (const Json::Value& alarm : round["alarms"]) {
        if (alarm["signal"].asString() == signal)
            return alarm["active"].asBool();
    }
    ADD_FAILURE() << "no alarm " << signal;
    return false;
}

// The round's registers are read between its start and its end, and the
// timeline started between kel36-host's launch and its first round: so the
// timeline stood somewhere in [lo, hi] while the round was read. Register 2
// (uab's low byte) is read a few exchanges before register 5 (its high byte),
// so a round read during the ramp may be off by up to one high-byte step,
// 2.56 V, as with a real controller.
TEST(TimelineDrivesHost, EachRoundShowsTheTimelineAtItsTimeAndTheDrillRaisesAndClearsTheAlarm)
{
    TempDir dir;
    const std::string scenario = dir.write("drill.json", kDrill);
    const double launch = wallNow() - 0.005;
    const HostRun run =
        runHost({"--plugin", pluginPath(), "--simulate", "--sim-pace", "--scenario", scenario,
                 "--json", "--interval", "0", "--timeout", "500", "--rounds", "11"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const auto rounds = run.events("round");
    ASSERT_EQ(rounds.size(), 11u);
    const double first_start =
        epochSeconds(rounds[0]["time"].asString()) - rounds[0]["duration_ms"].asDouble() / 1000;
    bool plateau = false, between = false, bottom = false;
    int alarm_phase = 0;  // 0 before it, 1 raised, 2 cleared again
    for (const Json::Value& round : rounds) {
        const double end = epochSeconds(round["time"].asString()) + 0.005;
        const double start = end - round["duration_ms"].asDouble() / 1000 - 0.01;
        const double lo = start - first_start;
        const double hi = end - launch;
        SCOPED_TRACE("round " + round["round"].asString() + ": timeline between " +
                     std::to_string(lo) + " and " + std::to_string(hi) + " s");
        const double uab = round["values"]["uab"].asDouble();
        EXPECT_GE(uab, uabAt(hi) - 2.57);
        EXPECT_LE(uab, uabAt(lo) + 2.57);
        EXPECT_FLOAT_EQ(round["values"]["ubc"].asFloat(), 400.0f);
        EXPECT_FLOAT_EQ(round["values"]["frequency"].asFloat(), 50.0f);
        plateau = plateau || std::abs(uab - 400) < 0.005;
        between = between || (uab > 341 && uab < 399);
        bottom = bottom || std::abs(uab - 340) < 0.005;

        const bool a_7 = alarmActive(round, "a_7");
        if (lo >= 1.5 && hi < 3.0) {
            EXPECT_TRUE(a_7);
        }
        if (hi < 1.5 || lo >= 3.0) {
            EXPECT_FALSE(a_7);
        }
        if (a_7 && alarm_phase == 0)
            alarm_phase = 1;
        if (!a_7 && alarm_phase == 1)
            alarm_phase = 2;
        EXPECT_FALSE(a_7 && alarm_phase == 2) << "raised a second time";
    }
    EXPECT_TRUE(plateau && between && bottom) << "the rounds did not cover the ramp";
    EXPECT_EQ(alarm_phase, 2) << "the alarm was not raised and cleared";
    EXPECT_FALSE(alarmActive(rounds.front(), "a_7"));
}

}  // namespace
}  // namespace toolstest
