#include "kel36-host/report/report_model.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "kel36-host/output/record_decoder.h"

namespace keltool {

const std::array<ReportValue, kReportValueCount>& reportValues()
{
    static const std::array<ReportValue, kReportValueCount> values = {{
        {"uab", "line voltage A-B", "V"},
        {"ubc", "line voltage B-C", "V"},
        {"uca", "line voltage C-A", "V"},
        {"frequency", "frequency", "Hz"},
        {"ua", "phase voltage A", "V"},
        {"ub", "phase voltage B", "V"},
        {"uc", "phase voltage C", "V"},
        {"battery_voltage", "battery voltage", "V"},
    }};
    return values;
}

namespace {

// Intervals between records, counted exactly up to 10 s (where a poller's
// intervals are) and in 1 % wide buckets above: a median in a few KiB, for a
// year of records as for a day.
class IntervalHistogram {
public:
    void add(int64_t ms)
    {
        ++counts_[bucketOf(std::max<int64_t>(ms, 0))];
        ++total_;
    }
    // The lower bound of the bucket that holds the median interval.
    int64_t median() const
    {
        uint64_t seen = 0;
        for (std::size_t b = 0; b < counts_.size(); ++b) {
            seen += counts_[b];
            if (seen > total_ / 2)
                return lowerBound(b);
        }
        return 0;
    }

private:
    static constexpr int64_t kExact = 10000;
    static constexpr double kStep = 1.01;
    static constexpr std::size_t kBuckets = kExact + 2200;  // up to ~10^13 ms

    static std::size_t bucketOf(int64_t ms)
    {
        if (ms < kExact)
            return static_cast<std::size_t>(ms);
        const double steps = std::log(static_cast<double>(ms) / kExact) / std::log(kStep);
        return std::min(kBuckets - 1, static_cast<std::size_t>(kExact) + static_cast<std::size_t>(steps));
    }
    static int64_t lowerBound(std::size_t b)
    {
        if (b < static_cast<std::size_t>(kExact))
            return static_cast<int64_t>(b);
        return static_cast<int64_t>(kExact * std::pow(kStep, static_cast<double>(b - kExact)));
    }

    std::array<uint64_t, kBuckets> counts_{};
    uint64_t total_ = 0;
};


struct ColumnTracker {
    float min = 0.0f, max = 0.0f;
    bool min_first = true;
};

// Whether `value` is the float of a decimal with `decimals` decimals (391.7
// is, with 1): how many a value carries, without formatting it.
bool carries(float value, int decimals)
{
    static const double kScale[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6};
    const double scale = kScale[decimals];
    return static_cast<float>(std::round(static_cast<double>(value) * scale) / scale) == value;
}

// Alarm bits: when each started, while it lasts.
struct OpenAlarm {
    bool active = false;
    int64_t onset_ms = 0;
};

void addPeriod(DeviceReport& report, const std::vector<StoredAlarmName>& names, const AlarmBit& bit,
               int64_t onset, std::optional<int64_t> clear)
{
    AlarmPeriod period;
    period.signal = bit.signal;
    for (const StoredAlarmName& n : names)
        if (n.signal == bit.signal) {
            period.code = n.code;
            period.text = n.text;
        }
    period.onset_ms = onset;
    period.clear_ms = clear;
    report.alarms.push_back(std::move(period));
}

// The end of the run that stored the last record, when its clock agrees
// with the records (a run's times are the wall clock, a record's the
// driver's), or the last stall or event after it: the line may have been lost
// well before the run ended.
int64_t periodEnd(const DeviceReport& report, const std::vector<StoredStall>& stalls,
                  const std::vector<StoredEvent>& events, const HistoryFilter& filter)
{
    int64_t end = report.last_ms;
    if (report.rounds == 0)
        return end;
    for (const StoredRun& run : report.runs)
        if (run.ended_ms && run.started_ms <= report.last_ms && *run.ended_ms > end &&
            *run.ended_ms <= kLatestShownMs)
            end = *run.ended_ms;
    if (!stalls.empty())
        end = std::max(end, std::min(stalls.back().time_ms, kLatestShownMs));
    if (!events.empty())
        end = std::max(end, std::min(events.back().time_ms, kLatestShownMs));
    if (filter.to_ms)
        end = std::min(end, std::max(*filter.to_ms, report.last_ms));
    return end;
}

// Each gap's reason: the stalls by reason and the events stored inside it.
void explainGaps(DeviceReport& report, const std::vector<StoredStall>& stalls,
                 const std::vector<StoredEvent>& events)
{
    std::size_t s = 0, e = 0;
    for (TimeSpan& gap : report.gaps) {
        std::array<uint64_t, 3> by_reason{};
        while (s < stalls.size() && stalls[s].time_ms <= gap.from_ms)
            ++s;
        for (; s < stalls.size() && stalls[s].time_ms <= gap.to_ms; ++s)
            ++by_reason[static_cast<std::size_t>(stalls[s].reason) % by_reason.size()];
        static const char* const kWords[] = {"without a reply in time", "refused replies",
                                             "requests the line did not take"};
        std::string reason;
        for (std::size_t r = 0; r < by_reason.size(); ++r)
            if (by_reason[r] > 0)
                reason += (reason.empty() ? "stalls: " : ", ") + std::to_string(by_reason[r]) +
                          " " + kWords[r];
        while (e < events.size() && events[e].time_ms <= gap.from_ms)
            ++e;
        std::vector<std::string> names;
        for (; e < events.size() && events[e].time_ms <= gap.to_ms; ++e)
            if (std::find(names.begin(), names.end(), events[e].name) == names.end() &&
                names.size() < 8)
                names.push_back(events[e].name);
        for (std::size_t n = 0; n < names.size(); ++n)
            reason += (n == 0 ? (reason.empty() ? "events: " : "; events: ") : ", ") + names[n];
        if (reason.empty())
            reason = "no stall or event stored (kel36-host not polling)";
        if (gap.to_ms == report.end_ms && gap.from_ms == report.last_ms &&
            report.end_ms > report.last_ms)
            reason = "no record up to the end of the run; " + reason;
        gap.reason = std::move(reason);
    }
}

// How much of [from, to] lies inside the (ordered, disjoint) gaps.
int64_t timeInGaps(const std::vector<TimeSpan>& gaps, int64_t from, int64_t to)
{
    auto it = std::lower_bound(gaps.begin(), gaps.end(), from,
                               [](const TimeSpan& g, int64_t t) { return g.to_ms <= t; });
    int64_t total = 0;
    for (; it != gaps.end() && it->from_ms < to; ++it)
        total += std::min(it->to_ms, to) - std::max(it->from_ms, from);
    return total;
}

}  // namespace

DeviceReport buildDeviceReport(const HistoryReader& reader, const HistoryFilter& filter,
                               std::size_t plot_columns)
{
    DeviceReport report;
    report.device = filter.device;
    const RecordSpan span = reader.span(filter);
    report.data_ids = span.data_ids;
    report.rounds = span.polled;
    report.restored = span.restored;
    report.first_ms = span.first_ms;
    report.last_ms = span.last_ms;
    report.runs = reader.runs(filter);
    const std::vector<StoredStall> stalls = reader.stalls(filter);
    if (!stalls.empty()) {
        report.first_stall_ms = stalls.front().time_ms;
        report.last_stall_ms = stalls.back().time_ms;
    }
    for (const StoredStall& stall : stalls) {
        switch (stall.reason) {
            case StallReason::NoReply:
                ++report.stalls_no_reply;
                break;
            case StallReason::Refused:
                ++report.stalls_refused;
                break;
            case StallReason::WriteBlocked:
                ++report.stalls_write_blocked;
                break;
        }
    }
    const std::vector<StoredAlarmName> names = reader.alarmNames(filter.device);
    const std::vector<StoredEvent> events = reader.events(filter);
    report.end_ms = periodEnd(report, stalls, events, filter);

    const std::size_t width = std::max<std::size_t>(plot_columns, 1);
    for (auto& series : report.columns)
        series.assign(width, PlotColumn{});
    std::array<std::vector<ColumnTracker>, kReportValueCount> trackers;
    for (auto& t : trackers)
        t.assign(width, ColumnTracker{});
    std::array<std::size_t, kReportValueCount> offsets{};
    for (std::size_t v = 0; v < kReportValueCount; ++v)
        offsets[v] = findField(reportValues()[v].name)->offset;
    const auto& bits = alarmBits();
    std::array<OpenAlarm, 5> open{};
    // Memory does not grow with the records: the intervals between them go
    // into a histogram for their median, and only those longer than the
    // shortest gap can be (kMinGapMs) are kept as candidates.
    IntervalHistogram intervals;
    std::vector<TimeSpan> candidates;
    uint64_t polled_in_span = 0;
    int64_t previous_ms = 0;
    const int64_t duration = report.end_ms - report.first_ms;

    reader.forEachRecord(filter, [&](const StoredRecord& r) {
        if (r.source_known && r.source == RecordSource::Cache)
            return true;  // a restored record repeats an older reading
        // Only a polled row inside the span has a place on the axis; the
        // span and the rows come from one snapshot, but the file is outside
        // input all the same.
        if (!r.source_known || report.rounds == 0 || r.time_ms < report.first_ms ||
            r.time_ms > report.last_ms) {
            ++report.skipped;
            return true;
        }
        const std::size_t column =
            duration > 0
                ? static_cast<std::size_t>(static_cast<double>(r.time_ms - report.first_ms) *
                                           static_cast<double>(width - 1) /
                                           static_cast<double>(duration))
                : width / 2;
        if (column >= width) {
            ++report.skipped;
            return true;
        }
        if (polled_in_span++ > 0) {
            const int64_t interval = r.time_ms - previous_ms;
            intervals.add(interval);
            if (interval > kMinGapMs)
                candidates.push_back(TimeSpan{previous_ms, r.time_ms, ""});
        }
        previous_ms = r.time_ms;
        for (std::size_t v = 0; v < kReportValueCount; ++v) {
            const float value = readFloat(r.bytes, offsets[v]);
            if (!std::isfinite(value))
                continue;
            ValueStats& s = report.stats[v];
            s.min = s.count ? std::min(s.min, static_cast<double>(value)) : value;
            s.max = s.count ? std::max(s.max, static_cast<double>(value)) : value;
            s.sum += value;
            ++s.count;
            while (s.decimals < kMaxDecimals && !carries(value, s.decimals))
                ++s.decimals;
            PlotColumn& c = report.columns[v][column];
            ColumnTracker& t = trackers[v][column];
            if (!c.used) {
                c.used = true;
                c.first_ms = r.time_ms;
                t.min = t.max = value;
            } else if (value < t.min) {
                t.min = value;
                t.min_first = false;
            } else if (value > t.max) {
                t.max = value;
                t.min_first = true;
            }
            c.last_ms = r.time_ms;
        }
        for (std::size_t b = 0; b < bits.size(); ++b) {
            const bool active = (r.bytes[bits[b].offset] & bits[b].mask) != 0;
            if (active && !open[b].active)
                open[b] = OpenAlarm{true, r.time_ms};
            else if (!active && open[b].active) {
                addPeriod(report, names, bits[b], open[b].onset_ms, r.time_ms);
                open[b].active = false;
            }
        }
        return true;
    });
    for (std::size_t b = 0; b < bits.size(); ++b)
        if (open[b].active)
            addPeriod(report, names, bits[b], open[b].onset_ms, std::nullopt);
    std::stable_sort(
        report.alarms.begin(), report.alarms.end(),
        [](const AlarmPeriod& a, const AlarmPeriod& b) { return a.onset_ms < b.onset_ms; });

    // The extremes in the order they came: the line through a column runs
    // from the earlier to the later one.
    for (std::size_t v = 0; v < kReportValueCount; ++v)
        for (std::size_t c = 0; c < width; ++c) {
            const ColumnTracker& t = trackers[v][c];
            report.columns[v][c].first_extreme = t.min_first ? t.min : t.max;
            report.columns[v][c].second_extreme = t.min_first ? t.max : t.min;
        }

    if (polled_in_span >= 2) {
        report.median_interval_ms = intervals.median();
        report.gap_threshold_ms = std::max(kGapIntervals * report.median_interval_ms, kMinGapMs);
        for (const TimeSpan& c : candidates)
            if (c.to_ms - c.from_ms > report.gap_threshold_ms)
                report.gaps.push_back(c);
    } else {
        report.gap_threshold_ms = kMinGapMs;
    }
    // A line lost before the run ended: a gap up to the end, not a shorter period.
    if (report.rounds > 0 && report.end_ms - report.last_ms > report.gap_threshold_ms)
        report.gaps.push_back(TimeSpan{report.last_ms, report.end_ms, ""});
    explainGaps(report, stalls, events);
    for (AlarmPeriod& a : report.alarms)
        a.no_data_ms = timeInGaps(report.gaps, a.onset_ms, a.clear_ms.value_or(report.last_ms));
    return report;
}

}  // namespace keltool
