// --cache: the last record survives a restart, is handed back through
// LoadFromCache and served at once, then replaced by polled values; only a
// record stored for this device is restored, and one host at a time uses it.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <set>

#include "host_process.h"
#include "kel36-host/cache/record_store.h"
#include "support/history_rows.h"
#include "scenario_oracle.h"
#include "simulator.h"

namespace toolstest {
namespace {

constexpr const char* kBefore = R"({"uab": 380.0, "frequency": 49.9, "ua": 220, "a_6": true})";
constexpr const char* kAfter = R"({"uab": 410.0, "frequency": 50.2, "ua": 236})";

std::set<std::string> filesIn(const std::string& dir)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

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
    ASSERT_EQ(cached.size(), 120u);
    EXPECT_EQ(cached.substr(0, 16), std::string("K36C\x01\0\x14\0\x09\0\0\0\x64\0\0\0", 16));

    std::vector<std::string> args = cachedRun(dir, after, "2");
    args.insert(args.end(), {"--history", dir.file("h.db")});
    const HostRun second = runHost(args);
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
    // The history tells the restored record from the polled ones.
    const auto stored = historytest::readRows(dir.file("h.db"));
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[0].source, "cache");
    EXPECT_EQ(stored[0].record.substr(4, 89), cached.substr(24, 89)) << "the cached record";
    EXPECT_EQ(stored[1].source, "poll");
    EXPECT_EQ(stored[2].source, "poll");
    // The cache now holds the latest polled record, and no temporary file.
    const std::string refreshed = readFile(dir.file("cache") + "/9.rec");
    ASSERT_EQ(refreshed.size(), 120u);
    EXPECT_NE(refreshed.substr(25, 4), cached.substr(25, 4));
    EXPECT_EQ(filesIn(dir.file("cache")), (std::set<std::string>{"9.lock", "9.rec"}));
}

struct RefusedCache {
    const char* name;
    std::function<std::string(const std::string& good)> content;  // from a good file of id 9
    const char* reason;
};

std::ostream& operator<<(std::ostream& out, const RefusedCache& c)
{
    return out << c.name;
}

class RefusedCaches : public ::testing::TestWithParam<RefusedCache> {};

// A file that is not a record stored for this device is refused with the
// reason, and polling starts normally; the first polled record replaces it.
TEST_P(RefusedCaches, AreNamedAndPollingStartsNormally)
{
    TempDir dir;
    const HostRun store = runHost(cachedRun(dir, examplePath("scenario.json"), "1"));
    ASSERT_EQ(store.exit_code, 0) << store.err;
    const std::string good = readFile(dir.file("cache/9.rec"));
    ASSERT_EQ(good.size(), 120u);
    dir.write("cache/9.rec", GetParam().content(good));

    const HostRun run = runHost(cachedRun(dir, examplePath("scenario-alarms.json"), "1"));
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const auto refused = run.events("cache_refused");
    ASSERT_EQ(refused.size(), 1u) << run.out;
    const std::string expected = dir.file("cache/9.rec") + ": " + GetParam().reason;
    EXPECT_EQ(refused[0]["detail"].asString().substr(0, expected.size()), expected);
    EXPECT_EQ(run.events("cache_restored").size(), 0u);
    const auto rounds = run.events("round");
    ASSERT_EQ(rounds.size(), 1u);
    EXPECT_EQ(rounds[0]["source"].asString(), "poll");
    EXPECT_EQ(rounds[0]["record"]["data_id"].asUInt(), 9u);
    const std::string replaced = readFile(dir.file("cache/9.rec"));
    EXPECT_EQ(replaced.size(), 120u);
    EXPECT_NE(replaced.substr(20), good.substr(20)) << "the new scenario's record";
}

std::string withByte(std::string text, std::size_t at, char value)
{
    text[at] = value;
    return text;
}

// A consistent file whose record (not its header) carries data id 5001.
std::string withRecordDataId5001(std::string file)
{
    file.replace(20, 4, std::string("\x89\x13\0\0", 4));
    const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
    const uint32_t crc = keltool::crc32(bytes + 20, 100, keltool::crc32(bytes, 16));
    for (int i = 0; i < 4; ++i)
        file[16 + i] = static_cast<char>(crc >> (8 * i));
    return file;
}

INSTANTIATE_TEST_SUITE_P(
    Each, RefusedCaches,
    ::testing::Values(
        RefusedCache{"LegacyRawRecord", [](const std::string& g) { return g.substr(20); },
                     "a bare 100-byte record without header (written by an older kel36-host)"},
        RefusedCache{"NotACacheFile", [](const std::string&) { return std::string(120, 'x'); },
                     "not a kel36-host cache file (120 bytes, no K36C header)"},
        RefusedCache{"NewerVersion", [](const std::string& g) { return withByte(g, 4, 2); },
                     "format version 2, this kel36-host reads version 1"},
        RefusedCache{"Truncated", [](const std::string& g) { return g.substr(0, 70); },
                     "the header announces 100 record bytes, the file holds 50"},
        RefusedCache{"Corrupted", [](const std::string& g) { return withByte(g, 30, '\x7f'); },
                     "checksum mismatch"},
        // The checksum covers the header too.
        RefusedCache{"HeaderChanged", [](const std::string& g) { return withByte(g, 8, 8); },
                     "checksum mismatch"},
        // The driver would take over the record's own data id.
        RefusedCache{"RecordOfAnotherDevice", withRecordDataId5001,
                     "the record carries data id 5001, its header 9"}),
    [](const ::testing::TestParamInfo<RefusedCache>& info) {
        return std::string(info.param.name);
    });

TEST(CacheRefusal, ARecordStoredForAnotherDataIdIsNotTakenOver)
{
    TempDir dir;
    std::vector<std::string> args = cachedRun(dir, examplePath("scenario.json"), "1");
    args.back() = "5001";
    ASSERT_EQ(runHost(args).exit_code, 0);
    dir.write("cache/9.rec", readFile(dir.file("cache/5001.rec")));
    const HostRun run = runHost(cachedRun(dir, examplePath("scenario.json"), "1"));
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const auto refused = run.events("cache_refused");
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0]["detail"].asString(),
              dir.file("cache/9.rec") + ": stored for data id 5001, not 9");
    EXPECT_EQ(run.events("round").at(0)["record"]["data_id"].asUInt(), 9u);
}

// One writer per cache: a second host on the same device's cache is refused
// before it polls; a stale temporary file of a killed run is cleared.
TEST(CacheLock, ASecondHostOnTheSameCacheIsRefusedAtStartUp)
{
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("cache").c_str(), 0755), 0);
    dir.write("cache/.9.rec.a1B2c3", "left by a killed run");
    std::vector<std::string> endless = cachedRun(dir, examplePath("scenario.json"), "1");
    endless.erase(endless.begin() + 7, endless.begin() + 9);  // no --rounds
    HostProcess first(endless);
    ASSERT_TRUE(first.waitForLines(2, std::chrono::seconds(10)));

    const HostRun second = runHost(cachedRun(dir, examplePath("scenario.json"), "1"));
    EXPECT_EQ(second.exit_code, 2);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, "kel36-host: cache " + dir.file("cache/9.rec") +
                              " is in use by another kel36-host (" + dir.file("cache/9.lock") +
                              " is locked)\n");
    first.signal(SIGINT);
    EXPECT_EQ(first.finish().exit_code, 0);
    EXPECT_EQ(filesIn(dir.file("cache")), (std::set<std::string>{"9.lock", "9.rec"}));

    const HostRun third = runHost(cachedRun(dir, examplePath("scenario.json"), "1"));
    EXPECT_EQ(third.exit_code, 0) << third.err;
    EXPECT_EQ(third.events("cache_restored").size(), 1u);
}

// The directory is trusted only when no one else can write into it, and its
// files are never followed through a symbolic link: a planted lock link must
// not make a root host create the file it points to, and a planted record
// is not restored. Each refusal is one line and status 2, before polling.
TEST(CacheDirectory, OnlyADirectoryOfOursIsUsedAndNoLinkInItIsFollowed)
{
    TempDir dir;
    const std::string cache = dir.file("cache");
    const std::vector<std::string> run = cachedRun(dir, examplePath("scenario.json"), "1");
    ASSERT_EQ(mkdir(cache.c_str(), 0755), 0);

    ASSERT_EQ(symlink(dir.file("target").c_str(), (cache + "/9.lock").c_str()), 0);
    HostRun refused = runHost(run);
    EXPECT_EQ(refused.exit_code, 2);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "kel36-host: cannot lock cache " + cache + "/9.rec: " + cache +
                               "/9.lock: a symbolic link, not a regular file\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("target"))) << "created through the link";
    ASSERT_EQ(unlink((cache + "/9.lock").c_str()), 0);

    const struct {
        mode_t mode;
        const char* why;
    } writable[] = {{0775, "its group (mode 0775)"},
                    {0757, "others (mode 0757)"},
                    {01777, "others (mode 1777)"}};
    for (const auto& w : writable) {
        ASSERT_EQ(chmod(cache.c_str(), w.mode), 0);
        refused = runHost(run);
        EXPECT_EQ(refused.exit_code, 2);
        EXPECT_EQ(refused.err, "kel36-host: cache directory " + cache + " is writable by " + w.why +
                                   "; only its owner may write it\n");
    }
    ASSERT_EQ(chmod(cache.c_str(), 0755), 0);
    ASSERT_EQ(chown(cache.c_str(), 65534, 65534), 0);  // nobody (the tests run as root)
    refused = runHost(run);
    EXPECT_EQ(refused.exit_code, 2);
    EXPECT_EQ(refused.err, "kel36-host: cache directory " + cache +
                               " is owned by uid 65534, not by the user running kel36-host (uid " +
                               std::to_string(geteuid()) + ")\n");
    EXPECT_TRUE(filesIn(cache).empty());
    ASSERT_EQ(chown(cache.c_str(), geteuid(), getegid()), 0);

    // A good record, then another user's file under its name.
    ASSERT_EQ(runHost(run).exit_code, 0);
    ASSERT_EQ(chown((cache + "/9.rec").c_str(), 65534, 65534), 0);
    const HostRun planted = runHost(run);
    ASSERT_EQ(planted.exit_code, 0) << planted.err;
    ASSERT_EQ(planted.events("cache_refused").size(), 1u);
    EXPECT_EQ(planted.events("cache_refused")[0]["detail"].asString(),
              cache + "/9.rec: owned by uid 65534, not by this user (uid " +
                  std::to_string(geteuid()) + ")");
    EXPECT_EQ(planted.events("cache_restored").size(), 0u);
    ASSERT_EQ(rename((cache + "/9.rec").c_str(), dir.file("elsewhere.rec").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("elsewhere.rec").c_str(), (cache + "/9.rec").c_str()), 0);
    const HostRun linked = runHost(run);
    ASSERT_EQ(linked.events("cache_refused").size(), 1u);
    EXPECT_EQ(linked.events("cache_refused")[0]["detail"].asString(),
              cache + "/9.rec: a symbolic link, not a regular file");
}

}  // namespace
}  // namespace toolstest
