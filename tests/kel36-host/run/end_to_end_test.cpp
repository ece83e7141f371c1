// kel36-host against simulated controllers on pseudo-terminals, through the
// built kel36.so: what it publishes, reads and reports must be exactly what
// the scenario holds.

#include <gtest/gtest.h>
#include <json/writer.h>
#include <signal.h>

#include <cstring>
#include <regex>

#include "host_process.h"
#include "scenario_oracle.h"
#include "support/history_rows.h"
#include "simulator.h"

namespace toolstest {
namespace {

std::vector<std::string> fastRun(std::vector<std::string> extra)
{
    std::vector<std::string> args = {"--plugin", pluginPath(), "--interval",
                                     "0",        "--timeout",  "300"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

int countLines(const std::string& text, const std::string& needle)
{
    int n = 0;
    for (std::size_t pos = text.find(needle); pos != std::string::npos;
         pos = text.find(needle, pos + 1))
        ++n;
    return n;
}

TEST(PolledRecords, EveryRoundOfTheDefaultScenarioMatchesItFieldByField)
{
    const HostRun run = runHost(fastRun({"--simulate", "--json", "--rounds", "5"}));
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const auto rounds = run.events("round");
    ASSERT_EQ(rounds.size(), 5u);
    for (const Json::Value& round : rounds) {
        EXPECT_EQ(round["source"].asString(), "poll");
        EXPECT_EQ(round["record"]["data_id"].asUInt(), 1u);
        EXPECT_EQ(checkRoundAgainst(round, kelsim::defaultScenario()), 0);
    }
    EXPECT_EQ(rounds.back()["round"].asUInt(), 5u);
    const auto summary = run.events("summary");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0]["rounds"].asUInt(), 5u);
    EXPECT_EQ(summary[0]["stalls"].asUInt(), 0u);
    EXPECT_GT(summary[0]["max_round_ms"].asDouble(), 0.0);
}

TEST(PolledRecords, ValuesAndAlarmsEqualTheNamedQuantitiesOfAScenarioFile)
{
    TempDir dir;
    const std::string scenario = dir.write("gen.json", R"({
        "uab": 415.3, "ubc": 0.01, "uca": 655.35, "frequency": 60.0,
        "ua": 240, "ub": 0, "uc": 255, "battery_voltage": 12.4,
        "a_5": true, "a_6": false, "a_7": false, "b_2": false, "b_6": true,
        "registers": {"27": 1, "28": 2, "58": 0, "59": 255, "13": 99}
    })");
    const HostRun run =
        runHost(fastRun({"--json", "--rounds", "3", "--scenario", scenario, "--data-id", "77"}));
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const kelsim::Scenario loaded = kelsim::loadScenarioFile(scenario);
    const std::map<std::string, float> quantities = {
        {"uab", 415.3f}, {"ubc", 0.01f}, {"uca", 655.35f}, {"frequency", 60.0f},
        {"ua", 240.0f},  {"ub", 0.0f},   {"uc", 255.0f}};
    const auto rounds = run.events("round");
    ASSERT_EQ(rounds.size(), 3u);
    for (const Json::Value& round : rounds) {
        EXPECT_EQ(checkRoundAgainst(round, loaded), 0);
        for (const auto& [name, value] : quantities)
            EXPECT_FLOAT_EQ(round["values"][name].asFloat(), value) << name;
        EXPECT_FLOAT_EQ(round["battery_voltage"].asFloat(), 12.4f);
        EXPECT_EQ(round["record"]["data_id"].asUInt(), 77u);
        EXPECT_EQ(round["record"]["pair_r27_r28"].asInt(), 258);
        EXPECT_EQ(round["record"]["pair_r59_r58"].asInt(), -256);
        ASSERT_EQ(round["alarms"].size(), 5u);
        EXPECT_EQ(round["alarms"][0]["signal"].asString(), "a_5");
        EXPECT_EQ(round["alarms"][0]["code"].asString(), "05004");
        EXPECT_EQ(round["alarms"][0]["text"].asString(), "高水温告警");
        EXPECT_TRUE(round["alarms"][0]["active"].asBool());
        EXPECT_EQ(round["alarms"][4]["signal"].asString(), "b_6");
        EXPECT_TRUE(round["alarms"][4]["active"].asBool());
    }
}

TEST(PolledRecords, TwoConfiguredDevicesArePolledEachWithItsOwnAddressAndScenario)
{
    const HostRun run =
        runHost(fastRun({"--json", "--rounds", "3", "--config", examplePath("host.json")}));
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const kelsim::Scenario alarms = kelsim::loadScenarioFile(examplePath("scenario-alarms.json"));
    int first = 0;
    int second = 0;
    for (const Json::Value& round : run.events("round")) {
        if (round["device"].asString() == "genset-1") {
            ++first;
            EXPECT_EQ(round["record"]["data_id"].asUInt(), 5001u);
            EXPECT_EQ(checkRoundAgainst(round, kelsim::defaultScenario()), 0);
        } else {
            ++second;
            EXPECT_EQ(round["device"].asString(), "genset-2");
            EXPECT_EQ(round["record"]["data_id"].asUInt(), 5002u);
            EXPECT_EQ(checkRoundAgainst(round, alarms), 0);
        }
    }
    EXPECT_EQ(first, 3);
    EXPECT_EQ(second, 3);
}

TEST(HumanOutput, ShowsValuesWithUnitsBatteryAlarmTextsAndSummary)
{
    const HostRun run =
        runHost(fastRun({"--rounds", "2", "--scenario", examplePath("scenario-alarms.json")}));
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const std::regex round_line(
        R"(\d\d:\d\d:\d\d\.\d{3} kel36  round [12]  uab 392 V  ubc 391\.4 V  uca 393\.1 V  )"
        R"(frequency 47\.5 Hz  ua 226 V  ub 225 V  uc 227 V  battery 23\.2 V  )"
        R"(alarms: a_7 低油压告警 \(05010\), b_2 频率低告警 \(05029\)  [0-9.]+ ms)");
    int matched = 0;
    std::istringstream lines(run.out);
    std::string line;
    while (std::getline(lines, line))
        matched += std::regex_match(line, round_line) ? 1 : 0;
    EXPECT_EQ(matched, 2) << run.out;
    EXPECT_TRUE(std::regex_search(
        run.out,
        std::regex(
            R"(kel36  polling /dev/pts/\d+ at 19200 baud \(simulated controller\), data id 1\n)")))
        << run.out;
    EXPECT_NE(run.out.find("summary kel36: 2 rounds, 0 stalls, round time mean "),
              std::string::npos);
    EXPECT_EQ(run.out.find("rvSize"), std::string::npos) << "driver diagnostics belong on stderr";
}

TEST(LineTrace, ShowsEveryRequestAndReplyAndTheDriversOwnLines)
{
    const HostRun run = runHost(fastRun({"--json", "--rounds", "2", "--trace"}));
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.events("round").size(), 2u);
    EXPECT_EQ(countLines(run.err, " kel36 > "), 2 * 63);
    EXPECT_EQ(countLines(run.err, " kel36 <  4  \""), 2 * 63);
    EXPECT_EQ(countLines(run.err, "\"|DF569E\"  7C 44 46 35 36 39 45  register 0, address 65"), 2);
    EXPECT_EQ(countLines(run.err, "register 1,"), 0);
    EXPECT_EQ(countLines(run.err, "register 51,"), 0);
    EXPECT_EQ(countLines(run.err, "rvSize is 0"), 2);
}

// SIGHUP is a closed terminal or SSH session: the same clean end, with the
// history's rows written and its run closed.
TEST(Stopping, SigintSigtermAndSighupEndTheRunWithTheSummaryAndExitZero)
{
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        TempDir dir;
        HostProcess host(fastRun({"--json", "--simulate", "--history", dir.file("h.db")}));
        ASSERT_TRUE(host.waitForLines(3, std::chrono::seconds(10)));  // started, 2 rounds
        host.signal(sig);
        const HostRun run = host.finish(std::chrono::seconds(10));
        EXPECT_EQ(run.exit_code, 0) << "signal " << sig << ": " << run.err;
        const auto summary = run.events("summary");
        ASSERT_EQ(summary.size(), 1u) << run.out;
        EXPECT_GE(summary[0]["rounds"].asUInt(), 2u);
        EXPECT_EQ(summary[0]["rounds"].asUInt(), run.events("round").size());
        EXPECT_EQ(historytest::readRows(dir.file("h.db")).size(), run.events("round").size());
        EXPECT_EQ(historytest::queryValue(dir.file("h.db"),
                                          "SELECT count(*) FROM runs WHERE ended_ms IS NOT NULL"),
                  "1");
    }
}

}  // namespace
}  // namespace toolstest
