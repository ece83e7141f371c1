// --history: the SQLite history kel36-host keeps, through the built tool and
// the real plug-in. Every stored record is a row holding exactly the
// published bytes and their values; files that are no history of a known
// schema are refused untouched; a killed run or a full disk never leaves
// half a row.

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <set>
#include <thread>

#include "support/history_rows.h"
#include "kel36-host/output/record_decoder.h"
#include "kel36-host/store/history_writer.h"
#include "kel36-host/store/iso_time.h"
#include "host_process.h"

namespace toolstest {
namespace {

using historytest::HistoryRow;
using historytest::queryValue;
using historytest::readRows;

std::vector<std::string> fastRun(std::vector<std::string> extra)
{
    std::vector<std::string> args = {"--plugin",  pluginPath(), "--interval", "0",
                                     "--timeout", "300",        "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

keltool::RecordBytes bytesOf(const std::string& stored)
{
    keltool::RecordBytes bytes{};
    EXPECT_EQ(stored.size(), keltool::kRecordSize);
    std::copy_n(stored.begin(), std::min(stored.size(), bytes.size()), bytes.begin());
    return bytes;
}

int64_t timeOf(const Json::Value& event)
{
    int64_t ms = 0;
    std::string error;
    EXPECT_TRUE(keltool::parseIsoTime(event["time"].asString(), &ms, &error)) << error;
    return ms;
}

// Every field of the stored bytes against the published record as --json
// shows it, and the decoded columns against the bytes.
void expectRowHolds(const HistoryRow& row, const Json::Value& round)
{
    const keltool::RecordBytes bytes = bytesOf(row.record);
    for (std::size_t i = 0; i < keltool::recordFieldCount(); ++i) {
        const keltool::RecordField& f = keltool::recordFields()[i];
        const keltool::FieldValue v = keltool::decodeField(bytes, f);
        const Json::Value& published = round["record"][f.name];
        if (f.kind == keltool::FieldKind::F32) {
            EXPECT_EQ(v.real, published.asFloat()) << f.name;
        } else if (f.kind == keltool::FieldKind::Time) {
            char text[24];
            keltool::formatRecordTime(v.time, text, sizeof text);
            EXPECT_EQ(text, published.asString());
        } else {
            EXPECT_EQ(v.integer, published.asInt64()) << f.name;
        }
    }
    const char* columns[] = {"uab", "ubc", "uca", "frequency", "ua", "ub", "uc", "battery_voltage"};
    for (std::size_t i = 0; i < 8; ++i)
        EXPECT_EQ(static_cast<float>(row.values[i]),
                  keltool::readFloat(bytes, keltool::findField(columns[i])->offset))
            << columns[i];
    EXPECT_EQ(row.status_a, bytes[keltool::findField("status_a")->offset]);
    EXPECT_EQ(row.status_b, bytes[keltool::findField("status_b")->offset]);
}

TEST(HistoryDatabase, PolledRoundsAreRowsHoldingThePublishedRecordsAndTheAlarmTexts)
{
    TempDir dir;
    const std::string db = dir.file("h.db");
    const HostRun run = runHost(fastRun({"--rounds", "5", "--data-id", "305419896", "--scenario",
                                         examplePath("scenario-alarms.json"), "--history", db}));
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const auto rounds = run.events("round");
    const std::vector<HistoryRow> rows = readRows(db);
    ASSERT_EQ(rounds.size(), 5u);
    ASSERT_EQ(rows.size(), 5u);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rows[i].device, "kel36");
        EXPECT_EQ(rows[i].data_id, 305419896);
        EXPECT_EQ(rows[i].source, "poll");
        expectRowHolds(rows[i], rounds[i]);
        // Stored when the driver saved it, just before the round was shown.
        EXPECT_LE(rows[i].time_ms, timeOf(rounds[i]));
        EXPECT_GE(rows[i].time_ms, timeOf(rounds[i]) - 1000);
        if (i > 0) {
            EXPECT_GE(rows[i].time_ms, rows[i - 1].time_ms);
        }
    }
    // The view gives readable times and the alarm bits.
    EXPECT_EQ(queryValue(db,
                         "SELECT count(*) FROM history WHERE a_7 = 1 AND b_2 = 1 AND a_5 = 0 "
                         "AND time_utc LIKE '____-__-__T__:__:__.___Z'"),
              "5");
    std::set<std::vector<std::string>> names;
    for (const Json::Value& alarm : rounds[0]["alarms"])
        names.insert({"kel36", alarm["signal"].asString(), alarm["code"].asString(),
                      alarm["text"].asString()});
    const auto stored =
        historytest::query(db, "SELECT device, signal, code, text FROM alarm_names");
    EXPECT_EQ(std::set<std::vector<std::string>>(stored.begin(), stored.end()), names);
    EXPECT_EQ(queryValue(db, "SELECT count(*) FROM stalls"), "0");
    EXPECT_EQ(queryValue(db, "PRAGMA journal_mode"), "wal");
}

TEST(HistoryDatabase, AKilledRunLeavesAReadableDatabaseThatTheNextRunExtends)
{
    TempDir dir;
    const std::string db = dir.file("h.db");
    HostProcess host(fastRun({"--history", db}));
    ASSERT_TRUE(host.waitForLines(12, std::chrono::seconds(20)));  // started, 11 rounds
    // Rows are committed within 50 ms (the started event may take the first
    // commit); those of the last 50 ms may be lost.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    host.signal(SIGKILL);
    const HostRun killed = host.finish();
    EXPECT_EQ(killed.exit_code, -1);

    EXPECT_EQ(queryValue(db, "PRAGMA integrity_check"), "ok");
    const std::vector<HistoryRow> rows = readRows(db);
    const auto rounds = killed.events("round");
    ASSERT_GE(rows.size(), 1u);
    // Queued rows may be lost; a row either holds its whole record or is absent.
    ASSERT_LE(rows.size(), rounds.size() + 1);
    for (std::size_t i = 0; i < rows.size() && i < rounds.size(); ++i)
        expectRowHolds(rows[i], rounds[i]);

    const HostRun next = runHost(fastRun({"--rounds", "2", "--history", db}));
    ASSERT_EQ(next.exit_code, 0) << next.err;
    EXPECT_EQ(readRows(db).size(), rows.size() + 2);
    EXPECT_EQ(historytest::query(db, "SELECT ended_ms IS NULL FROM runs ORDER BY id"),
              (std::vector<std::vector<std::string>>{{"1"}, {"0"}}));
}

struct RefusedFile {
    const char* name;
    // Makes the file at the path; the tool must refuse it as `expected`.
    void (*make)(const std::string& path);
    const char* expected;
};

std::ostream& operator<<(std::ostream& out, const RefusedFile& f)
{
    return out << f.name;
}

class RefusedHistoryFiles : public ::testing::TestWithParam<RefusedFile> {};

TEST_P(RefusedHistoryFiles, AreNamedAndLeftUntouched)
{
    TempDir dir;
    const std::string path = dir.file("history");
    GetParam().make(path);
    const std::string before = readFile(path);
    ASSERT_FALSE(before.empty());
    const std::string message =
        "kel36-host: history file " + path + " " + GetParam().expected + "\n";
    for (const std::vector<std::string>& args :
         {fastRun({"--rounds", "1", "--history", path}),
          std::vector<std::string>{"history", path, "--csv"},
          std::vector<std::string>{"report", path, "-o", dir.file("r.html")}}) {
        SCOPED_TRACE(args[0]);
        const HostRun run = runHost(args);
        EXPECT_EQ(run.exit_code, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, message);
        EXPECT_EQ(readFile(path), before);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Each, RefusedHistoryFiles,
    ::testing::Values(
        RefusedFile{"JsonLinesOfAnOlderTool",
                    [](const std::string& p) {
                        std::ofstream(p) << R"({"time":"2026-12-08T19:12:51.744+0000",)"
                                            R"("device":"kel36","record":"0100"})"
                                         << "\n";
                    },
                    "is a JSON-lines history of an older kel36-host, not a history database; "
                    "it is left as it is (give --history a new file)"},
        RefusedFile{"TextFile", [](const std::string& p) { std::ofstream(p) << "notes\n"; },
                    "is not a kel36-host history database (not an SQLite file)"},
        RefusedFile{"AnotherSqliteDatabase",
                    [](const std::string& p) {
                        historytest::execute(p, "CREATE TABLE orders (id INTEGER)");
                    },
                    "is an SQLite database, but not a kel36-host history (application_id "
                    "0x00000000)"},
        RefusedFile{"NewerSchemaVersion",
                    [](const std::string& p) {
                        keltool::HistoryWriter(p).close();
                        historytest::execute(p, "PRAGMA user_version = 4");
                    },
                    "has schema version 4; this kel36-host reads version 3 and older"}),
    [](const ::testing::TestParamInfo<RefusedFile>& info) { return std::string(info.param.name); });

// Issue 10's full disk, on the database: under a file-size limit (no root
// needed) the failing write is rolled back whole and reported with the file
// and the reason; the rows wait in memory and are all written once the limit
// is lifted.
TEST(HistoryFullDisk, AFailedWriteIsReportedAndEveryRowIsWrittenWhenSpaceReturns)
{
    TempDir dir;
    const std::string db = dir.file("h.db");
    rlimit unlimited{};
    getrlimit(RLIMIT_FSIZE, &unlimited);
    HostProcess host({"--plugin", pluginPath(), "--json", "--interval", "20", "--history", db}, [] {
        // Room for the tables and a few rows in the write-ahead log.
        rlimit small{};
        getrlimit(RLIMIT_FSIZE, &small);
        small.rlim_cur = 96 * 1024;
        setrlimit(RLIMIT_FSIZE, &small);
    });

    const auto waitFor = [&host](const std::string& text) {
        for (std::size_t lines = 1; lines < 2000; ++lines) {
            if (!host.waitForLines(lines, std::chrono::seconds(20)))
                return false;
            if (host.output().find(text) != std::string::npos)
                return true;
        }
        return false;
    };
    const std::string failing = "cannot write history " + db + ": disk I/O error (File too large)";
    ASSERT_TRUE(waitFor(failing)) << host.output();
    ASSERT_EQ(prlimit(host.pid(), RLIMIT_FSIZE, &unlimited, nullptr), 0);
    ASSERT_TRUE(waitFor("is written again")) << host.output();
    host.signal(SIGINT);
    const HostRun run = host.finish();
    EXPECT_EQ(run.exit_code, 0) << run.err;

    EXPECT_EQ(queryValue(db, "PRAGMA integrity_check"), "ok");
    const auto rounds = run.events("round");
    const std::vector<HistoryRow> rows = readRows(db);
    ASSERT_EQ(rows.size(), rounds.size()) << "no row lost, none twice";
    for (std::size_t i = 0; i < rows.size(); ++i)
        expectRowHolds(rows[i], rounds[i]);
    const auto warnings = run.events("warning");
    ASSERT_EQ(warnings.size(), 2u) << run.out;
    EXPECT_EQ(warnings[0]["detail"].asString().rfind(failing, 0), 0u);
    EXPECT_NE(warnings[1]["detail"].asString().find("0 rows were dropped"), std::string::npos);
    // Polling went on while the history failed.
    const std::size_t failed_at = run.out.find(failing);
    const std::size_t resumed_at = run.out.find("is written again");
    EXPECT_NE(run.out.substr(failed_at, resumed_at - failed_at).find("\"event\":\"round\""),
              std::string::npos);
}

// The polling thread never waits for the database: while another writer holds
// the file, rows queue up; beyond the queue they are dropped and counted, and
// every queued row is written once the file is free.
TEST(HistoryQueue, AFullQueueDropsAndCountsRowsWhileEveryQueuedRowIsWrittenLater)
{
    TempDir dir;
    const std::string db = dir.file("h.db");
    keltool::HistoryWriterOptions options;
    options.queue_capacity = 4;
    options.retry_ms = 20;
    options.busy_timeout_ms = 20;
    keltool::HistoryWriter writer(db, options);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

    keltool::RecordBytes record{};
    int accepted = 0;
    for (int i = 0; i < 12; ++i) {
        record[0] = static_cast<unsigned char>(i);
        accepted += writer.record("gen", 1, keltool::RecordSource::Poll, record.data(), 100,
                                  keltool::WallTime::now());
    }
    EXPECT_GE(accepted, 4);
    EXPECT_LT(accepted, 12);
    EXPECT_EQ(writer.rowsDropped(), static_cast<uint64_t>(12 - accepted));
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    writer.close();

    EXPECT_EQ(queryValue(db, "SELECT count(*) FROM records"), std::to_string(accepted));
    std::string notices;
    for (std::string notice; writer.takeNotice(&notice);)
        notices += notice + "\n";
    EXPECT_NE(notices.find("the queue of 4 rows is full"), std::string::npos) << notices;
    EXPECT_EQ(writer.rowsLost(), static_cast<uint64_t>(12 - accepted));
    EXPECT_NE(
        writer.lossLine().find(std::to_string(12 - accepted) + " dropped while the queue was full"),
        std::string::npos)
        << writer.lossLine();
    EXPECT_EQ(queryValue(db, "SELECT rows_lost FROM runs"), std::to_string(12 - accepted));
}

TEST(HistoryKeep, RowsOlderThanTheKeptDaysArePrunedAtStartUpAndUnsentOnesAreSaid)
{
    TempDir dir;
    const std::string db = dir.file("h.db");
    {
        keltool::HistoryWriter writer(db);
        keltool::RecordBytes record{};
        const keltool::WallTime now = keltool::WallTime::now();
        for (const long long days_ago : {30, 10, 10, 1, 0}) {
            const keltool::WallTime when{now.seconds - days_ago * 86400, 0};
            writer.record("old", 1, keltool::RecordSource::Poll, record.data(), 100, when);
            writer.stall("old", keltool::StallReason::NoReply, 5, when);
        }
    }
    // A broker that acknowledged only the oldest record: the two 10-day-old
    // ones are pruned unsent, and that is said.
    ASSERT_TRUE(historytest::execute(
        db, "INSERT INTO mqtt_outbox (destination, host, record_id) "
            "SELECT 'mqtt://127.0.0.1:1883 kel36', host, (SELECT min(id) FROM records) FROM runs"));
    const HostRun run = runHost(fastRun({"--rounds", "1", "--history", db, "--keep", "5"}));
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.err.find("2 records older than 5 days were pruned before "
                           "mqtt://127.0.0.1:1883 (prefix kel36) acknowledged them"),
              std::string::npos)
        << run.err;
    const int64_t cutoff = keltool::epochMillis(keltool::WallTime::now()) - 5LL * 86400 * 1000;
    EXPECT_EQ(queryValue(db, "SELECT count(*) FROM records WHERE device = 'old'"), "2");
    EXPECT_EQ(queryValue(db, "SELECT count(*) FROM records WHERE device = 'kel36'"), "1");
    EXPECT_EQ(queryValue(db, "SELECT count(*) FROM stalls"), "2");
    EXPECT_EQ(
        queryValue(db, "SELECT count(*) FROM records WHERE time_ms < " + std::to_string(cutoff)),
        "0");
}

}  // namespace
}  // namespace toolstest
