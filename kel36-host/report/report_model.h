#pragma once
// What a test report shows for one device, computed from the history: the
// counts of its header, statistics of every value over all polled records
// (never decimated), the alarm periods, the gaps, and the plotted series
// reduced to one minimum and maximum per pixel column.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kel36-host/store/history_reader.h"

namespace keltool {

// The values a report shows, in the record's order.
struct ReportValue {
    const char* name;
    const char* label;
    const char* unit;
};
constexpr std::size_t kReportValueCount = 8;
const std::array<ReportValue, kReportValueCount>& reportValues();

struct ValueStats {
    uint64_t count = 0;  // finite values
    double min = 0.0;
    double max = 0.0;
    double sum = 0.0;
    // The most decimals any of the values carries (391.7: 1), at most
    // kMaxDecimals: every number of the value is shown with these, the mean
    // with one more.
    int decimals = 0;
    double mean() const { return count ? sum / static_cast<double>(count) : 0.0; }
};

constexpr int kMaxDecimals = 6;

struct TimeSpan {
    int64_t from_ms = 0;
    int64_t to_ms = 0;
    std::string reason;  // of a gap: the stalls and events stored in it
};

// An alarm bit set from `onset_ms` (the first record showing it) to
// `clear_ms` (the first record without it); no clear when it was still set in
// the last record.
struct AlarmPeriod {
    std::string signal, code, text;
    int64_t onset_ms = 0;
    std::optional<int64_t> clear_ms;
    int64_t no_data_ms = 0;  // of the period, the time inside gaps
};

// One pixel column of a plotted series: the extremes of the records that
// fall into it, in the order they came, and the times of its first and last.
struct PlotColumn {
    bool used = false;
    float first_extreme = 0.0f;
    float second_extreme = 0.0f;
    int64_t first_ms = 0;
    int64_t last_ms = 0;
};

struct DeviceReport {
    std::string device;
    std::vector<uint32_t> data_ids;
    uint64_t rounds = 0;    // polled records
    uint64_t restored = 0;  // records restored from the cache
    uint64_t stalls_no_reply = 0;
    uint64_t stalls_refused = 0;
    uint64_t stalls_write_blocked = 0;  // requests the line did not take
    int64_t first_stall_ms = 0;         // when there were stalls
    int64_t last_stall_ms = 0;
    std::vector<StoredRun> runs;
    // Stored rows that fit no axis and were left out: a source neither poll
    // nor cache, a time outside kEarliestShownMs..kLatestShownMs.
    uint64_t skipped = 0;
    int64_t first_ms = 0;  // first and last polled record
    int64_t last_ms = 0;
    // The period's end: the last record, or the end of its run (or the last
    // stall or event) when the line was lost before it.
    int64_t end_ms = 0;
    int64_t median_interval_ms = 0;
    int64_t gap_threshold_ms = 0;
    std::vector<TimeSpan> gaps;
    std::vector<AlarmPeriod> alarms;
    std::array<ValueStats, kReportValueCount> stats{};
    std::array<std::vector<PlotColumn>, kReportValueCount> columns;
};

// A gap is a time without records longer than this many median intervals
// between polled records, and never shorter than kMinGapMs.
constexpr int64_t kGapIntervals = 3;
constexpr int64_t kMinGapMs = 2000;

// Reads the device's records in the filter's range (filter.device names it).
DeviceReport buildDeviceReport(const HistoryReader& reader, const HistoryFilter& filter,
                               std::size_t plot_columns);

}  // namespace keltool
