#include "kel36-host/mqtt/history_outbox.h"

#include <cstring>

#include "kel36-host/store/history_schema.h"
#include "kel36-host/tool_error.h"

namespace keltool {
namespace {

constexpr int kFetchRows = 256;
constexpr auto kSaveEvery = std::chrono::seconds(1);
// The writer commits at most 50 ms after a round; nothing new is looked for
// more often than this.
constexpr auto kLookAgainAfter = std::chrono::milliseconds(100);

const char kSelectRecords[] =
    "SELECT id, time_ms, device, data_id, source, record FROM records "
    "WHERE id > ?1 AND run_id IN (SELECT id FROM runs WHERE host = ?2) ORDER BY id LIMIT ?3";
const char kCountWaiting[] =
    "SELECT count(*) FROM records "
    "WHERE id > ?1 AND run_id IN (SELECT id FROM runs WHERE host = ?2)";

}  // namespace

HistoryOutbox::HistoryOutbox(const std::string& path, const std::string& destination,
                             const std::string& host)
    : destination_(destination), host_(host)
{
    openHistory(path, HistoryAccess::Write, db_);
    sqlite3* db = db_.get();
    const auto failed = [&](const char* what) {
        throw ToolError("history " + path + ": cannot " + what + " the MQTT outbox: " +
                        db_.message());
    };
    SqliteStatement start(db,
                          "INSERT OR IGNORE INTO mqtt_outbox (destination, host, record_id) "
                          "VALUES (?1, ?2, (SELECT coalesce(max(id), 0) FROM records))");
    start.bind(1, destination_);
    start.bind(2, host_);
    if (start.step() != SQLITE_DONE)
        failed("start");
    SqliteStatement cursor(db,
                           "SELECT record_id FROM mqtt_outbox WHERE destination = ?1 AND host = ?2");
    cursor.bind(1, destination_);
    cursor.bind(2, host_);
    if (cursor.step() != SQLITE_ROW)
        failed("read");
    cursor_ = read_after_ = cursor.integer(0);
    SqliteStatement seqs(
        db, "SELECT device, seq FROM mqtt_sequences WHERE destination = ?1 AND host = ?2");
    seqs.bind(1, destination_);
    seqs.bind(2, host_);
    while (seqs.step() == SQLITE_ROW)
        acked_seq_[seqs.text(0)] = static_cast<uint64_t>(seqs.integer(1));
    next_seq_ = acked_seq_;
    select_records_ = SqliteStatement(db, kSelectRecords);
    select_names_ = SqliteStatement(db, "SELECT device, signal, code, text FROM alarm_names");
    update_cursor_ = SqliteStatement(
        db, "UPDATE mqtt_outbox SET record_id = ?3 WHERE destination = ?1 AND host = ?2");
    update_seq_ = SqliteStatement(db,
                                  "INSERT OR REPLACE INTO mqtt_sequences "
                                  "(destination, host, device, seq) VALUES (?1, ?2, ?3, ?4)");
    count_waiting_ = SqliteStatement(db, kCountWaiting);
}

bool HistoryOutbox::fetch()
{
    const auto now = std::chrono::steady_clock::now();
    if (now - last_empty_fetch_ < kLookAgainAfter)
        return false;
    names_.clear();
    while (select_names_.step() == SQLITE_ROW)
        names_[select_names_.text(0)].push_back(
            PublishedAlarm{select_names_.text(1), select_names_.text(2), select_names_.text(3), false});
    select_names_.reset();
    select_records_.bind(1, read_after_);
    select_records_.bind(2, host_);
    select_records_.bind(3, int64_t{kFetchRows});
    while (select_records_.step() == SQLITE_ROW) {
        sqlite3_stmt* s = select_records_.get();
        PublishedRecord r;
        const int64_t id = select_records_.integer(0);
        read_after_ = id;
        r.time_ms = select_records_.integer(1);
        r.device = select_records_.text(2);
        r.data_id = static_cast<uint32_t>(select_records_.integer(3));
        r.source = select_records_.text(4) == "cache" ? RecordSource::Cache : RecordSource::Poll;
        if (sqlite3_column_bytes(s, 5) != static_cast<int>(kRecordSize))
            continue;  // the schema's CHECK keeps such rows out
        std::memcpy(r.bytes.data(), sqlite3_column_blob(s, 5), kRecordSize);
        r.alarms = alarmsFromBytes(r.bytes, names_[r.device]);
        r.seq = ++next_seq_[r.device];
        fetched_.emplace_back(id, std::move(r));
    }
    select_records_.reset();
    if (fetched_.empty())
        last_empty_fetch_ = now;
    return !fetched_.empty();
}

bool HistoryOutbox::next(PublishedRecord* record, uint64_t* token)
{
    if (fetched_.empty() && !fetch())
        return false;
    auto& [id, r] = fetched_.front();
    in_flight_.push_back(InFlight{id, r.device, r.seq, false});
    *token = static_cast<uint64_t>(id);
    *record = std::move(r);
    fetched_.pop_front();
    return true;
}

void HistoryOutbox::acknowledged(uint64_t token)
{
    for (InFlight& f : in_flight_)
        if (static_cast<uint64_t>(f.id) == token)
            f.acked = true;
    while (!in_flight_.empty() && in_flight_.front().acked) {
        const InFlight& f = in_flight_.front();
        cursor_ = f.id;
        acked_seq_[f.device] = f.seq;
        seq_dirty_[f.device] = true;
        cursor_dirty_ = true;
        in_flight_.pop_front();
    }
}

void HistoryOutbox::rewind()
{
    in_flight_.clear();
    fetched_.clear();
    read_after_ = cursor_;
    next_seq_ = acked_seq_;
    last_empty_fetch_ = {};
}

bool HistoryOutbox::saveCursor(bool now, std::string* why)
{
    const auto t = std::chrono::steady_clock::now();
    if (!cursor_dirty_ || (!now && t - last_save_ < kSaveEvery))
        return true;
    last_save_ = t;
    bool ok = db_.exec("BEGIN IMMEDIATE") == SQLITE_OK;
    if (ok) {
        update_cursor_.bind(1, destination_);
        update_cursor_.bind(2, host_);
        update_cursor_.bind(3, cursor_);
        ok = update_cursor_.step() == SQLITE_DONE;
        update_cursor_.reset();
    }
    for (auto& [device, dirty] : seq_dirty_) {
        if (!ok || !dirty)
            continue;
        update_seq_.bind(1, destination_);
        update_seq_.bind(2, host_);
        update_seq_.bind(3, device);
        update_seq_.bind(4, static_cast<int64_t>(acked_seq_[device]));
        ok = update_seq_.step() == SQLITE_DONE;
        update_seq_.reset();
    }
    ok = ok && db_.exec("COMMIT") == SQLITE_OK;
    if (!ok) {
        if (why)
            *why = db_.message();
        db_.exec("ROLLBACK");
        return false;
    }
    cursor_dirty_ = false;
    seq_dirty_.clear();
    return true;
}

uint64_t HistoryOutbox::waiting()
{
    count_waiting_.bind(1, cursor_);
    count_waiting_.bind(2, host_);
    const uint64_t n =
        count_waiting_.step() == SQLITE_ROW ? static_cast<uint64_t>(count_waiting_.integer(0)) : 0;
    count_waiting_.reset();
    return n;
}

}  // namespace keltool
