// --history under rows that cannot be stored, damaged and older files, and
// several writers: every stall reason is storable, a row the database
// refuses never holds up the rows after it, a run that lost rows says so in
// its exit status, and older schemas are read as they are and migrated by
// a writer only.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "support/history_rows.h"
#include "kel36-host/exit_status.h"
#include "kel36-host/output/outputs.h"
#include "kel36-host/store/history_schema.h"
#include "kel36-host/store/history_writer.h"
#include "kel36-host/store/sqlite_db.h"
#include "host_process.h"

namespace toolstest {
namespace {

using historytest::queryValue;

std::vector<std::string> quickRun(std::vector<std::string> extra)
{
    std::vector<std::string> args = {"--plugin", pluginPath(), "--interval", "0", "--timeout",
                                     "300", "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

// A file of schema version 1, as the first kel36-host with a database wrote it.
void makeVersion1(const std::string& path)
{
    {
        keltool::SqliteDb db;
        ASSERT_EQ(db.open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE), SQLITE_OK);
        keltool::createHistorySchema(db, 1);
    }
    ASSERT_TRUE(historytest::execute(
        path,
        "INSERT INTO runs (started_ms, ended_ms, program) VALUES (1796806761000, 1796806769000, "
        "'old'); INSERT INTO records (run_id, time_ms, device, data_id, source, record, "
        "status_a, status_b) VALUES (1, 1796806761000, 'old', 7, 'poll', zeroblob(100), 0, 0); "
        "INSERT INTO stalls (run_id, time_ms, device, reason, register) VALUES (1, "
        "1796806762000, 'old', 'no_reply', 5)"));
}

TEST(HistoryStallReasons, EveryReasonTheToolHasIsStoredInANewAndAMigratedFile)
{
    TempDir dir;
    makeVersion1(dir.file("old.db"));
    for (const std::string& db : {dir.file("new.db"), dir.file("old.db")}) {
        SCOPED_TRACE(db);
        keltool::HistoryWriter writer(db);
        for (std::size_t i = 0; i < keltool::kStallReasonCount; ++i)
            writer.stall("gen", static_cast<keltool::StallReason>(i), 9, keltool::WallTime::now());
        writer.close();
        EXPECT_EQ(writer.rowsLost(), 0u) << writer.lossLine();
        for (std::size_t i = 0; i < keltool::kStallReasonCount; ++i) {
            const char* name = keltool::stallReasonName(static_cast<keltool::StallReason>(i));
            EXPECT_EQ(queryValue(db, std::string("SELECT count(*) FROM stalls WHERE device = "
                                                 "'gen' AND reason = '") +
                                         name + "'"),
                      "1")
                << name;
        }
        EXPECT_EQ(queryValue(db, "PRAGMA user_version"),
                  std::to_string(keltool::kHistorySchemaVersion));
    }
    // The older file's rows came along.
    EXPECT_EQ(queryValue(dir.file("old.db"), "SELECT count(*) FROM stalls WHERE device = 'old'"),
              "1");
}

// A refused row (here by a trigger, as a CHECK refused write_blocked) is
// dropped alone: the rows queued after it, in its batch and later, are
// stored; the loss is counted in the run's row and the row named.
TEST(HistoryRefusedRow, IsDroppedAloneCountedAndNamedWhileTheRowsAfterItAreStored)
{
    TempDir dir;
    const std::string db = dir.file("h.db");
    keltool::HistoryWriter writer(db);
    ASSERT_TRUE(historytest::execute(
        db, "CREATE TRIGGER refuse BEFORE INSERT ON stalls WHEN NEW.register = 7 "
            "BEGIN SELECT RAISE(ABORT, 'refused for the test'); END"));
    keltool::RecordBytes record{};
    const keltool::WallTime now = keltool::WallTime::now();
    writer.record("gen", 1, keltool::RecordSource::Poll, record.data(), 100, now);
    writer.stall("gen", keltool::StallReason::NoReply, 7, now);
    writer.record("gen", 1, keltool::RecordSource::Poll, record.data(), 100, now);
    writer.stall("gen", keltool::StallReason::NoReply, 8, now);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    writer.record("gen", 1, keltool::RecordSource::Poll, record.data(), 100, now);
    writer.close();

    EXPECT_EQ(queryValue(db, "SELECT count(*) FROM records"), "3");
    EXPECT_EQ(queryValue(db, "SELECT group_concat(register) FROM stalls"), "8");
    EXPECT_EQ(writer.rowsLost(), 1u);
    EXPECT_EQ(queryValue(db, "SELECT rows_lost FROM runs"), "1");
    std::string notices;
    for (std::string notice; writer.takeNotice(&notice);)
        notices += notice + "\n";
    EXPECT_NE(notices.find("cannot store a stall (no_reply) of gen at "), std::string::npos)
        << notices;
    EXPECT_NE(notices.find("refused for the test; the row is dropped"), std::string::npos)
        << notices;
    EXPECT_NE(writer.lossLine().find("1 row of this run not stored: 1 refused by the database"),
              std::string::npos)
        << writer.lossLine();
}

// Exit status 5, before 3 and before a clean stop by signal, with one line.
TEST(HistoryExitStatus, ARunThatLostRowsEndsWithItsOwnStatusAndOneLineSayingWhy)
{
    TempDir dir;
    const std::string db = dir.file("h.db");
    keltool::HistoryWriter(db).close();
    ASSERT_TRUE(historytest::execute(
        db, "CREATE TRIGGER refuse_records BEFORE INSERT ON records "
            "BEGIN SELECT RAISE(ABORT, 'refused for the test'); END; "
            "CREATE TRIGGER refuse_stalls BEFORE INSERT ON stalls "
            "BEGIN SELECT RAISE(ABORT, 'stall refused for the test'); END"));
    const std::string why = "refused by the database (first: refused for the test)\n";

    const HostRun counted = runHost(quickRun({"--rounds", "3", "--history", db}));
    EXPECT_EQ(counted.exit_code, keltool::kExitHistoryLost) << counted.err;
    EXPECT_NE(counted.err.find("kel36-host: history " + db +
                               ": 3 rows of this run not stored: 3 " + why),
              std::string::npos)
        << counted.err;
    EXPECT_EQ(queryValue(db, "SELECT count(*) FROM records"), "0");

    // A device that never answered (3) whose stalls were lost: the loss wins.
    const HostRun silent = runHost(quickRun({"--sim-fault", "drop=1", "--timeout", "30",
                                             "--give-up", "1", "--history", db}));
    EXPECT_EQ(silent.exit_code, keltool::kExitHistoryLost) << silent.err;
    EXPECT_NE(silent.err.find("refused by the database (first: stall refused for the test)"),
              std::string::npos)
        << silent.err;

    // Stopped by SIGINT, which alone would be 0.
    HostProcess host(quickRun({"--interval", "50", "--history", db}));
    ASSERT_TRUE(host.waitForLines(4, std::chrono::seconds(20)));
    host.signal(SIGINT);
    const HostRun stopped = host.finish();
    EXPECT_EQ(stopped.exit_code, keltool::kExitHistoryLost) << stopped.err;
    EXPECT_NE(stopped.err.find(why), std::string::npos) << stopped.err;
}

}  // namespace
}  // namespace toolstest
