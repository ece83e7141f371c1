#pragma once
// What the web view shows, kept up to date by the polling thread and read by
// the HTTP threads. The polling side only fills fixed structures under a
// device's own short lock (no allocation, no formatting); readers copy a
// device's structures out under the same lock and format on their own thread.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kel36-host/output/reports.h"

namespace keltool {

// Round-duration histogram bounds in seconds (Prometheus' usual ones: rounds
// take 5 ms on a fast simulated line to seconds on a slow one).
constexpr std::array<double, 11> kRoundSecondsBuckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                         0.5,   1.0,  2.5,   5.0,  10.0};

// Trend: at most one point per second, the last kTrendPoints of them.
constexpr std::size_t kTrendPoints = 600;
constexpr std::size_t kTrendSignals = kValueCount + 1;  // the seven values, then the battery

enum class LinkState { Starting, Answering, Stalling, NotAnswering, LineLost };
const char* linkStateName(LinkState state);  // "answering", "not_answering", ...

struct LiveValue {
    const char* name = "";  // static texts of the runner: "uab", ...
    const char* unit = "";  // "V", "Hz"
    bool ok = false;
    float value = 0.0f;
    char error[64] = "";
};

struct LiveAlarm {
    char signal[16] = "";
    char code[16] = "";
    char text[64] = "";
    bool active = false;
};

// One device's state at a moment: plain data, copied as a whole.
struct LiveStatus {
    LinkState link = LinkState::Starting;
    uint64_t rounds = 0;
    uint64_t stalls = 0;
    uint64_t consecutive_stalls = 0;
    double last_round_ms = 0.0;
    double mean_round_ms = 0.0;
    double max_round_ms = 0.0;
    // Polled rounds per histogram bucket (not cumulative; the last is +Inf).
    std::array<uint64_t, kRoundSecondsBuckets.size() + 1> round_buckets{};
    double round_seconds_sum = 0.0;

    bool has_record = false;
    WallTime last_record;
    RecordSource last_source = RecordSource::Poll;
    std::array<LiveValue, kValueCount> values{};
    bool battery_ok = false;
    float battery_voltage = 0.0f;
    std::array<LiveAlarm, kMaxAlarms> alarms{};
    std::size_t alarm_count = 0;

    bool has_stall = false;
    WallTime last_stall;
    StallReason last_stall_reason = StallReason::NoReply;
    int last_stall_register = -1;
};

struct TrendPoint {
    int64_t unix_ms = 0;
    std::array<float, kTrendSignals> values{};
    uint16_t ok_mask = 0;  // bit i: values[i] was read
};

// Who a device is; fixed before polling starts.
struct LiveIdentity {
    std::string name;
    uint32_t data_id = 0;
    std::string line;  // its serial line, "" for a simulated controller not yet started
    bool simulated = false;
};

class LiveState {
public:
    // One slot per device, in the order given.
    explicit LiveState(const std::vector<DeviceSpec>& devices);
    ~LiveState();
    LiveState(const LiveState&) = delete;
    LiveState& operator=(const LiveState&) = delete;

    // The DeviceSpec the reports of `device` will point at; set before polling.
    void setKey(std::size_t device, const DeviceSpec* key);

    // Polling side.
    void round(const RoundReport& report);
    void stall(const StallReport& report);
    void event(const EventReport& report);

    // Reader side.
    std::size_t deviceCount() const;
    const LiveIdentity& identity(std::size_t device) const;
    LiveStatus status(std::size_t device) const;
    // The trend points newer than `after_unix_ms`, oldest first.
    std::vector<TrendPoint> trend(std::size_t device, int64_t after_unix_ms) const;
    // Changes with every update; lets a reader see that nothing changed.
    uint64_t generation() const { return generation_.load(std::memory_order_relaxed); }

private:
    struct Slot;
    Slot* slotOf(const DeviceSpec* key);

    std::vector<std::unique_ptr<Slot>> slots_;
    std::atomic<uint64_t> generation_{0};
};

// Feeds every report into `state`, then hands it on to `next`.
std::unique_ptr<OutputSink> feedLiveState(LiveState& state, OutputSink& next);

}  // namespace keltool
