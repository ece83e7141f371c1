// --history under rows that cannot be stored, damaged and older files, and
// several writers: every stall reason is storable, a row the database
// refuses never holds up the rows after it, a run that lost rows says so in
// its exit status, and older schemas are read as they are and migrated by
// a writer only.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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
    std::vector<std::string> args = {"--plugin",  pluginPath(), "--interval", "0",
                                     "--timeout", "300",        "--json"};
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
        "PRAGMA journal_mode = WAL; "
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
    ASSERT_TRUE(
        historytest::execute(db,
                             "CREATE TRIGGER refuse BEFORE INSERT ON stalls WHEN NEW.register = 7 "
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
    ASSERT_TRUE(
        historytest::execute(db,
                             "CREATE TRIGGER refuse_records BEFORE INSERT ON records "
                             "BEGIN SELECT RAISE(ABORT, 'refused for the test'); END; "
                             "CREATE TRIGGER refuse_stalls BEFORE INSERT ON stalls "
                             "BEGIN SELECT RAISE(ABORT, 'stall refused for the test'); END"));
    const std::string why = "refused by the database (first: refused for the test)\n";

    const HostRun counted = runHost(quickRun({"--rounds", "3", "--history", db}));
    EXPECT_EQ(counted.exit_code, keltool::kExitHistoryLost) << counted.err;
    EXPECT_NE(
        counted.err.find("kel36-host: history " + db + ": 3 rows of this run not stored: 3 " + why),
        std::string::npos)
        << counted.err;
    EXPECT_EQ(queryValue(db, "SELECT count(*) FROM records"), "0");

    // A device that never answered (3) whose stalls were lost: the loss wins.
    const HostRun silent = runHost(
        quickRun({"--sim-fault", "drop=1", "--timeout", "30", "--give-up", "1", "--history", db}));
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

// Overwrites `length` bytes at `offset` of the file.
void scribble(const std::string& path, long offset, std::size_t length)
{
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(offset);
    f << std::string(length, '\xA5');
}

TEST(HistoryDamage, ADamagedFileIsNamedAsDamagedAndLeftAsItIs)
{
    TempDir dir;
    const std::string db = dir.file("h.db");
    ASSERT_EQ(runHost(quickRun({"--rounds", "3", "--history", db})).exit_code, 0);
    const long page = std::stol(queryValue(db, "PRAGMA page_size"));
    const long records_page =
        std::stol(queryValue(db, "SELECT rootpage FROM sqlite_master WHERE name = 'records'"));

    // A flipped page of the records: opened, but no export reads past it.
    scribble(db, (records_page - 1) * page, 16);
    const HostRun exported = runHost({"history", db, "--csv"});
    EXPECT_EQ(exported.exit_code, 2);
    EXPECT_NE(exported.err.find("kel36-host: history file " + db + " is damaged ("),
              std::string::npos)
        << exported.err;

    // The schema page itself: every command refuses the file, naming it damaged.
    scribble(db, 100, 16);
    const std::string before = readFile(db);
    for (const std::vector<std::string>& args :
         {quickRun({"--rounds", "1", "--history", db}),
          std::vector<std::string>{"history", db, "--csv"},
          std::vector<std::string>{"report", db, "-o", dir.file("r.html")}}) {
        SCOPED_TRACE(args[0]);
        const HostRun run = runHost(args);
        EXPECT_EQ(run.exit_code, 2);
        EXPECT_EQ(run.err, "kel36-host: history file " + db +
                               " is damaged (database disk image is malformed); it is left "
                               "as it is\n");
        EXPECT_EQ(readFile(db), before);
    }
}

// Readers take a version-1 file on a read-only medium as it is; a writer
// brings it forward and keeps its rows.
TEST(HistoryMigration, AnOlderFileIsReadAsItIsEvenReadOnlyAndMigratedByAWriter)
{
    TempDir dir;
    TempDir out;
    const std::string db = dir.file("h.db");
    makeVersion1(db);
    const std::string before = readFile(db);
    ASSERT_EQ(::chmod(db.c_str(), 0444), 0);
    ASSERT_EQ(::chmod(dir.file("").c_str(), 0555), 0);
    ASSERT_EQ(::chmod(out.file("").c_str(), 0777), 0);
    // Root writes anywhere: the readers run as nobody, for whom the medium is read-only.
    const auto readOnly = [] {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            _exit(99);
    };
    const HostRun exported = runHost({"history", db, "--csv"}, std::chrono::seconds(30), readOnly);
    EXPECT_EQ(exported.exit_code, 0) << exported.err;
    EXPECT_NE(exported.out.find(",old,7,poll,"), std::string::npos) << exported.out;
    const HostRun reported =
        runHost({"report", db, "-o", out.file("r.html")}, std::chrono::seconds(30), readOnly);
    EXPECT_EQ(reported.exit_code, 0) << reported.err;
    EXPECT_NE(readFile(out.file("r.html")).find("old"), std::string::npos);
    EXPECT_EQ(readFile(db), before);
    ASSERT_EQ(::chmod(dir.file("").c_str(), 0755), 0);
    ASSERT_EQ(::chmod(db.c_str(), 0644), 0);
    EXPECT_EQ(queryValue(db, "PRAGMA user_version"), "1");

    const HostRun run = runHost(quickRun({"--rounds", "1", "--history", db}));
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(queryValue(db, "PRAGMA user_version"),
              std::to_string(keltool::kHistorySchemaVersion));
    EXPECT_EQ(queryValue(db, "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(historytest::query(db, "SELECT device, count(*) FROM records GROUP BY device"),
              (std::vector<std::vector<std::string>>{{"kel36", "1"}, {"old", "1"}}));
    EXPECT_EQ(queryValue(db, "SELECT count(*) FROM stalls WHERE device = 'old'"), "1");
    EXPECT_EQ(queryValue(db, "SELECT group_concat(rows_lost) FROM runs"), "0,0");
}

TEST(HistoryConcurrentStart, WritersStartingTogetherOnOneNewFileAllWork)
{
    TempDir dir;
    for (int round = 0; round < 20; ++round) {
        const std::string db = dir.file("h" + std::to_string(round) + ".db");
        std::atomic<int> ready{0};
        std::atomic<int> failed{0};
        std::vector<std::thread> writers;
        for (int w = 0; w < 3; ++w)
            writers.emplace_back([&] {
                ready.fetch_add(1);
                while (ready.load() < 3) {
                }
                try {
                    keltool::HistoryWriter writer(db);
                    keltool::RecordBytes record{};
                    writer.record("gen", 1, keltool::RecordSource::Poll, record.data(), 100,
                                  keltool::WallTime::now());
                } catch (const std::exception& e) {
                    ADD_FAILURE() << e.what();
                    failed.fetch_add(1);
                }
            });
        for (std::thread& t : writers)
            t.join();
        ASSERT_EQ(failed.load(), 0) << "round " << round;
        EXPECT_EQ(queryValue(db, "SELECT count(*) FROM records"), "3");
        EXPECT_EQ(queryValue(db, "SELECT count(*) FROM runs"), "3");
    }
}

// Far more old rows than one chunk: a run of one round still ends with them gone.
TEST(HistoryKeep, AShortRunFinishesPruningAnyBacklog)
{
    TempDir dir;
    const std::string db = dir.file("h.db");
    keltool::HistoryWriter(db).close();
    const std::string old =
        std::to_string(keltool::epochMillis(keltool::WallTime::now()) - 30LL * 86400 * 1000);
    ASSERT_TRUE(historytest::execute(
        db,
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300000) "
        "INSERT INTO records (run_id, time_ms, device, data_id, source, record, status_a, "
        "status_b) SELECT 1, " +
            old +
            " + i, 'old', 1, 'poll', zeroblob(100), 0, 0 FROM n; "
            "INSERT INTO events (run_id, time_ms, device, name, detail) VALUES (1, " +
            old + ", 'old', 'run_ended', '')"));
    const HostRun run = runHost(quickRun({"--rounds", "1", "--history", db, "--keep", "5"}),
                                std::chrono::seconds(120));
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(queryValue(db, "SELECT count(*) FROM records WHERE device = 'old'"), "0");
    EXPECT_EQ(queryValue(db, "SELECT count(*) FROM events WHERE device = 'old'"), "0");
    EXPECT_EQ(queryValue(db, "SELECT count(*) FROM records WHERE device = 'kel36'"), "1");
}

// The events table holds what --json told, by the same names, and one
// run_ended per device.
TEST(HistoryEvents, AreTheStoredEventsOfTheRunByTheirListedNames)
{
    TempDir dir;
    for (const std::vector<std::string>& faults :
         {std::vector<std::string>{"--sim-fault", "drop=1", "--timeout", "30", "--give-up", "1"},
          std::vector<std::string>{"--sim-fault", "drop=0.02", "--sim-seed", "5", "--timeout", "30",
                                   "--rounds", "6"}}) {
        SCOPED_TRACE(faults[1]);
        const std::string db = dir.file(faults[1] + ".db");
        std::vector<std::string> args = quickRun({"--history", db});
        args.insert(args.end(), faults.begin(), faults.end());
        const HostRun run = runHost(args);
        ASSERT_NE(run.exit_code, keltool::kExitHistoryLost) << run.err;
        std::vector<std::vector<std::string>> told;
        for (const Json::Value& line : run.jsonLines()) {
            keltool::DeviceEvent event{};
            if (keltool::deviceEventFromName(line["event"].asString(), &event) &&
                keltool::eventIsStored(event))
                told.push_back({line["device"].asString(), line["event"].asString(),
                                line["detail"].asString()});
        }
        told.push_back({"kel36", "run_ended", ""});
        auto stored = historytest::query(db, "SELECT device, name, detail FROM events ORDER BY id");
        ASSERT_EQ(stored.size(), told.size());
        EXPECT_NE(stored.back()[2].find(" rounds, "), std::string::npos);
        stored.back()[2] = "";
        EXPECT_EQ(stored, told);
        if (faults[1] == "drop=1") {
            for (const char* name : {"not_answering", "gave_up"})
                EXPECT_NE(std::find_if(told.begin(), told.end(),
                                       [name](const auto& row) { return row[1] == name; }),
                          told.end())
                    << name;
        }
    }
}

TEST(HistoryCommandMessages, AConfigurationFileAndAnUnknownDeviceAreNamedForWhatTheyAre)
{
    TempDir dir;
    const HostRun config = runHost({"history", examplePath("host.json"), "--csv"});
    EXPECT_EQ(config.exit_code, 2);
    EXPECT_EQ(config.err, "kel36-host: history file " + examplePath("host.json") +
                              " is a kel36-host configuration file (JSON), not a history "
                              "database\n");

    const std::string db = dir.file("h.db");
    keltool::HistoryWriter writer(db);
    writer.stall("only-stalled", keltool::StallReason::NoReply, 1, keltool::WallTime::now());
    writer.event("only-events", keltool::DeviceEvent::Started, "", keltool::WallTime::now());
    keltool::RecordBytes record{};
    writer.record("polled", 1, keltool::RecordSource::Poll, record.data(), 100,
                  keltool::WallTime::now());
    writer.close();
    const HostRun unknown = runHost({"history", db, "--csv", "--device", "nonesuch"});
    EXPECT_EQ(unknown.exit_code, 2);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(unknown.err, "kel36-host: history file " + db +
                               " has no device nonesuch; it knows: only-events, only-stalled, "
                               "polled\n");
    // A device known only by its stalls is no error: it has no records to export.
    const HostRun stalled = runHost({"history", db, "--csv", "--device", "only-stalled"});
    EXPECT_EQ(stalled.exit_code, 0) << stalled.err;
}

}  // namespace
}  // namespace toolstest
