#include "kel36-host/store/history_writer.h"

#include <atomic>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "kel36-host/output/json_line.h"
#include "kel36-host/output/outputs.h"
#include "kel36-host/output/record_decoder.h"
#include "kel36-host/store/history_schema.h"
#include "kel36-host/store/iso_time.h"
#include "kel36-host/store/sqlite_db.h"
#include "kel36-host/tool_error.h"

namespace keltool {
namespace {

using Clock = std::chrono::steady_clock;

// Rows per transaction at most; more wait for the next one.
constexpr std::size_t kMaxBatch = 1024;
// Transactions start at most this often: a row is committed within this time
// after it is stored (or at once, when the last commit is longer ago), and
// rows that come faster share a transaction instead of a commit each.
constexpr auto kCommitGap = std::chrono::milliseconds(50);
// The writer thread's nice value, relative to polling's 0.
constexpr int kWriterNice = 5;
// Old rows are deleted this many at a time, between batches, so that pruning a
// long history never holds up the rows being queued.
constexpr int kPruneChunk = 2000;
constexpr auto kPruneEvery = std::chrono::hours(1);
// Events waiting for the writer at most; they are rare (a line lost, a
// give-up), so more means the writer is stuck, and they are counted as lost.
constexpr std::size_t kMaxQueuedEvents = 1024;
constexpr std::size_t kMaxEventDetail = 1000;
// Rows the database refuses are named in a warning, the first ones only.
constexpr uint64_t kRefusalsNamed = 10;

struct QueuedRow {
    enum class Kind : uint8_t { Record, Stall };
    Kind kind = Kind::Record;
    RecordSource source = RecordSource::Poll;
    StallReason reason = StallReason::NoReply;
    int16_t awaited_register = -1;
    uint32_t device = 0;  // index into the writer's names
    uint32_t data_id = 0;
    int64_t time_ms = 0;
    bool refused = false;  // the database refused it; skipped when the batch is tried again
    unsigned char record[kRecordSize];
};

struct EventRow {
    uint32_t device;
    DeviceEvent event;
    int64_t time_ms;
    std::string detail;
    bool refused = false;
};

// A failed insert that is the row's own fault (a CHECK, a trigger, a value
// SQLite cannot take): writing it again fails again, so it is dropped, while
// a full disk or a lock is the file's and the batch waits for it.
bool rowAtFault(int rc)
{
    const int code = rc & 0xFF;
    return code == SQLITE_CONSTRAINT || code == SQLITE_MISMATCH || code == SQLITE_TOOBIG ||
           code == SQLITE_RANGE;
}

struct AlarmNameRow {
    uint32_t device;
    std::string signal, code, text;
};

const char kInsertRecord[] =
    "INSERT INTO records (run_id, time_ms, device, data_id, source, record, uab, ubc, uca, "
    "frequency, ua, ub, uc, battery_voltage, status_a, status_b) "
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
const char kInsertStall[] =
    "INSERT INTO stalls (run_id, time_ms, device, reason, register) VALUES (?, ?, ?, ?, ?)";
const char kInsertEvent[] =
    "INSERT INTO events (run_id, time_ms, device, name, detail) VALUES (?, ?, ?, ?, ?)";
const char kInsertAlarmName[] =
    "INSERT OR REPLACE INTO alarm_names (device, signal, code, text) VALUES (?, ?, ?, ?)";

// Where the decoded columns come from in the record, in the order of kInsertRecord.
struct ColumnOffsets {
    std::size_t values[8];
    std::size_t status_a, status_b;
};
const ColumnOffsets& columnOffsets()
{
    static const ColumnOffsets offsets = [] {
        ColumnOffsets o{};
        const char* names[] = {"uab", "ubc", "uca", "frequency",
                               "ua",  "ub",  "uc",  "battery_voltage"};
        for (std::size_t i = 0; i < 8; ++i)
            o.values[i] = findField(names[i])->offset;
        o.status_a = findField("status_a")->offset;
        o.status_b = findField("status_b")->offset;
        return o;
    }();
    return offsets;
}

// The decimal a float stands for (50.1, not 50.0999984741211): what people
// query and read; converted to single precision it gives the record's float.
double decimalOf(float value)
{
    char text[40];
    formatShortestFloat(value, text, sizeof text);
    return std::strtod(text, nullptr);
}

}  // namespace

int64_t epochMillis(const WallTime& t)
{
    return static_cast<int64_t>(t.seconds) * 1000 + t.nanoseconds / 1000000;
}

struct HistoryWriter::Impl {
    std::string path;
    HistoryWriterOptions options;
    SqliteDb db;
    int64_t run_id = 0;

    // Polling thread only.
    std::vector<std::string> names;
    bool dropping = false;

    std::mutex mutex;
    std::condition_variable wake;
    std::vector<QueuedRow> ring;
    std::size_t head = 0;  // oldest queued row
    std::size_t count = 0;
    std::vector<std::string> new_names;  // registered, not yet seen by the writer
    std::vector<AlarmNameRow> new_alarm_names;
    std::vector<EventRow> new_events;
    bool stopping = false;
    bool writer_idle = false;  // the writer waits for rows
    std::deque<std::string> notices;
    std::atomic<bool> has_notice{false};
    std::atomic<uint64_t> written{0};
    std::atomic<uint64_t> dropped{0};    // the queue was full
    std::atomic<uint64_t> refused{0};    // the database refused the row
    std::atomic<uint64_t> unwritten{0};  // still queued when the run ended
    std::string loss;                    // set by the writer thread before it ends

    // Writer thread only.
    std::vector<std::string> writer_names;
    std::vector<QueuedRow> batch;
    std::vector<AlarmNameRow> alarm_batch;
    std::vector<EventRow> event_batch;
    std::string first_refusal;  // why the first refused row was refused
    std::string last_failure;   // why the file could not be written, last time
    bool failing = false;
    uint64_t dropped_when_failing = 0;
    Clock::time_point failed_since{};
    Clock::time_point next_prune{};
    bool prune_more = false;
    // Records a pass pruned before a broker acknowledged them, by destination.
    std::map<std::string, uint64_t> pruned_unsent;
    SqliteStatement insert_record, insert_stall, insert_event, insert_alarm_name;

    std::thread thread;

    void notice(std::string text)
    {
        std::lock_guard<std::mutex> lock(mutex);
        notices.push_back(std::move(text));
        has_notice.store(true);
    }

    uint32_t deviceIndex(const std::string& name)
    {
        for (std::size_t i = names.size(); i-- > 0;)
            if (names[i] == name)
                return static_cast<uint32_t>(i);
        names.push_back(name);
        std::lock_guard<std::mutex> lock(mutex);
        new_names.push_back(name);
        return static_cast<uint32_t>(names.size() - 1);
    }

    // Polling thread: queues a row that `fill` completes, unless the queue is full.
    template <typename Fill>
    bool push(const std::string& device, const WallTime& when, const Fill& fill)
    {
        const uint32_t index = deviceIndex(device);
        bool ok = false;
        bool wake_writer = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (count < ring.size()) {
                QueuedRow& row = ring[(head + count) % ring.size()];
                row.device = index;
                row.time_ms = epochMillis(when);
                fill(row);
                ++count;
                ok = true;
                // Only a writer waiting for work is woken; one that is busy
                // or pacing its commits takes the row on its next turn.
                wake_writer = writer_idle;
                writer_idle = false;
            }
        }
        if (ok) {
            if (wake_writer)
                wake.notify_one();
            dropping = false;
            return true;
        }
        dropped.fetch_add(1);
        if (!dropping) {
            dropping = true;
            notice("history " + path + ": the queue of " + std::to_string(ring.size()) +
                   " rows is full, rows are dropped until the database catches up");
        }
        return false;
    }

    // Writer thread: a row the database refused is dropped, counted and
    // (the first ones) named.
    void refuse(const std::string& what, int64_t time_ms, const std::string& why)
    {
        const uint64_t n = refused.fetch_add(1) + 1;
        if (n == 1)
            first_refusal = why;
        if (n <= kRefusalsNamed)
            notice("history " + path + ": cannot store " + what + " at " + isoMillis(time_ms) +
                   ": " + why + "; the row is dropped" +
                   (n == kRefusalsNamed ? " (further refused rows are counted, not named)" : ""));
    }
    std::string lossLine() const;

    void run();
    bool writeBatch();
    bool pruneChunk();
    void countPrunedUnsent(int64_t cutoff);
    void tellPrunedUnsent();
    void endRun();
};

std::string historyHostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return "unknown";
    return name;
}

HistoryWriter::HistoryWriter(const std::string& path, const HistoryWriterOptions& options)
    : impl_(std::make_unique<Impl>())
{
    Impl& d = *impl_;
    d.path = path;
    d.options = options;
    openHistory(path, HistoryAccess::Write, d.db);
    sqlite3_busy_timeout(d.db.get(), options.busy_timeout_ms);
    SqliteStatement start(d.db.get(),
                          "INSERT INTO runs (started_ms, program, host) VALUES (?, ?, ?)");
    start.bind(1, epochMillis(WallTime::now()));
    start.bind(2, options.program);
    start.bind(3, options.host.empty() ? historyHostName() : options.host);
    if (start.step() != SQLITE_DONE)
        throw ToolError("cannot write history " + path + ": " + d.db.message());
    d.run_id = sqlite3_last_insert_rowid(d.db.get());
    d.insert_record = SqliteStatement(d.db.get(), kInsertRecord);
    d.insert_stall = SqliteStatement(d.db.get(), kInsertStall);
    d.insert_event = SqliteStatement(d.db.get(), kInsertEvent);
    d.insert_alarm_name = SqliteStatement(d.db.get(), kInsertAlarmName);
    d.ring.resize(options.queue_capacity < 1 ? 1 : options.queue_capacity);
    d.batch.reserve(kMaxBatch);
    d.names.reserve(64);
    d.prune_more = options.keep_days > 0;
    d.next_prune = Clock::now() + kPruneEvery;
    d.thread = std::thread([&d] { d.run(); });
}

HistoryWriter::~HistoryWriter()
{
    close();
}

bool HistoryWriter::record(const std::string& device, uint32_t data_id, RecordSource source,
                           const unsigned char* data, unsigned int length, const WallTime& when)
{
    if (length != kRecordSize)
        return false;
    return impl_->push(device, when, [&](QueuedRow& row) {
        row.kind = QueuedRow::Kind::Record;
        row.source = source;
        row.data_id = data_id;
        std::memcpy(row.record, data, kRecordSize);
    });
}

bool HistoryWriter::stall(const std::string& device, StallReason reason, int awaited_register,
                          const WallTime& when)
{
    return impl_->push(device, when, [&](QueuedRow& row) {
        row.kind = QueuedRow::Kind::Stall;
        row.reason = reason;
        row.awaited_register = static_cast<int16_t>(awaited_register);
    });
}

void HistoryWriter::alarmName(const std::string& device, const std::string& signal,
                              const std::string& code, const std::string& text)
{
    Impl& d = *impl_;
    const uint32_t index = d.deviceIndex(device);
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.new_alarm_names.push_back(AlarmNameRow{index, signal, code, text});
    }
    d.wake.notify_one();
}

void HistoryWriter::event(const std::string& device, DeviceEvent event, const std::string& detail,
                          const WallTime& when)
{
    Impl& d = *impl_;
    const uint32_t index = d.deviceIndex(device);
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (d.new_events.size() >= kMaxQueuedEvents) {
            d.dropped.fetch_add(1);
            return;
        }
        d.new_events.push_back(
            EventRow{index, event, epochMillis(when), detail.substr(0, kMaxEventDetail)});
    }
    d.wake.notify_one();
}

bool HistoryWriter::takeNotice(std::string* text)
{
    Impl& d = *impl_;
    if (!d.has_notice.load())
        return false;
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.notices.empty())
        return false;
    *text = std::move(d.notices.front());
    d.notices.pop_front();
    d.has_notice.store(!d.notices.empty());
    return true;
}

void HistoryWriter::close()
{
    Impl& d = *impl_;
    if (!d.thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.stopping = true;
    }
    d.wake.notify_one();
    d.thread.join();
    d.insert_record = SqliteStatement();
    d.insert_stall = SqliteStatement();
    d.insert_event = SqliteStatement();
    d.insert_alarm_name = SqliteStatement();
    d.db.close();
}

const std::string& HistoryWriter::path() const
{
    return impl_->path;
}

uint64_t HistoryWriter::rowsWritten() const
{
    return impl_->written.load();
}

uint64_t HistoryWriter::rowsDropped() const
{
    return impl_->dropped.load();
}

uint64_t HistoryWriter::rowsLost() const
{
    return impl_->dropped.load() + impl_->refused.load() + impl_->unwritten.load();
}

std::string HistoryWriter::lossLine() const
{
    return impl_->loss;
}

std::string HistoryWriter::Impl::lossLine() const
{
    const uint64_t lost_dropped = dropped.load();
    const uint64_t lost_refused = refused.load();
    const uint64_t lost_unwritten = unwritten.load();
    const uint64_t total = lost_dropped + lost_refused + lost_unwritten;
    if (total == 0)
        return "";
    std::string line = "history " + path + ": " + std::to_string(total) + " row" +
                       (total == 1 ? "" : "s") + " of this run not stored:";
    const char* comma = "";
    if (lost_refused > 0) {
        line += " " + std::to_string(lost_refused) +
                " refused by the database (first: " + first_refusal + ")";
        comma = ",";
    }
    if (lost_dropped > 0) {
        line += std::string(comma) + " " + std::to_string(lost_dropped) +
                " dropped while the queue was full";
        comma = ",";
    }
    if (lost_unwritten > 0)
        line += std::string(comma) + " " + std::to_string(lost_unwritten) +
                " not written by the end (" + last_failure + ")";
    return line;
}

void HistoryWriter::Impl::run()
{
    // Polling comes first: on a busy machine the writer yields the processor
    // and catches up from its queue.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), kWriterNice);
    Clock::time_point next_commit = Clock::now();
    for (;;) {
        bool stop = false;
        std::size_t left = 0;
        {
            std::unique_lock<std::mutex> lock(mutex);
            const auto stopped = [this] { return stopping; };
            const auto work = [this] {
                return stopping || (batch.empty() && count > 0) || !new_alarm_names.empty() ||
                       !new_events.empty() || prune_more;
            };
            if (failing) {
                wake.wait_for(lock, std::chrono::milliseconds(options.retry_ms), stopped);
            } else {
                // Rows that come in quick succession share a transaction.
                wake.wait_until(lock, next_commit, stopped);
                writer_idle = true;
                wake.wait_until(lock, next_prune, work);
                writer_idle = false;
            }
            for (std::string& name : new_names)
                writer_names.push_back(std::move(name));
            new_names.clear();
            for (AlarmNameRow& row : new_alarm_names)
                alarm_batch.push_back(std::move(row));
            new_alarm_names.clear();
            for (EventRow& row : new_events)
                event_batch.push_back(std::move(row));
            new_events.clear();
            // A batch kept after a failed write is retried as it is.
            if (batch.empty()) {
                while (count > 0 && batch.size() < kMaxBatch) {
                    batch.push_back(ring[head]);
                    head = (head + 1) % ring.size();
                    --count;
                }
            }
            stop = stopping;
            left = count;
        }
        next_commit = Clock::now() + kCommitGap;
        const bool ok = writeBatch();
        if (stop && (!ok || left == 0))
            break;
        if (ok && !stop) {
            if (Clock::now() >= next_prune) {
                prune_more = options.keep_days > 0;
                next_prune = Clock::now() + kPruneEvery;
            }
            if (prune_more)
                prune_more = pruneChunk();
        }
    }
    // A short run still finishes what --keep asks, a chunk at a time.
    while (prune_more && !failing)
        prune_more = pruneChunk();
    uint64_t lost = 0;
    for (const QueuedRow& row : batch)
        lost += row.refused ? 0 : 1;
    for (const EventRow& row : event_batch)
        lost += row.refused ? 0 : 1;
    {
        std::lock_guard<std::mutex> lock(mutex);
        lost += count + new_events.size();
        count = 0;
    }
    unwritten.store(lost);
    endRun();
    loss = lossLine();
}

bool HistoryWriter::Impl::writeBatch()
{
    if (batch.empty() && alarm_batch.empty() && event_batch.empty())
        return true;
    std::string why;
    // The reason is taken at once: later calls replace SQLite's message and errno.
    const auto check = [this, &why](bool ok) {
        if (!ok && why.empty())
            why = db.message(errno);
        return ok;
    };
    errno = 0;
    bool ok = check(db.exec("BEGIN IMMEDIATE") == SQLITE_OK);
    // A statement that fails alone is undone alone: the transaction and the
    // rows before it stay. True when the row is written or was refused.
    const auto stepRow = [&](SqliteStatement& s, bool* refused_row, const std::string& what,
                             int64_t time_ms) {
        const int rc = s.step();
        if (rc == SQLITE_DONE)
            return true;
        if (rowAtFault(rc) && !sqlite3_get_autocommit(db.get())) {
            *refused_row = true;
            refuse(what, time_ms, db.message());
            return true;
        }
        return check(false);
    };
    for (std::size_t i = 0; ok && i < batch.size(); ++i) {
        QueuedRow& row = batch[i];
        if (row.refused)
            continue;
        const std::string& device = writer_names[row.device];
        if (row.kind == QueuedRow::Kind::Record) {
            SqliteStatement& s = insert_record;
            RecordBytes bytes;
            std::memcpy(bytes.data(), row.record, kRecordSize);
            s.bind(1, run_id);
            s.bind(2, row.time_ms);
            s.bindStatic(3, device.c_str());
            s.bind(4, static_cast<int64_t>(row.data_id));
            s.bindStatic(5, row.source == RecordSource::Cache ? "cache" : "poll");
            s.bindBlob(6, row.record, static_cast<int>(kRecordSize));
            int column = 7;
            for (const std::size_t offset : columnOffsets().values)
                s.bind(column++, decimalOf(readFloat(bytes, offset)));
            s.bind(column++, static_cast<int64_t>(bytes[columnOffsets().status_a]));
            s.bind(column++, static_cast<int64_t>(bytes[columnOffsets().status_b]));
            ok = stepRow(s, &row.refused, "a record of " + device, row.time_ms);
            s.reset();
        } else {
            SqliteStatement& s = insert_stall;
            s.bind(1, run_id);
            s.bind(2, row.time_ms);
            s.bindStatic(3, device.c_str());
            s.bindStatic(4, stallReasonName(row.reason));
            if (row.awaited_register >= 0)
                s.bind(5, static_cast<int64_t>(row.awaited_register));
            else
                s.bindNull(5);
            ok = stepRow(s, &row.refused,
                         std::string("a stall (") + stallReasonName(row.reason) + ") of " + device,
                         row.time_ms);
            s.reset();
        }
    }
    for (std::size_t i = 0; ok && i < event_batch.size(); ++i) {
        EventRow& row = event_batch[i];
        if (row.refused)
            continue;
        SqliteStatement& s = insert_event;
        const std::string& device = writer_names[row.device];
        s.bind(1, run_id);
        s.bind(2, row.time_ms);
        s.bindStatic(3, device.c_str());
        s.bindStatic(4, deviceEventName(row.event));
        s.bind(5, row.detail);
        ok = stepRow(s, &row.refused,
                     std::string("the event ") + deviceEventName(row.event) + " of " + device,
                     row.time_ms);
        s.reset();
    }
    for (std::size_t i = 0; ok && i < alarm_batch.size(); ++i) {
        SqliteStatement& s = insert_alarm_name;
        s.bind(1, writer_names[alarm_batch[i].device]);
        s.bind(2, alarm_batch[i].signal);
        s.bind(3, alarm_batch[i].code);
        s.bind(4, alarm_batch[i].text);
        ok = check(s.step() == SQLITE_DONE);
        s.reset();
    }
    ok = ok && check(db.exec("COMMIT") == SQLITE_OK);
    if (!ok) {
        const std::string& reason = why;
        // Nothing of the batch stays: it is written whole later or not at all.
        if (!sqlite3_get_autocommit(db.get()))
            db.exec("ROLLBACK");
        last_failure = reason;
        if (!failing) {
            failing = true;
            failed_since = Clock::now();
            dropped_when_failing = dropped.load();
            notice("cannot write history " + path + ": " + reason + "; up to " +
                   std::to_string(ring.size()) +
                   " rows wait in memory and are written once it works again (tried every " +
                   std::to_string(options.retry_ms) + " ms)");
        }
        return false;
    }
    for (const QueuedRow& row : batch)
        written.fetch_add(row.refused ? 0 : 1);
    batch.clear();
    alarm_batch.clear();
    event_batch.clear();
    if (failing) {
        failing = false;
        const auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - failed_since).count();
        const uint64_t lost = dropped.load() - dropped_when_failing;
        notice("history " + path + " is written again after " + std::to_string(seconds) + " s; " +
               std::to_string(lost) + " rows were dropped meanwhile");
    }
    return true;
}

bool HistoryWriter::Impl::pruneChunk()
{
    const int64_t cutoff =
        epochMillis(WallTime::now()) - static_cast<int64_t>(options.keep_days) * 86400000;
    countPrunedUnsent(cutoff);
    int deleted = 0;
    // Rows are added in time order, so the oldest are found first in rowid
    // order; the scan ends at the chunk's size, or once at the table's end.
    for (const char* sql : {"DELETE FROM records WHERE id IN (SELECT id FROM records "
                            "WHERE time_ms < ? ORDER BY id LIMIT ?)",
                            "DELETE FROM stalls WHERE id IN (SELECT id FROM stalls "
                            "WHERE time_ms < ? ORDER BY id LIMIT ?)",
                            "DELETE FROM events WHERE id IN (SELECT id FROM events "
                            "WHERE time_ms < ? ORDER BY id LIMIT ?)"}) {
        SqliteStatement s(db.get(), sql);
        s.bind(1, cutoff);
        s.bind(2, static_cast<int64_t>(kPruneChunk));
        if (s.step() != SQLITE_DONE)
            return false;  // tried again at the next prune
        deleted += sqlite3_changes(db.get());
    }
    if (deleted == 0)
        tellPrunedUnsent();
    return deleted > 0;
}

// The MQTT outbox sends records from the history: one pruned before its
// broker acknowledged it is never sent, and that must not pass unsaid.
void HistoryWriter::Impl::countPrunedUnsent(int64_t cutoff)
{
    SqliteStatement s(db.get(),
                      "SELECT o.destination, count(*) FROM (SELECT id, run_id FROM records "
                      "WHERE time_ms < ?1 ORDER BY id LIMIT ?2) r "
                      "JOIN runs u ON u.id = r.run_id "
                      "JOIN mqtt_outbox o ON o.host = u.host AND r.id > o.record_id "
                      "GROUP BY o.destination");
    s.bind(1, cutoff);
    s.bind(2, static_cast<int64_t>(kPruneChunk));
    while (s.step() == SQLITE_ROW)
        pruned_unsent[s.text(0)] += static_cast<uint64_t>(s.integer(1));
}

void HistoryWriter::Impl::tellPrunedUnsent()
{
    for (const auto& [destination, count] : pruned_unsent) {
        // A destination is kept as "BROKER PREFIX".
        const auto space = destination.rfind(' ');
        const std::string broker =
            space == std::string::npos
                ? destination
                : destination.substr(0, space) + " (prefix " + destination.substr(space + 1) + ")";
        notice("history " + path + ": " + std::to_string(count) + " records older than " +
               std::to_string(options.keep_days) + " days were pruned before " + broker +
               " acknowledged them; they will not be sent");
    }
    pruned_unsent.clear();
}

void HistoryWriter::Impl::endRun()
{
    SqliteStatement end(db.get(), "UPDATE runs SET ended_ms = ?, rows_lost = ? WHERE id = ?");
    end.bind(1, epochMillis(WallTime::now()));
    end.bind(2, static_cast<int64_t>(dropped.load() + refused.load() + unwritten.load()));
    end.bind(3, run_id);
    end.step();
}

}  // namespace keltool
