#pragma once
// Reads a history database without changing it, for the export, the report
// and anything else that shows stored data. Safe beside a kel36-host that is
// writing the same file (WAL: readers see the last committed rows).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kel36-host/output/record_decoder.h"
#include "kel36-host/output/reports.h"

namespace keltool {

struct HistoryFilter {
    std::string device;              // empty: every device
    std::optional<int64_t> from_ms;  // UTC ms since the epoch, inclusive
    std::optional<int64_t> to_ms;    // inclusive
};

struct StoredRecord {
    int64_t id = 0;
    int64_t run_id = 0;
    int64_t time_ms = 0;
    std::string device;
    uint32_t data_id = 0;
    RecordSource source = RecordSource::Poll;
    bool source_known = true;  // false: neither poll nor cache (source is then Poll)
    RecordBytes bytes{};
};

struct StoredStall {
    int64_t time_ms = 0;
    std::string device;
    StallReason reason = StallReason::NoReply;
    int awaited_register = -1;  // -1: not known
};

struct StoredAlarmName {
    std::string signal, code, text;
};

// A line lost, found again, a give-up, a run's end: as the events table has
// it (a history of an older schema has none).
struct StoredEvent {
    int64_t time_ms = 0;
    std::string device;
    std::string name;  // "port_lost", "gave_up", ...
};

struct StoredRun {
    int64_t id = 0;
    int64_t started_ms = 0;
    std::optional<int64_t> ended_ms;  // none: still running, or killed
    std::string program;
};

// What a range holds, without reading its records.
struct RecordSpan {
    uint64_t polled = 0;
    uint64_t restored = 0;
    int64_t first_ms = 0;  // of the polled records
    int64_t last_ms = 0;
    std::vector<uint32_t> data_ids;  // of every record, ascending
};

// Times a report can place on an axis and print: 1970 to the end of 9999.
constexpr int64_t kEarliestShownMs = 0;
constexpr int64_t kLatestShownMs = 253402300799999;

class HistoryReader {
public:
    // Opens the file read-only; ToolError when it is not a history this
    // program reads (see openHistory).
    explicit HistoryReader(const std::string& path);
    ~HistoryReader();
    HistoryReader(const HistoryReader&) = delete;
    HistoryReader& operator=(const HistoryReader&) = delete;

    // The devices with records in the range, by name.
    std::vector<std::string> devices(const HistoryFilter& filter) const;
    // The devices with records, stalls or events in the range (the filter's
    // device is ignored), by name: a device that never answered is one too.
    std::vector<std::string> knownDevices(const HistoryFilter& filter) const;
    // The polled records counted are those at a time a report can show
    // (kEarliestShownMs to kLatestShownMs).
    RecordSpan span(const HistoryFilter& filter) const;
    // The records in the range, oldest first, ties in the order stored;
    // `each` returning false stops.
    void forEachRecord(const HistoryFilter& filter,
                       const std::function<bool(const StoredRecord&)>& each) const;
    std::vector<StoredStall> stalls(const HistoryFilter& filter) const;
    std::vector<StoredAlarmName> alarmNames(const std::string& device) const;
    // The runs that stored records or stalls in the range.
    std::vector<StoredRun> runs(const HistoryFilter& filter) const;
    // The events in the range, oldest first; none without an events table.
    std::vector<StoredEvent> events(const HistoryFilter& filter) const;

    // Between begin and end every read sees one snapshot of the file, so
    // counts read first agree with rows read later while a writer commits.
    void beginSnapshot() const;
    void endSnapshot() const;

    // Every device the file knows, from any of its tables, by name.
    std::vector<std::string> knownDevices() const;
    // The file's schema version (older ones are read as they are: version 1
    // has no events table and no runs.rows_lost).
    int64_t schemaVersion() const;

    const std::string& path() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// One read transaction for as long as it lives.
class HistorySnapshot {
public:
    explicit HistorySnapshot(const HistoryReader& reader) : reader_(reader)
    {
        reader_.beginSnapshot();
    }
    ~HistorySnapshot() { reader_.endSnapshot(); }
    HistorySnapshot(const HistorySnapshot&) = delete;
    HistorySnapshot& operator=(const HistorySnapshot&) = delete;

private:
    const HistoryReader& reader_;
};

}  // namespace keltool
