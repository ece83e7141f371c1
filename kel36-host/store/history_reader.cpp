#include "kel36-host/store/history_reader.h"

#include <cstring>

#include "kel36-host/output/outputs.h"
#include "kel36-host/store/history_schema.h"
#include "kel36-host/store/sqlite_db.h"
#include "kel36-host/tool_error.h"

namespace keltool {
namespace {

// The devices of `table` (records, stalls, events), found by seeking its
// (device, time_ms) index once per device rather than reading it whole.
std::string devicesOf(const char* table)
{
    const std::string t = table;
    return "WITH RECURSIVE d(name) AS (SELECT min(device) FROM " + t +
           " UNION ALL SELECT (SELECT min(device) FROM " + t +
           " WHERE device > d.name) FROM d WHERE d.name IS NOT NULL) "
           "SELECT name FROM d WHERE name IS NOT NULL";
}

// " AND device = ?1 AND time_ms >= ?2 AND time_ms <= ?3", as the filter asks.
// A time range over every device is looked up in the device index, device
// by device: a day of a year's history is read, not the year.
std::string conditions(const HistoryFilter& filter, const char* table)
{
    std::string sql;
    if (!filter.device.empty())
        sql += " AND device = ?1";
    else if (filter.from_ms || filter.to_ms)
        sql += std::string(" AND device IN (") + devicesOf(table) + ")";
    if (filter.from_ms)
        sql += " AND time_ms >= ?2";
    if (filter.to_ms)
        sql += " AND time_ms <= ?3";
    return sql;
}

void bindFilter(SqliteStatement& s, const HistoryFilter& filter)
{
    if (!filter.device.empty())
        s.bind(1, filter.device);
    if (filter.from_ms)
        s.bind(2, *filter.from_ms);
    if (filter.to_ms)
        s.bind(3, *filter.to_ms);
}

}  // namespace

struct HistoryReader::Impl {
    std::string path;
    SqliteDb db;
    int64_t version = 1;  // the file's schema, read as it is

    SqliteStatement prepare(const std::string& sql, const HistoryFilter* filter)
    {
        SqliteStatement s(db.get(), sql.c_str());
        if (filter)
            bindFilter(s, *filter);
        return s;
    }

    // Whether `table` exists with `column` (histories of older schemas lack
    // later tables).
    // Steps to the next row; false at the end. ToolError on a read error.
    bool next(SqliteStatement& s)
    {
        const int rc = s.step();
        if (rc == SQLITE_ROW)
            return true;
        if (rc != SQLITE_DONE) {
            const int code = sqlite3_errcode(db.get()) & 0xFF;
            if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB)
                throw ToolError("history file " + path + " is damaged (" + db.message() +
                                "); it is left as it is");
            throw ToolError("cannot read history " + path + ": " + db.message());
        }
        return false;
    }
};

HistoryReader::HistoryReader(const std::string& path) : impl_(std::make_unique<Impl>())
{
    impl_->path = path;
    openHistory(path, HistoryAccess::Read, impl_->db);
    impl_->version = impl_->db.queryInteger("PRAGMA user_version", 1);
}

int64_t HistoryReader::schemaVersion() const
{
    return impl_->version;
}

std::vector<std::string> HistoryReader::knownDevices() const
{
    // Version 1 has no events table.
    std::string sql = "SELECT name FROM (" + devicesOf("records") + ") UNION SELECT name FROM (" +
                      devicesOf("stalls") + ") UNION SELECT device FROM alarm_names";
    if (impl_->version >= 2)
        sql += " UNION SELECT name FROM (" + devicesOf("events") + ")";
    SqliteStatement s = impl_->prepare(sql + " ORDER BY 1", nullptr);
    std::vector<std::string> names;
    while (impl_->next(s))
        names.push_back(s.text(0));
    return names;
}

HistoryReader::~HistoryReader() = default;

const std::string& HistoryReader::path() const
{
    return impl_->path;
}

std::vector<std::string> HistoryReader::devices(const HistoryFilter& filter) const
{
    SqliteStatement s = impl_->prepare("SELECT DISTINCT device FROM records WHERE 1" +
                                           conditions(filter, "records") + " ORDER BY device",
                                       &filter);
    std::vector<std::string> names;
    while (impl_->next(s))
        names.push_back(s.text(0));
    return names;
}

std::vector<std::string> HistoryReader::knownDevices(const HistoryFilter& filter) const
{
    HistoryFilter range = filter;
    range.device.clear();
    std::string sql = "SELECT device FROM records WHERE 1" + conditions(range, "records") +
                      " UNION SELECT device FROM stalls WHERE 1" + conditions(range, "stalls");
    if (impl_->version >= 2)
        sql += " UNION SELECT device FROM events WHERE 1" + conditions(range, "events");
    SqliteStatement s = impl_->prepare(sql + " ORDER BY 1", &range);
    std::vector<std::string> names;
    while (impl_->next(s))
        if (!s.isNull(0))
            names.push_back(s.text(0));
    return names;
}

void HistoryReader::beginSnapshot() const
{
    // A deferred transaction takes its snapshot at the first read: read now.
    if (impl_->db.exec("BEGIN") != SQLITE_OK ||
        impl_->db.queryInteger("SELECT count(*) FROM sqlite_master", -1) < 0)
        throw ToolError("cannot read history " + impl_->path + ": " + impl_->db.message());
}

void HistoryReader::endSnapshot() const
{
    impl_->db.exec("COMMIT");
}

std::vector<StoredEvent> HistoryReader::events(const HistoryFilter& filter) const
{
    std::vector<StoredEvent> out;
    if (impl_->version < 2)  // version 1 has no events table
        return out;
    SqliteStatement s = impl_->prepare("SELECT time_ms, device, name FROM events WHERE 1" +
                                           conditions(filter, "events") +
                                           " ORDER BY time_ms, rowid",
                                       &filter);
    while (impl_->next(s))
        out.push_back(StoredEvent{s.integer(0), s.text(1), s.text(2)});
    return out;
}

RecordSpan HistoryReader::span(const HistoryFilter& filter) const
{
    const std::string where = conditions(filter, "records");
    RecordSpan span;
    const std::string shown = "source = 'poll' AND time_ms BETWEEN " +
                              std::to_string(kEarliestShownMs) + " AND " +
                              std::to_string(kLatestShownMs);
    SqliteStatement counts = impl_->prepare(
        "SELECT sum(" + shown + "), sum(source = 'cache'), min(CASE WHEN " + shown +
            " THEN time_ms END), max(CASE WHEN " + shown +
            " THEN time_ms END) FROM records "
            "WHERE 1" +
            where,
        &filter);
    if (impl_->next(counts)) {
        span.polled = static_cast<uint64_t>(counts.integer(0));
        span.restored = static_cast<uint64_t>(counts.integer(1));
        span.first_ms = counts.integer(2);
        span.last_ms = counts.integer(3);
    }
    SqliteStatement ids = impl_->prepare(
        "SELECT DISTINCT data_id FROM records WHERE 1" + where + " ORDER BY data_id", &filter);
    while (impl_->next(ids))
        span.data_ids.push_back(static_cast<uint32_t>(ids.integer(0)));
    return span;
}

void HistoryReader::forEachRecord(const HistoryFilter& filter,
                                  const std::function<bool(const StoredRecord&)>& each) const
{
    SqliteStatement s = impl_->prepare(
        "SELECT id, run_id, time_ms, device, data_id, source, record FROM records WHERE 1" +
            conditions(filter, "records") + " ORDER BY time_ms, id",
        &filter);
    StoredRecord r;
    while (impl_->next(s)) {
        r.id = s.integer(0);
        r.run_id = s.integer(1);
        r.time_ms = s.integer(2);
        r.device = s.text(3);
        r.data_id = static_cast<uint32_t>(s.integer(4));
        const std::string source = s.text(5);
        r.source = source == "cache" ? RecordSource::Cache : RecordSource::Poll;
        r.source_known = source == "cache" || source == "poll";
        r.bytes.fill(0);
        const void* blob = sqlite3_column_blob(s.get(), 6);
        const int length = sqlite3_column_bytes(s.get(), 6);
        if (blob && length == static_cast<int>(kRecordSize))
            std::memcpy(r.bytes.data(), blob, kRecordSize);
        if (!each(r))
            return;
    }
}

std::vector<StoredStall> HistoryReader::stalls(const HistoryFilter& filter) const
{
    SqliteStatement s = impl_->prepare(
        "SELECT time_ms, device, reason, register FROM stalls "
        "WHERE 1" +
            conditions(filter, "stalls") + " ORDER BY time_ms, id",
        &filter);
    std::vector<StoredStall> out;
    while (impl_->next(s)) {
        StoredStall st;
        st.time_ms = s.integer(0);
        st.device = s.text(1);
        if (!stallReasonFromName(s.text(2), &st.reason))
            st.reason = StallReason::NoReply;
        st.awaited_register = s.isNull(3) ? -1 : static_cast<int>(s.integer(3));
        out.push_back(std::move(st));
    }
    return out;
}

std::vector<StoredAlarmName> HistoryReader::alarmNames(const std::string& device) const
{
    SqliteStatement s = impl_->prepare(
        "SELECT signal, code, text FROM alarm_names WHERE device = ?1 ORDER BY signal", nullptr);
    s.bind(1, device);
    std::vector<StoredAlarmName> out;
    while (impl_->next(s))
        out.push_back(StoredAlarmName{s.text(0), s.text(1), s.text(2)});
    return out;
}

std::vector<StoredRun> HistoryReader::runs(const HistoryFilter& filter) const
{
    SqliteStatement s = impl_->prepare(
        "SELECT id, started_ms, ended_ms, program FROM runs WHERE id IN ("
        "SELECT run_id FROM records WHERE 1" +
            conditions(filter, "records") + " UNION SELECT run_id FROM stalls WHERE 1" +
            conditions(filter, "stalls") + ") ORDER BY id",
        &filter);
    std::vector<StoredRun> out;
    while (impl_->next(s)) {
        StoredRun run;
        run.id = s.integer(0);
        run.started_ms = s.integer(1);
        if (!s.isNull(2))
            run.ended_ms = s.integer(2);
        run.program = s.text(3);
        out.push_back(std::move(run));
    }
    return out;
}

}  // namespace keltool
