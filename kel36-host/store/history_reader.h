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
    RecordSpan span(const HistoryFilter& filter) const;
    // The records in the range, oldest first, ties in the order stored;
    // `each` returning false stops.
    void forEachRecord(const HistoryFilter& filter,
                       const std::function<bool(const StoredRecord&)>& each) const;
    std::vector<StoredStall> stalls(const HistoryFilter& filter) const;
    std::vector<StoredAlarmName> alarmNames(const std::string& device) const;
    // The runs that stored records or stalls in the range.
    std::vector<StoredRun> runs(const HistoryFilter& filter) const;

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

}  // namespace keltool
