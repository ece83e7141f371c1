// The unified data device's own configuration step, as a driver that keeps it
// gets it: mode switch, threshold entries, the settings trace, the host base.

#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/value.h>

#include "framework/zrn_spdevice.h"
#include "kel36/kel36_data.h"
#include "tests/foundation/host_fixture.h"
#include "unidata/uni_data_device.h"

namespace {

using foundation::json;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// A driver that keeps the template's InitSetting (Kel36 replaces it).
class PlainDevice : public UniDataDevice<Kel36_Data_t, ZRNSPDevice, 5058> {};

// A host base whose InitSetting answers a chosen result and marks on stdout when
// it runs, so tests see it against the settings trace.
class MarkingBase : public ZRNSPDevice {
public:
    int InitSetting(const Json::Value& config) override
    {
        seen_config = &config;
        std::cout << "[base]" << std::endl;
        return answer;
    }
    int answer = -5;
    const Json::Value* seen_config = nullptr;
};
class MarkedDevice : public UniDataDevice<Kel36_Data_t, MarkingBase, 5058> {};

class SettingsLoading : public foundation::HostCallTest {
protected:
    SettingsLoading() { device_.data_id_ = 42; }

    // Runs InitSetting on the configuration text; returns the trace written.
    std::string configure(const std::string& config, int* result = nullptr)
    {
        const Json::Value node = json(config);
        CaptureStdout();
        const int r = device_.InitSetting(node);
        if (result)
            *result = r;
        return GetCapturedStdout();
    }

    PlainDevice device_;
};

const char* const kOneFullEntry = R"({
    "appSetting": {"b_mode": "3"},
    "thresholdSetting": {"gen_alarm": {"SignalName": "uab", "NMAlarmID": "1001", "ID": "2",
                                       "SignalNumber": "7"}}})";

TEST_F(SettingsLoading, FullEntryGetsItsIdentifierAndSignalName)
{
    EXPECT_EQ(configure(kOneFullEntry),
              "InitSetting 42 b_mode_:3\n"
              "here 1\n"
              "here 2\n"
              "here gen_alarm\n"
              "mobile:gen_alarm:1001;2;7; level:0 value:0\n");
    EXPECT_EQ(device_.alarm_ids_, (std::map<std::string, std::string>{{"gen_alarm", "1001;2;7;"}}));
    EXPECT_EQ(device_.signal_names_, (std::map<std::string, std::string>{{"gen_alarm", "uab"}}));
    EXPECT_EQ(device_.b_mode_, 3);
    EXPECT_EQ(log_.ops(), std::vector<std::string>{"InitSetting"});
}

TEST_F(SettingsLoading, EmptyEntryReportsEachMissingPartInOrder)
{
    EXPECT_EQ(configure(R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": {"e": {}}})"),
              "InitSetting 42 b_mode_:3\n"
              "here 1\n"
              "here 2\n"
              "here e\n"
              "42 NMAlarmID is missing\n"
              "42 ID is missing\n"
              "42 SignalNumber is missing\n"
              "mobile:e:;;; level:0 value:0\n");
    EXPECT_EQ(device_.alarm_ids_.at("e"), ";;;");
    EXPECT_EQ(device_.signal_names_.count("e"), 0u);  // no SignalName, no name entry
}

TEST_F(SettingsLoading, MissingPartsLeaveEmptyPlacesAndNumbersBecomeText)
{
    configure(R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": {
        "mid": {"NMAlarmID": "1001", "SignalNumber": "7"},
        "num": {"NMAlarmID": 1001, "ID": 2, "SignalNumber": null, "SignalName": "ua"}}})");
    EXPECT_EQ(device_.alarm_ids_.at("mid"), "1001;;7;");
    EXPECT_EQ(device_.alarm_ids_.at("num"), "1001;2;;");
    EXPECT_EQ(device_.signal_names_.at("num"), "ua");
}

TEST_F(SettingsLoading, ModeTextIsReadAsAtoiReadsIt)
{
    struct Case {
        const char* b_mode;
        int expected;
    };
    for (const Case& c :
         {Case{R"("03")", 3}, Case{R"("3abc")", 3}, Case{R"(" +3")", 3}, Case{R"("abc")", 0},
          Case{R"("")", 0}, Case{R"("-2")", -2}, Case{"3", 3}, Case{"2", 2}}) {
        SCOPED_TRACE(c.b_mode);
        PlainDevice fresh;
        fresh.data_id_ = 9;
        const Json::Value node =
            json(std::string(R"({"appSetting": {"b_mode": )") + c.b_mode + "}}");
        CaptureStdout();
        fresh.InitSetting(node);
        const std::string trace = GetCapturedStdout();
        EXPECT_EQ(fresh.b_mode_, c.expected);
        std::string expected = "InitSetting 9 b_mode_:" + std::to_string(c.expected) + "\n";
        if (c.expected == 3)
            expected += "here 1\n";
        EXPECT_EQ(trace, expected);
    }
}

TEST_F(SettingsLoading, ModeIsKeptBetweenCalls)
{
    EXPECT_EQ(configure("{}"), "");  // mode 1 after construction: nothing to say
    configure(R"({"appSetting": {"b_mode": "3"}})");
    // Neither mode nor entries given: only the mode's own line.
    EXPECT_EQ(configure("{}"), "here 1\n");
    EXPECT_EQ(configure(R"({"appSetting": {"addr": "7"}})"), "here 1\n");
    // Entries given later are loaded under the kept mode.
    configure(R"({"thresholdSetting": {"late": {"ID": "5"}}})");
    EXPECT_EQ(device_.alarm_ids_.at("late"), ";5;;");
    EXPECT_EQ(log_.callsOf("InitSetting").size(), 5u);
}

TEST_F(SettingsLoading, OtherModesLoadNoEntries)
{
    int result = 0;
    std::string config = kOneFullEntry;
    config.replace(config.find("\"3\""), 3, "\"2\"");
    EXPECT_EQ(configure(config, &result), "InitSetting 42 b_mode_:2\n");
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(device_.alarm_ids_.empty());
    EXPECT_TRUE(device_.signal_names_.empty());
    EXPECT_TRUE(device_.threshold_levels_.empty());
    EXPECT_EQ(log_.ops(), std::vector<std::string>{"InitSetting"});
}

TEST_F(SettingsLoading, EntriesThatAreNotObjectsAreSkipped)
{
    EXPECT_EQ(configure(R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": {
                  "a": 5, "b": "text", "c": [1, 2], "d": null,
                  "e": {"NMAlarmID": "1", "ID": "2", "SignalNumber": "3"}}})"),
              "InitSetting 42 b_mode_:3\n"
              "here 1\n"
              "here 2\n"
              "here a\n"
              "here b\n"
              "here c\n"
              "here d\n"
              "here e\n"
              "mobile:e:1;2;3; level:0 value:0\n");
    EXPECT_EQ(device_.alarm_ids_, (std::map<std::string, std::string>{{"e", "1;2;3;"}}));
}

TEST_F(SettingsLoading, TraceShowsAndEntersTheHostThresholds)
{
    device_.threshold_levels_["known"] = 4;
    device_.threshold_values_["known"] = 2.5f;
    EXPECT_EQ(configure(R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": {
                  "known": {"NMAlarmID": "1", "ID": "2", "SignalNumber": "3"},
                  "new": {"NMAlarmID": "4", "ID": "5", "SignalNumber": "6"}}})"),
              "InitSetting 42 b_mode_:3\n"
              "here 1\n"
              "here 2\n"
              "here known\n"
              "mobile:known:1;2;3; level:4 value:2.5\n"
              "here new\n"
              "mobile:new:4;5;6; level:0 value:0\n");
    EXPECT_EQ(device_.threshold_levels_.at("new"), 0);
    EXPECT_EQ(device_.threshold_values_.at("new"), 0.0f);
    EXPECT_EQ(device_.threshold_levels_.at("known"), 4);
}

TEST_F(SettingsLoading, ThresholdValueIsWrittenInTheDefaultFloatFormat)
{
    struct Case {
        float value;
        const char* text;
    };
    for (const Case& c :
         {Case{0.1f, "0.1"}, Case{1e-5f, "1e-05"}, Case{123456789.0f, "1.23457e+08"},
          Case{-2.5f, "-2.5"}, Case{100000.0f, "100000"}}) {
        SCOPED_TRACE(c.text);
        device_.threshold_values_["t"] = c.value;
        EXPECT_EQ(configure(R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": {
                      "t": {"NMAlarmID": "1", "ID": "2", "SignalNumber": "3"}}})"),
                  std::string("InitSetting 42 b_mode_:3\nhere 1\nhere 2\nhere t\n"
                              "mobile:t:1;2;3; level:0 value:") +
                      c.text + "\n");
    }
}

TEST_F(SettingsLoading, ThresholdSettingWithoutMembersStillWritesItsLine)
{
    for (const char* entries : {R"("text")", R"("")", "5", "0", "true", "false"}) {
        SCOPED_TRACE(entries);
        EXPECT_EQ(configure(std::string(R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": )") +
                            entries + "}"),
                  "InitSetting 42 b_mode_:3\nhere 1\nhere 2\n");
        EXPECT_TRUE(device_.alarm_ids_.empty());
    }
    EXPECT_EQ(configure(R"({"thresholdSetting": null})"), "here 1\n") << "null is absent";
}

TEST_F(SettingsLoading, DataIdentifierIsWrittenUnsigned)
{
    device_.data_id_ = 3000000000u;  // negative if taken as a signed 32-bit number
    EXPECT_EQ(
        configure(R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": {"e": {"ID": "2"}}})"),
        "InitSetting 3000000000 b_mode_:3\n"
        "here 1\n"
        "here 2\n"
        "here e\n"
        "3000000000 NMAlarmID is missing\n"
        "3000000000 SignalNumber is missing\n"
        "mobile:e:;2;; level:0 value:0\n");
}

TEST_F(SettingsLoading, EntriesAreOnlyAddedOrReplaced)
{
    configure(R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": {
        "a": {"ID": "1", "SignalName": "ua"}, "b": {"ID": "2"}}})");
    configure(R"({"thresholdSetting": {"b": {"ID": "9"}}})");
    EXPECT_EQ(device_.alarm_ids_,
              (std::map<std::string, std::string>{{"a", ";1;;"}, {"b", ";9;;"}}));
    EXPECT_EQ(device_.signal_names_, (std::map<std::string, std::string>{{"a", "ua"}}));
}

TEST_F(SettingsLoading, DataIdentifierIsWrittenOnEveryCall)
{
    configure("{}");
    device_.data_id_ = 0x11223344u;
    configure("[]");
    const auto* rec = reinterpret_cast<const unsigned char*>(&device_.data_);
    EXPECT_EQ(std::vector<unsigned char>(rec, rec + 4),
              (std::vector<unsigned char>{0x44, 0x33, 0x22, 0x11}));
}

TEST_F(SettingsLoading, ConfigurationOfAnyOtherShapeIsHandled)
{
    for (const char* config :
         {"null", "[1, 2]", "\"text\"", "7", R"({"appSetting": "3"})", R"({"appSetting": [3]})"}) {
        SCOPED_TRACE(config);
        int result = 0;
        EXPECT_EQ(configure(config, &result), "");
        EXPECT_EQ(result, 1);
        EXPECT_EQ(device_.b_mode_, 1);
    }
    configure(R"({"appSetting": {"b_mode": "3"}})");
    for (const char* config :
         {"[1, 2]", "\"text\"", R"({"thresholdSetting": "text"})", R"({"thresholdSetting": 5})",
          R"({"thresholdSetting": [{"ID": "1"}]})"}) {
        SCOPED_TRACE(config);
        const std::string trace = configure(config);
        EXPECT_EQ(trace.rfind("here 1\n", 0), 0u);
        EXPECT_TRUE(device_.alarm_ids_.empty());
    }
}

TEST_F(SettingsLoading, JsonErrorLeavesBeforeTheHostBaseAndKeepsEarlierEntries)
{
    EXPECT_THROW(configure(R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": {
                     "a": {"ID": "1"}, "b": {"ID": [1]}}})"),
                 Json::LogicError);
    GetCapturedStdout();
    EXPECT_EQ(device_.alarm_ids_.count("a"), 1u);
    EXPECT_EQ(device_.alarm_ids_.count("b"), 0u);
    EXPECT_TRUE(log_.callsOf("InitSetting").empty());
}

TEST_F(SettingsLoading, HostBaseIsCalledLastWithTheNodeAndItsResultReturned)
{
    MarkedDevice device;
    device.data_id_ = 42;
    const Json::Value node = json(kOneFullEntry);
    for (int answer : {-5, 0, 1}) {
        device.answer = answer;
        CaptureStdout();
        EXPECT_EQ(device.InitSetting(node), answer);
        EXPECT_EQ(GetCapturedStdout(),
                  "InitSetting 42 b_mode_:3\n"
                  "here 1\n"
                  "here 2\n"
                  "here gen_alarm\n"
                  "mobile:gen_alarm:1001;2;7; level:0 value:0\n"
                  "[base]\n");
        EXPECT_EQ(device.seen_config, &node);
    }
}

}  // namespace
