#pragma once
// What the web view shows, kept up to date by the polling thread and read by
// the HTTP threads. The polling side only fills fixed structures under a
// device's own short lock (no allocation, no formatting); readers copy a
// device's structures out under the same lock and format on their own thread.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
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

// A value as the driver answers it now: `ok` with the value, or its refusal.
// `known`/`last` keep the last value it did answer, to be shown as old.
struct LiveValue {
    const char* name = "";  // static texts: "uab", ...
    const char* unit = "";  // "V", "Hz"
    bool ok = false;
    float value = 0.0f;
    char error[64] = "";
    bool known = false;
    float last = 0.0f;
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
    WallTime last_record;  // when it was published (for a restored one: restored)
    RecordSource last_source = RecordSource::Poll;
    WallTime record_polled;  // when its values were read from the controller
    bool record_polled_known = false;
    std::array<LiveValue, kValueCount> values{};
    bool battery_ok = false;     // the last record reported a battery voltage
    bool battery_fresh = false;  // ... and it is 60 s old or younger by the record's time
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

    // Who answers a device's values when the live state asks (the polling
    // thread, once a second); set before polling.
    using Asker = std::function<void(ValueAnswers&)>;
    void setAsker(std::size_t device, Asker ask);

    // Polling side.
    void round(const RoundReport& report);
    void askValues();  // every device's Asker, its answers published
    void stall(const StallReport& report);
    void event(const EventReport& report);

    // Reader side.
    std::size_t deviceCount() const;
    const LiveIdentity& identity(std::size_t device) const;
    LiveStatus status(std::size_t device) const;
    // The trend points newer than `after_unix_ms`, oldest first.
    std::vector<TrendPoint> trend(std::size_t device, int64_t after_unix_ms) const;
    // Seconds after which the views count a record as stale: the driver's 60,
    // unless KEL36_HOST_TEST_STALE_AFTER_S (tests of the views only) sets
    // fewer; then the views refuse values older than that themselves.
    long long staleAfterSeconds() const { return stale_after_s_; }
    // Changes with every update; lets a reader see that nothing changed.
    uint64_t generation() const { return generation_.load(std::memory_order_relaxed); }

private:
    struct Slot;
    Slot* slotOf(const DeviceSpec* key);

    void publish(Slot& slot, const ValueAnswers& answers, const WallTime& now);

    std::vector<std::unique_ptr<Slot>> slots_;
    std::atomic<uint64_t> generation_{0};
    long long stale_after_s_ = kFreshSeconds;
    bool stale_override_ = false;
    ValueAnswers answers_;  // the polling thread's buffer for askValues
};

// Feeds every report into `state`, then hands it on to `next`; asks the
// devices' values once a second (through the output's wake-ups, on the
// polling thread).
std::unique_ptr<OutputSink> feedLiveState(LiveState& state, OutputSink& next);

}  // namespace keltool
