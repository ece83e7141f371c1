#include "kel36-host/store/history_schema.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/input_file.h"
#include "kel36-host/output/outputs.h"
#include "kel36-host/store/sqlite_db.h"
#include "kel36-host/tool_error.h"

namespace keltool {
namespace {

// Times are UTC milliseconds since the epoch; the decoded columns are the
// record's own values (floats widened exactly), so plain SQL needs no
// knowledge of the record layout. The view adds readable times and the five
// alarm bits.
//
// Version 1 as it was first written; never changed, later versions are steps
// from it, so every file, new or old, gets its tables the same way.
const char kSchemaV1[] = R"sql(
CREATE TABLE runs (
  id INTEGER PRIMARY KEY,
  started_ms INTEGER NOT NULL,
  ended_ms INTEGER,
  program TEXT NOT NULL
);
CREATE TABLE records (
  id INTEGER PRIMARY KEY,
  run_id INTEGER REFERENCES runs(id),
  time_ms INTEGER NOT NULL,
  device TEXT NOT NULL,
  data_id INTEGER NOT NULL,
  source TEXT NOT NULL CHECK (source IN ('poll', 'cache')),
  record BLOB NOT NULL CHECK (length(record) = 100),
  uab REAL, ubc REAL, uca REAL, frequency REAL, ua REAL, ub REAL, uc REAL,
  battery_voltage REAL,
  status_a INTEGER NOT NULL,
  status_b INTEGER NOT NULL
);
CREATE INDEX records_by_device_time ON records (device, time_ms);
CREATE TABLE stalls (
  id INTEGER PRIMARY KEY,
  run_id INTEGER REFERENCES runs(id),
  time_ms INTEGER NOT NULL,
  device TEXT NOT NULL,
  reason TEXT NOT NULL CHECK (reason IN ('no_reply', 'refused')),
  register INTEGER
);
CREATE INDEX stalls_by_device_time ON stalls (device, time_ms);
CREATE TABLE alarm_names (
  device TEXT NOT NULL,
  signal TEXT NOT NULL,
  code TEXT NOT NULL,
  text TEXT NOT NULL,
  PRIMARY KEY (device, signal)
);
CREATE VIEW history AS
SELECT id, run_id,
       strftime('%Y-%m-%dT%H:%M:%fZ', time_ms / 1000.0, 'unixepoch') AS time_utc,
       time_ms, device, data_id, source,
       uab, ubc, uca, frequency, ua, ub, uc, battery_voltage,
       status_a, status_b,
       (status_a >> 5) & 1 AS a_5, (status_a >> 6) & 1 AS a_6, (status_a >> 7) & 1 AS a_7,
       (status_b >> 2) & 1 AS b_2, (status_b >> 6) & 1 AS b_6,
       record
FROM records;
)sql";

// The stalls table storing the first `reasons` stall reasons of the tool's
// list (its order is append-only, so a count names a set).
std::string stallsTable(const char* name, std::size_t reasons)
{
    std::string list;
    for (std::size_t i = 0; i < reasons; ++i)
        list += std::string(i ? ", '" : "'") + stallReasonName(static_cast<StallReason>(i)) + "'";
    return std::string("CREATE TABLE ") + name +
           " (\n"
           "  id INTEGER PRIMARY KEY,\n"
           "  run_id INTEGER REFERENCES runs(id),\n"
           "  time_ms INTEGER NOT NULL,\n"
           "  device TEXT NOT NULL,\n"
           "  reason TEXT NOT NULL CHECK (reason IN (" +
           list +
           ")),\n"
           "  register INTEGER\n"
           ");\n";
}

// Version 2: every stall reason the tool has (version 1 refused
// write_blocked), the rows each run lost, and the events table.
std::string toVersion2()
{
    return stallsTable("stalls_v2", 3) + R"sql(
INSERT INTO stalls_v2 (id, run_id, time_ms, device, reason, register)
  SELECT id, run_id, time_ms, device, reason, register FROM stalls;
DROP TABLE stalls;
ALTER TABLE stalls_v2 RENAME TO stalls;
CREATE INDEX stalls_by_device_time ON stalls (device, time_ms);
ALTER TABLE runs ADD COLUMN rows_lost INTEGER NOT NULL DEFAULT 0;
CREATE TABLE events (
  id INTEGER PRIMARY KEY,
  run_id INTEGER REFERENCES runs(id),
  time_ms INTEGER NOT NULL,
  device TEXT NOT NULL,
  name TEXT NOT NULL,
  detail TEXT NOT NULL
);
CREATE INDEX events_by_device_time ON events (device, time_ms);
)sql";
}

// Version 3: the host that wrote each run, and the MQTT outbox: per
// destination (broker and prefix) and writing host, the last record the
// broker acknowledged in order and each device's last seq.
std::string toVersion3()
{
    return R"sql(
ALTER TABLE runs ADD COLUMN host TEXT;
CREATE TABLE mqtt_outbox (
  destination TEXT NOT NULL,
  host TEXT NOT NULL,
  record_id INTEGER NOT NULL,
  PRIMARY KEY (destination, host)
);
CREATE TABLE mqtt_sequences (
  destination TEXT NOT NULL,
  host TEXT NOT NULL,
  device TEXT NOT NULL,
  seq INTEGER NOT NULL,
  PRIMARY KEY (destination, host, device)
);
)sql";
}

// A new stall reason is a schema change: a step that rebuilds stalls with
// stallsTable(name, kStallReasonCount), and the version one up.
static_assert(kStallReasonCount == 3, "the last schema step stores every stall reason");

struct SchemaStep {
    int64_t version;  // the version the step leads to
    std::string (*sql)();
};

const SchemaStep kSchemaSteps[] = {
    {1, [] { return std::string(kSchemaV1); }},
    {2, toVersion2},
    {3, toVersion3},
};

static_assert(sizeof kSchemaSteps / sizeof kSchemaSteps[0] == kHistorySchemaVersion,
              "one step per version");

// Brings the schema from version `from` (0: an empty database) to `to`,
// inside the caller's transaction; SQLITE_OK or the error.
int migrate(SqliteDb& db, int64_t from, int64_t to)
{
    std::string sql;
    for (const SchemaStep& step : kSchemaSteps)
        if (step.version > from && step.version <= to)
            sql += step.sql();
    if (from == 0)
        sql += "PRAGMA application_id = " + std::to_string(kHistoryApplicationId) + ";";
    sql += "PRAGMA user_version = " + std::to_string(to) + ";";
    return db.exec(sql.c_str());
}

// SQLite's word for a file whose pages do not hold together.
bool isDamage(SqliteDb& db)
{
    const int code = sqlite3_errcode(db.get()) & 0xFF;
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

const char kSqliteMagic[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f',
                               'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};

// Why the file cannot be a history, judged by its first bytes: "" for an
// SQLite file, an empty one or none (`absent`, `empty`). `unreadable` tells a
// file that cannot be read from one that is something else.
std::string fileProblem(const std::string& path, bool* absent, bool* empty, bool* unreadable,
                        unsigned char (&header)[100])
{
    *absent = false;
    *empty = false;
    *unreadable = true;
    std::string error;
    if (!kelcli::isRegularOrAbsent(path, &error))
        return error;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT) {
            *absent = true;
            return "";
        }
        return std::strerror(errno);
    }
    char head[100] = {};
    const ssize_t n = ::read(fd, head, sizeof head);
    ::close(fd);
    std::memcpy(header, head, sizeof head);
    if (n < 0)
        return std::strerror(errno);
    *unreadable = false;
    if (n == 0) {
        *empty = true;
        return "";
    }
    if (n == static_cast<ssize_t>(sizeof head) && std::memcmp(head, kSqliteMagic, 16) == 0)
        return "";
    std::size_t first = 0;
    while (first < static_cast<std::size_t>(n) && std::strchr(" \t\r\n", head[first]))
        ++first;
    if (first < static_cast<std::size_t>(n) && head[first] == '{') {
        // The older tool wrote one object a line, each starting with its time;
        // a configuration file is one document listing devices.
        const std::string text(head + first, static_cast<std::size_t>(n) - first);
        std::size_t key = 1;
        while (key < text.size() && (text[key] == ' ' || text[key] == '\t'))
            ++key;
        if (text.compare(key, 6, "\"time\"") == 0)
            return "is a JSON-lines history of an older kel36-host, not a history database; it "
                   "is left as it is (give --history a new file)";
        if (text.find("\"devices\"") != std::string::npos)
            return "is a kel36-host configuration file (JSON), not a history database";
        return "is a JSON file, not a history database";
    }
    return "is not a kel36-host history database (not an SQLite file)";
}

uint32_t bigEndian(const unsigned char* at)
{
    return (uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) | (uint32_t{at[2]} << 8) | at[3];
}

// Why a database of this identity is no history this program uses, or "".
std::string identityProblem(int64_t application_id, int64_t version, bool fresh)
{
    if (fresh)
        return "";
    if (application_id != kHistoryApplicationId) {
        char id[16];
        std::snprintf(id, sizeof id, "0x%08llx",
                      static_cast<unsigned long long>(application_id & 0xFFFFFFFF));
        return std::string("is an SQLite database, but not a kel36-host history (application_id ") +
               id + ")";
    }
    if (version > kHistorySchemaVersion)
        return "has schema version " + std::to_string(version) +
               "; this kel36-host reads version " + std::to_string(kHistorySchemaVersion) +
               " and older";
    if (version < 1)
        return "has an unknown schema version " + std::to_string(version);
    return "";
}

// A write-ahead log with content may hold a newer first page than the file.
bool walHasContent(const std::string& path)
{
    struct stat st {};
    return ::stat((path + "-wal").c_str(), &st) == 0 && st.st_size > 0;
}

// `path` as the path of a file: URI, every byte but the unreserved ones and
// '/' escaped.
std::string uriPath(const std::string& path)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : path) {
        const auto b = static_cast<unsigned char>(c);
        if (std::isalnum(b) || std::strchr("/-._~", c)) {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(digits[b >> 4]);
            out.push_back(digits[b & 0x0F]);
        }
    }
    return out;
}

[[noreturn]] void cannotOpen(const std::string& path, const std::string& why)
{
    throw ToolError("cannot open history file " + path + ": " + why);
}

// `what` says what the file is instead: "is an SQLite database, but ...".
[[noreturn]] void refuse(const std::string& path, const std::string& what)
{
    throw ToolError("history file " + path + " " + what);
}

}  // namespace

void openHistory(const std::string& path, HistoryAccess access, SqliteDb& db)
{
    bool absent = false;
    bool empty = false;
    bool unreadable = false;
    unsigned char header[100] = {};
    const std::string problem = fileProblem(path, &absent, &empty, &unreadable, header);
    if (!problem.empty()) {
        if (unreadable)
            cannotOpen(path, problem);
        refuse(path, problem);
    }
    // Judged from the file's header while no log holds a newer one, so a
    // database that is refused is not even opened.
    if (!absent && !empty && !walHasContent(path)) {
        const uint32_t pages = bigEndian(header + 28);
        const int64_t version = static_cast<int32_t>(bigEndian(header + 60));
        const int64_t application_id = bigEndian(header + 68);
        const std::string identity = identityProblem(
            application_id, version, application_id == 0 && version == 0 && pages <= 1);
        if (!identity.empty())
            refuse(path, identity);
    }
    const bool writing = access == HistoryAccess::Write;
    if (!writing && absent)
        cannotOpen(path, "No such file or directory");
    if (!writing && empty)
        refuse(path, "is an empty file, not a history database");

    if (writing && absent) {
        // Created here, so a missing directory or a denied write reads as the
        // system says it; SQLite takes the empty file as a new database.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST)
            cannotOpen(path, std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
    }
    // A reader opens a writable file for writing too, but only queries: so
    // it can remove the empty -wal and -shm files it makes when it closes.
    const int flags = writing ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
                      : ::access(path.c_str(), W_OK) == 0 ? SQLITE_OPEN_READWRITE
                                                          : SQLITE_OPEN_READONLY;
    errno = 0;
    if (db.open(path, flags) != SQLITE_OK)
        cannotOpen(path, db.message(errno));
    // Another writer (a second kel36-host, a sqlite3 shell) holds the lock
    // only for a moment.
    sqlite3_busy_timeout(db.get(), 5000);

    // One snapshot: a writer committing the tables in between would make a
    // new file look like another database.
    db.exec("BEGIN");
    int64_t application_id = db.queryInteger("PRAGMA application_id", -1);
    int64_t version = db.queryInteger("PRAGMA user_version", -1);
    int64_t objects = db.queryInteger("SELECT count(*) FROM sqlite_master", -1);
    // (Left open when the file failed: it is refused or opened again, and
    // its error stays to be told.)
    if (objects >= 0 && !sqlite3_get_autocommit(db.get()))
        db.exec("COMMIT");
    const int open_error = sqlite3_errcode(db.get()) & 0xFF;
    const bool read_only_medium = open_error == SQLITE_CANTOPEN || open_error == SQLITE_READONLY;
    if (!writing && objects < 0 && read_only_medium && !walHasContent(path)) {
        // A read-only medium: a WAL database wants its -shm file beside it.
        // With no log to read, the file alone is the whole history, read as
        // one that nobody changes.
        db.close();
        if (db.open("file:" + uriPath(path) + "?immutable=1",
                    SQLITE_OPEN_READONLY | SQLITE_OPEN_URI) != SQLITE_OK)
            cannotOpen(path, db.message(errno));
        application_id = db.queryInteger("PRAGMA application_id", -1);
        version = db.queryInteger("PRAGMA user_version", -1);
        objects = db.queryInteger("SELECT count(*) FROM sqlite_master", -1);
    }
    if (objects < 0) {
        if (isDamage(db))
            refuse(path, "is damaged (" + db.message() + "); it is left as it is");
        refuse(path, "is not a kel36-host history database (" + db.message() + ")");
    }
    const bool fresh = application_id == 0 && version == 0 && objects == 0;
    const std::string identity = identityProblem(application_id, version, fresh);
    if (!identity.empty())
        refuse(path, identity);
    if (!writing) {
        if (fresh)
            refuse(path, "is an empty SQLite database, not a history");
        db.exec("PRAGMA query_only = 1");
        return;
    }
    // Turning a new file to WAL takes it whole for a moment; a second
    // kel36-host starting on it at the same time is told "locked" at once,
    // without SQLite's busy wait, so it waits here.
    for (int waited_ms = 0;; waited_ms += 10) {
        const int rc = db.exec("PRAGMA journal_mode = WAL");
        if (rc == SQLITE_OK)
            break;
        if ((rc & 0xFF) != SQLITE_BUSY || waited_ms >= 5000)
            cannotOpen(path, db.message(errno));
        ::usleep(10000);
    }
    if (db.exec("PRAGMA synchronous = NORMAL") != SQLITE_OK)
        cannotOpen(path, db.message(errno));
    // Checked again, and the tables made or brought forward, in the
    // transaction that holds the write lock: a second kel36-host starting on
    // the same new file finds them made, and an older file is migrated whole
    // or not at all.
    if (db.exec("BEGIN IMMEDIATE") != SQLITE_OK)
        cannotOpen(path, db.message(errno));
    const int64_t locked_id = db.queryInteger("PRAGMA application_id", -1);
    const int64_t locked_version = db.queryInteger("PRAGMA user_version", -1);
    const int64_t locked_objects = db.queryInteger("SELECT count(*) FROM sqlite_master", -1);
    const bool still_fresh = locked_id == 0 && locked_version == 0 && locked_objects == 0;
    const std::string locked_identity = identityProblem(locked_id, locked_version, still_fresh);
    if (!locked_identity.empty()) {
        db.exec("ROLLBACK");
        refuse(path, locked_identity);
    }
    const int64_t from = still_fresh ? 0 : locked_version;
    if (from < kHistorySchemaVersion && migrate(db, from, kHistorySchemaVersion) != SQLITE_OK) {
        const std::string why = db.message(errno);
        db.exec("ROLLBACK");
        cannotOpen(path, from == 0 ? "cannot create the history tables: " + why
                                   : "cannot bring the history from schema version " +
                                         std::to_string(from) + " to " +
                                         std::to_string(kHistorySchemaVersion) + ": " + why);
    }
    if (db.exec("COMMIT") != SQLITE_OK) {
        const std::string why = db.message(errno);
        db.exec("ROLLBACK");
        cannotOpen(path, why);
    }
}

}  // namespace keltool

namespace keltool {

void createHistorySchema(SqliteDb& db, int64_t version)
{
    if (db.exec("BEGIN IMMEDIATE") != SQLITE_OK || migrate(db, 0, version) != SQLITE_OK ||
        db.exec("COMMIT") != SQLITE_OK) {
        const std::string why = db.message();
        db.exec("ROLLBACK");
        throw ToolError("cannot create history tables of version " + std::to_string(version) +
                        ": " + why);
    }
}

}  // namespace keltool
