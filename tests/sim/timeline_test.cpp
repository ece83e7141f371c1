// Timelines: what image a scenario with steps, ramps and a period gives at a
// time, and which timelines are refused.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "scenario.h"
#include "timeline/timeline.h"

namespace kelsim {
namespace {

// 400 V until 10 s, down to 340 V over 2 s, a_7 from 20 s to 35 s; 40 s period.
// uca ramps from 400 to 300 over 10..20 s, but at 15 s a second ramp takes
// it on to 200 over 5 s from wherever the first had got to (350 V).
// Register 3 (ubc's low byte) is set at 25 s, ending nothing (ubc holds still).
// frequency ramps 50.0 -> 49.0 over 4..5 s; the raw set of register 9 at
// 4.5 s ends that ramp there, leaving its whole hertz as they were at 4.5 s.
constexpr char kDrill[] = R"({
  "uab": 400, "ubc": 400, "uca": 400, "frequency": 50.0,
  "timeline": {"period": 40, "steps": [
    {"at": 4, "over": 1, "ramp": {"frequency": 49.0}},
    {"at": 4.5, "set": {"registers": {"9": 7}}},
    {"at": 10, "over": 2, "ramp": {"uab": 340}},
    {"at": 10, "over": 10, "ramp": {"uca": 300}},
    {"at": 15, "over": 5, "ramp": {"uca": 200}},
    {"at": 20, "set": {"a_7": true}, "note": "low oil pressure"},
    {"at": 25, "set": {"registers": {"3": 1}}},
    {"at": 35, "set": {"a_7": false}}
  ]}
})";

struct Point {
    double t;
    const char* name;  // quantity, alarm, or "reg3"
    double expected;
};

double valueAt(const Scenario& s, const std::string& name)
{
    if (name == "reg3")
        return s.registers[3];
    if (isAlarm(name)) {
        int reg = 0, bit = 0;
        alarmBit(name, &reg, &bit);
        return (s.registers[reg] >> bit) & 1;
    }
    return quantityValue(s, name);
}

TEST(TimelineEvaluation, SetsRampsAndAlarmsAtTheirTimesAndRepeatWithThePeriod)
{
    const Timeline timeline = parseTimeline(kDrill, "drill.json");
    EXPECT_EQ(timeline.stepCount(), 8u);
    const Point points[] = {
        {0, "uab", 400},          {9.999, "uab", 400},
        {10, "uab", 400},         {11, "uab", 370},
        {11.5, "uab", 355},       {12, "uab", 340},
        {19, "uab", 340},         {11.001, "uab", 369.97},  // nearest 0.01 V along the ramp
        {12.5, "uca", 375},       {15, "uca", 350},
        {17.5, "uca", 275},       {20, "uca", 200},
        {30, "uca", 200},         {4.2, "frequency", 49.8},
        {4.5, "frequency", 49.7},  // 49 Hz + raw tenths 7
        {4.9, "frequency", 49.7}, {6, "frequency", 49.7},
        {19.99, "a_7", 0},        {20, "a_7", 1},
        {34.99, "a_7", 1},        {35, "a_7", 0},
        {24.9, "reg3", 0x40},     {25, "reg3", 1},
        {25, "ubc", 399.37},  // 0x9C * 256 + 1 counts
        {39.99, "uab", 340},      {40, "uab", 400},
        {51, "uab", 370},         {60, "a_7", 1},
        {400 + 11.5, "uab", 355}, {40 + 25, "reg3", 1},
        {-1, "uab", 400},
    };
    for (const Point& p : points) {
        SCOPED_TRACE(std::string(p.name) + " at " + std::to_string(p.t) + " s");
        EXPECT_NEAR(valueAt(timeline.at(p.t), p.name), p.expected, 1e-9);
    }
    EXPECT_DOUBLE_EQ(timeline.position(51), 11);
}

TEST(TimelineEvaluation, PlaysOnceWithoutAPeriodAndHoldsStillWithoutSteps)
{
    const Timeline once = parseTimeline(
        R"({"battery_voltage": 24, "timeline": {"steps": [
             {"at": 1, "over": 2, "ramp": {"battery_voltage": 28}}]}})",
        "once.json");
    EXPECT_NEAR(quantityValue(once.at(2), "battery_voltage"), 26, 1e-9);
    EXPECT_NEAR(quantityValue(once.at(2.1), "battery_voltage"), 26.2, 1e-9);  // 0.2 V steps
    EXPECT_NEAR(quantityValue(once.at(1000), "battery_voltage"), 28, 1e-9);
    const Timeline still = parseTimeline(R"({"ua": 230})", "still.json");
    EXPECT_FALSE(still.moves());
    EXPECT_EQ(still.at(99).registers[10], 230);
}

TEST(TimelineFiles, RefuseWhatCannotBePlayedNamingTheFileAndPath)
{
    const std::pair<const char*, const char*> cases[] = {
        {R"({"timeline": []})", "$.timeline: expected an object"},
        {R"({"timeline": {}})", "$.timeline: missing \"steps\""},
        {R"({"timeline": {"steps": {}}})", "$.timeline.steps: expected an array of steps"},
        {R"({"timeline": {"steps": [], "repeat": 4}})", "$.timeline.repeat: unknown key"},
        {R"({"timeline": {"steps": [], "period": 0}})",
         "$.timeline.period: expected a number of seconds above 0"},
        {R"({"timeline": {"steps": [3]}})", "$.timeline.steps[0]: expected an object"},
        {R"({"timeline": {"steps": [{"set": {"ua": 1}}]}})", "$.timeline.steps[0]: missing \"at\""},
        {R"({"timeline": {"steps": [{"at": -1, "set": {"ua": 1}}]}})",
         "$.timeline.steps[0].at: expected a number of seconds, 0 or more"},
        {R"({"timeline": {"steps": [{"at": "5", "set": {"ua": 1}}]}})",
         "$.timeline.steps[0].at: expected a number of seconds, 0 or more"},
        {R"({"timeline": {"steps": [{"at": 5, "set": {"ua": 1}}, {"at": 4, "set": {"ua": 2}}]}})",
         "$.timeline.steps[1].at: 4 s is before the previous step's 5 s (steps must be in time "
         "order)"},
        {R"({"timeline": {"steps": [{"at": 1}]}})",
         "$.timeline.steps[0]: expected \"set\" or \"ramp\""},
        {R"({"timeline": {"steps": [{"at": 1, "wait": 2, "set": {}}]}})",
         "$.timeline.steps[0].wait: unknown key"},
        {R"({"timeline": {"steps": [{"at": 1, "set": {"uab": 400.123}}]}})",
         "$.timeline.steps[0].set.uab: 400.123 V is not a multiple of 0.01 V"},
        {R"({"timeline": {"steps": [{"at": 1, "set": {"a_7": "on"}}]}})",
         "$.timeline.steps[0].set.a_7: expected true or false"},
        {R"({"timeline": {"steps": [{"at": 1, "set": {"registers": {"3": 256}}}]}})",
         "$.timeline.steps[0].set.registers.3: register value must be an integer 0..255"},
        {R"({"timeline": {"steps": [{"at": 1, "set": {"description": "x"}}]}})",
         "$.timeline.steps[0].set.description: unknown key"},
        {R"({"timeline": {"steps": [{"at": 1, "over": 2, "ramp": {"uab": 700}}]}})",
         "$.timeline.steps[0].ramp.uab: 700 V is out of range 0..655.35 V"},
        {R"({"timeline": {"steps": [{"at": 1, "over": 2, "ramp": {"frequency": 49.95}}]}})",
         "$.timeline.steps[0].ramp.frequency: 49.95 Hz is not a multiple of 0.1 Hz"},
        {R"({"timeline": {"steps": [{"at": 1, "over": 2, "ramp": {"a_7": true}}]}})",
         "$.timeline.steps[0].ramp.a_7: only a measured quantity can be ramped"},
        {R"({"timeline": {"steps": [{"at": 1, "ramp": {"ua": 2}}]}})",
         "$.timeline.steps[0]: a ramp needs \"over\""},
        {R"({"timeline": {"steps": [{"at": 1, "over": 0, "ramp": {"ua": 2}}]}})",
         "$.timeline.steps[0].over: expected a number of seconds above 0"},
        {R"({"timeline": {"steps": [{"at": 1, "over": 2, "set": {"ua": 2}}]}})",
         "$.timeline.steps[0].over: only a ramp takes \"over\""},
        {R"({"timeline": {"steps": [{"at": 1, "over": 2, "set": {"uab": 2}, "ramp": {"uab": 3}}]}})",
         "$.timeline.steps[0].ramp.uab: also set by this step"},
        {R"({"timeline": {"period": 10, "steps": [{"at": 10, "set": {"ua": 1}}]}})",
         "$.timeline.steps[0].at: 10 s is not within the period of 10 s"},
        {R"({"timeline": {"period": 10, "steps": [{"at": 9, "over": 2, "ramp": {"ua": 1}}]}})",
         "$.timeline.steps[0].over: the ramp ends at 11 s, after the period of 10 s"},
    };
    for (const auto& [json, expected] : cases) {
        SCOPED_TRACE(json);
        try {
            parseTimeline(json, "drill.json");
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& e) {
            const std::string message = e.what();
            EXPECT_EQ(message.rfind(std::string("drill.json: ") + expected, 0), 0u) << message;
            EXPECT_EQ(message.find('\n'), std::string::npos) << message;
        }
    }
}

TEST(ShippedTimelines, LoadTestSagsAndRecoversAndTheDrillRaisesAndClearsItsAlarms)
{
    const Timeline load = loadTimelineFile(KEL36_EXAMPLES_DIR "/timeline-load-test.json");
    EXPECT_DOUBLE_EQ(load.period(), 30);
    EXPECT_NEAR(quantityValue(load.at(5), "uab"), 400, 1e-9);
    EXPECT_NEAR(quantityValue(load.at(12), "uab"), 340, 1e-9);
    EXPECT_NEAR(quantityValue(load.at(12), "frequency"), 48.5, 1e-9);
    EXPECT_NEAR(quantityValue(load.at(25), "frequency"), 50, 1e-9);
    const Timeline drill = loadTimelineFile(KEL36_EXAMPLES_DIR "/timeline-alarm-drill.json");
    const auto alarms = [&](double t) { return drill.at(t).registers[34]; };
    EXPECT_EQ(alarms(19), 0);
    EXPECT_EQ(alarms(21), 0x80);         // a_7
    EXPECT_EQ(alarms(26), 0x80 | 0x20);  // a_7 and a_5
    EXPECT_EQ(alarms(36), 0);
    EXPECT_NEAR(quantityValue(drill.at(15), "uab"), 340, 1e-9);
    EXPECT_NEAR(quantityValue(drill.at(38), "uab"), 400, 1e-9);
}

}  // namespace
}  // namespace kelsim
