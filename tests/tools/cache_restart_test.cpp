// --cache: the last record survives a restart, is handed back through
// LoadFromCache and served at once, then replaced by polled values.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "host_process.h"
#include "scenario_oracle.h"
#include "simulator.h"

namespace toolstest {
namespace {

constexpr const char* kBefore = R"({"uab": 380.0, "frequency": 49.9, "ua": 220, "a_6": true})";
constexpr const char* kAfter = R"({"uab": 410.0, "frequency": 50.2, "ua": 236})";

std::vector<std::string> cachedRun(const TempDir& dir, const std::string& scenario,
                                   const char* rounds)
{
    return {"--plugin",        pluginPath(), "--json",   "--interval", "0",
            "--timeout",       "300",        "--rounds", rounds,       "--cache",
            dir.file("cache"), "--scenario", scenario,   "--data-id",  "9"};
}

TEST(CacheRestart, ServesTheRestoredRecordAtOnceThenThePolledOne)
{
    TempDir dir;
    const std::string before = dir.write("before.json", kBefore);
    const std::string after = dir.write("after.json", kAfter);

    const HostRun first = runHost(cachedRun(dir, before, "1"));
    ASSERT_EQ(first.exit_code, 0) << first.err;
    EXPECT_EQ(first.events("cache_restored").size(), 0u);
    const std::string cached = readFile(dir.file("cache") + "/9.rec");
    ASSERT_EQ(cached.size(), 100u);

    const HostRun second = runHost(cachedRun(dir, after, "2"));
    ASSERT_EQ(second.exit_code, 0) << second.err;
    auto lines = second.jsonLines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0]["event"].asString(), "started");
    lines.erase(lines.begin());
    EXPECT_EQ(lines[0]["event"].asString(), "cache_restored");
    ASSERT_EQ(lines[1]["event"].asString(), "round");
    EXPECT_EQ(lines[1]["source"].asString(), "cache");
    EXPECT_EQ(lines[1]["round"].asUInt(), 0u);
    // Served from the restored record before any poll: the earlier scenario.
    EXPECT_EQ(checkRoundAgainst(lines[1], kelsim::loadScenarioFile(before)), 0);
    EXPECT_FLOAT_EQ(lines[1]["values"]["uab"].asFloat(), 380.0f);
    EXPECT_EQ(lines[1]["record"]["data_id"].asUInt(), 9u);

    const auto rounds = second.events("round");
    ASSERT_EQ(rounds.size(), 3u);
    for (std::size_t i = 1; i < rounds.size(); ++i) {
        EXPECT_EQ(rounds[i]["source"].asString(), "poll");
        EXPECT_EQ(checkRoundAgainst(rounds[i], kelsim::loadScenarioFile(after)), 0);
        EXPECT_FLOAT_EQ(rounds[i]["values"]["uab"].asFloat(), 410.0f);
    }
    // The cache now holds the latest polled record.
    const std::string refreshed = readFile(dir.file("cache") + "/9.rec");
    ASSERT_EQ(refreshed.size(), 100u);
    EXPECT_NE(refreshed.substr(5, 4), cached.substr(5, 4));
    struct stat st {};
    EXPECT_NE(stat((dir.file("cache") + "/.9.rec.tmp").c_str(), &st), 0) << "temporary file left";
}

TEST(CacheRestart, ARecordOfTheWrongSizeIsRefusedByTheDriverAndPollingGoesOn)
{
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("cache").c_str(), 0755), 0);
    dir.write("cache/9.rec", std::string(37, 'x'));
    const HostRun run = runHost(cachedRun(dir, examplePath("scenario.json"), "1"));
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const auto refused = run.events("cache_refused");
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_NE(refused[0]["detail"].asString().find("(37 bytes)"), std::string::npos);
    const auto rounds = run.events("round");
    ASSERT_EQ(rounds.size(), 1u);
    EXPECT_EQ(rounds[0]["source"].asString(), "poll");
    EXPECT_EQ(readFile(dir.file("cache") + "/9.rec").size(), 100u);
}

}  // namespace
}  // namespace toolstest
