#include "kel36-host/web/live_state.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "kel36-host/config/host_config.h"

namespace keltool {

const char* linkStateName(LinkState state)
{
    switch (state) {
        case LinkState::Starting:
            return "starting";
        case LinkState::Answering:
            return "answering";
        case LinkState::Stalling:
            return "stalling";
        case LinkState::NotAnswering:
            return "not_answering";
        case LinkState::LineLost:
            return "line_lost";
    }
    return "starting";
}

namespace {

// Copies a C string into a fixed field; a text too long is cut at a UTF-8
// character boundary, never inside a character.
template <std::size_t N>
void copyText(char (&out)[N], const char* text)
{
    std::size_t length = std::strlen(text);
    if (length >= N) {
        length = N - 1;
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
            --length;
    }
    std::memcpy(out, text, length);
    out[length] = '\0';
}

int64_t unixMillis(const WallTime& t)
{
    return static_cast<int64_t>(t.seconds) * 1000 + t.nanoseconds / 1000000;
}

constexpr const char* kTimedOut = "数据已超时";  // the driver's refusal of old data

// The driver's answers into the status: a refused value keeps the last one
// it answered, for views that show it as old.
void takeAnswers(LiveStatus& s, const std::array<ValueReading, kValueCount>& values)
{
    for (std::size_t i = 0; i < kValueCount; ++i) {
        LiveValue& v = s.values[i];
        const ValueReading& r = values[i];
        v.ok = r.ok;
        if (r.ok) {
            v.value = r.value;
            v.known = true;
            v.last = r.value;
            v.error[0] = '\0';
        } else {
            copyText(v.error, r.error);
        }
    }
}

void refuseAsStale(LiveStatus& s)
{
    for (LiveValue& v : s.values) {
        v.ok = false;
        copyText(v.error, kTimedOut);
    }
    s.battery_fresh = false;
}

void copyStats(LiveStatus& s, const DeviceStats& stats)
{
    s.rounds = stats.rounds;
    s.stalls = stats.stalls;
    s.consecutive_stalls = stats.consecutive_stalls;
    s.mean_round_ms = stats.meanRoundMs();
    s.max_round_ms = stats.max_round_ms;
}

}  // namespace

struct LiveState::Slot {
    const DeviceSpec* key = nullptr;
    LiveIdentity identity;
    Asker ask;
    mutable std::mutex mutex;
    LiveStatus status;
    std::array<TrendPoint, kTrendPoints> trend{};
    std::size_t trend_next = 0;  // where the next point goes
    std::size_t trend_count = 0;
};

LiveState::LiveState(const std::vector<DeviceSpec>& devices)
{
    for (const DeviceSpec& device : devices) {
        auto slot = std::make_unique<Slot>();
        slot->identity.name = device.name;
        slot->identity.data_id = device.data_id;
        slot->identity.line = device.port;
        slot->identity.simulated = device.simulated;
        for (std::size_t i = 0; i < kValueCount; ++i) {
            slot->status.values[i].name = kValueNames[i].name;
            slot->status.values[i].unit = kValueNames[i].unit;
        }
        slots_.push_back(std::move(slot));
    }
    // Lets a test see the views go stale without waiting a minute; the
    // driver's own rule is untouched.
    if (const char* text = std::getenv("KEL36_HOST_TEST_STALE_AFTER_S")) {
        char* end = nullptr;
        const long seconds = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && seconds >= 1 && seconds < kFreshSeconds) {
            stale_after_s_ = seconds;
            stale_override_ = true;
        }
    }
}

void LiveState::setAsker(std::size_t device, Asker ask)
{
    slots_.at(device)->ask = std::move(ask);
}

void LiveState::askValues()
{
    const WallTime now = WallTime::now();
    for (const auto& slot : slots_) {
        if (!slot->ask)
            continue;
        slot->ask(answers_);
        publish(*slot, answers_, now);
    }
    generation_.fetch_add(1, std::memory_order_relaxed);
}

void LiveState::publish(Slot& slot, const ValueAnswers& answers, const WallTime& now)
{
    const std::lock_guard<std::mutex> lock(slot.mutex);
    LiveStatus& s = slot.status;
    takeAnswers(s, answers.values);
    s.battery_fresh = s.battery_ok && answers.record_time_known &&
                      answers.record_age_s <= kFreshSeconds;
    if (stale_override_ && s.has_record && now.seconds - s.last_record.seconds > stale_after_s_)
        refuseAsStale(s);
}

void LiveState::setKey(std::size_t device, const DeviceSpec* key)
{
    slots_.at(device)->key = key;
}

LiveState::~LiveState() = default;

LiveState::Slot* LiveState::slotOf(const DeviceSpec* key)
{
    for (const auto& slot : slots_)
        if (slot->key == key)
            return slot.get();
    return nullptr;
}

void LiveState::round(const RoundReport& r)
{
    Slot* slot = slotOf(r.device);
    if (!slot)
        return;
    TrendPoint point;
    point.unix_ms = unixMillis(r.when);
    for (std::size_t i = 0; i < kValueCount; ++i) {
        point.values[i] = r.values[i].value;
        if (r.values[i].ok)
            point.ok_mask |= static_cast<uint16_t>(1u << i);
    }
    point.values[kValueCount] = r.battery_voltage;
    if (r.battery_reported)
        point.ok_mask |= static_cast<uint16_t>(1u << kValueCount);

    {
        const std::lock_guard<std::mutex> lock(slot->mutex);
        LiveStatus& s = slot->status;
        copyStats(s, *r.stats);
        if (s.link != LinkState::LineLost)
            s.link = LinkState::Answering;
        if (r.source == RecordSource::Poll) {
            s.last_round_ms = r.duration_ms;
            const double seconds = r.duration_ms / 1000.0;
            std::size_t bucket = 0;
            while (bucket < kRoundSecondsBuckets.size() && seconds > kRoundSecondsBuckets[bucket])
                ++bucket;
            ++s.round_buckets[bucket];
            s.round_seconds_sum += seconds;
        }
        s.has_record = true;
        s.last_record = r.when;
        s.last_source = r.source;
        s.record_polled = r.polled;
        s.record_polled_known = r.polled_known;
        takeAnswers(s, r.values);
        s.battery_ok = r.battery_reported;
        s.battery_fresh = r.battery_reported;  // stamped just now
        s.battery_voltage = r.battery_voltage;
        s.alarm_count = std::min(r.alarm_count, s.alarms.size());
        for (std::size_t i = 0; i < s.alarm_count; ++i) {
            LiveAlarm& a = s.alarms[i];
            copyText(a.signal, r.alarms[i].signal.c_str());
            copyText(a.code, r.alarms[i].code.c_str());
            copyText(a.text, r.alarms[i].text.c_str());
            a.active = r.alarms[i].active;
        }

        // One point per second: a round within the same second as the last
        // point replaces it, so fast polling still covers minutes. A restored
        // record is no reading of this moment: it gets no point.
        const std::size_t last = (slot->trend_next + kTrendPoints - 1) % kTrendPoints;
        if (r.source != RecordSource::Poll) {
            // nothing to draw
        } else if (slot->trend_count > 0 &&
                   slot->trend[last].unix_ms / 1000 == point.unix_ms / 1000) {
            slot->trend[last] = point;
        } else {
            slot->trend[slot->trend_next] = point;
            slot->trend_next = (slot->trend_next + 1) % kTrendPoints;
            slot->trend_count = std::min(slot->trend_count + 1, kTrendPoints);
        }
    }
    generation_.fetch_add(1, std::memory_order_relaxed);
}

void LiveState::stall(const StallReport& r)
{
    Slot* slot = slotOf(r.device);
    if (!slot)
        return;
    {
        const std::lock_guard<std::mutex> lock(slot->mutex);
        LiveStatus& s = slot->status;
        copyStats(s, *r.stats);
        s.has_stall = true;
        s.last_stall = r.when;
        s.last_stall_reason = r.reason;
        s.last_stall_register = r.awaited_register;
        if (s.link == LinkState::Answering || s.link == LinkState::Starting ||
            s.link == LinkState::Stalling)
            s.link = r.stats->consecutive_stalls >= kStallsBeforeWarning ? LinkState::NotAnswering
                                                                         : LinkState::Stalling;
    }
    generation_.fetch_add(1, std::memory_order_relaxed);
}

void LiveState::event(const EventReport& e)
{
    Slot* slot = slotOf(e.device);
    if (!slot)
        return;
    {
        const std::lock_guard<std::mutex> lock(slot->mutex);
        LiveStatus& s = slot->status;
        copyStats(s, *e.stats);
        switch (e.event) {
            case DeviceEvent::NotAnswering:
                s.link = LinkState::NotAnswering;
                break;
            case DeviceEvent::AnsweringAgain:
                s.link = LinkState::Answering;
                break;
            case DeviceEvent::PortLost:
                s.link = LinkState::LineLost;
                break;
            case DeviceEvent::PortReopened:
                s.link = LinkState::Starting;
                break;
            default:
                break;
        }
    }
    generation_.fetch_add(1, std::memory_order_relaxed);
}

std::size_t LiveState::deviceCount() const
{
    return slots_.size();
}

const LiveIdentity& LiveState::identity(std::size_t device) const
{
    return slots_.at(device)->identity;
}

LiveStatus LiveState::status(std::size_t device) const
{
    const Slot& slot = *slots_.at(device);
    const std::lock_guard<std::mutex> lock(slot.mutex);
    return slot.status;
}

std::vector<TrendPoint> LiveState::trend(std::size_t device, int64_t after_unix_ms) const
{
    const Slot& slot = *slots_.at(device);
    std::vector<TrendPoint> points;
    points.reserve(kTrendPoints);
    {
        const std::lock_guard<std::mutex> lock(slot.mutex);
        const std::size_t first =
            (slot.trend_next + kTrendPoints - slot.trend_count) % kTrendPoints;
        for (std::size_t i = 0; i < slot.trend_count; ++i) {
            const TrendPoint& p = slot.trend[(first + i) % kTrendPoints];
            if (p.unix_ms > after_unix_ms)
                points.push_back(p);
        }
    }
    return points;
}

namespace {

class LiveStateFeed : public OutputSink {
public:
    LiveStateFeed(LiveState& state, OutputSink& next) : state_(state), next_(next) {}

    void round(const RoundReport& r) override
    {
        state_.round(r);
        next_.round(r);
    }
    void stall(const StallReport& r) override
    {
        state_.stall(r);
        next_.stall(r);
    }
    void event(const EventReport& e) override
    {
        state_.event(e);
        next_.event(e);
    }
    void summary(const DeviceSpec* const* devices, const DeviceStats* const* stats,
                 std::size_t count) override
    {
        next_.summary(devices, stats, count);
    }
    // The values are asked once a second; the live view (--watch) holds
    // frames back until woken.
    TimePoint wakeAt() const override { return std::min(next_ask_, next_.wakeAt()); }
    void onWake(TimePoint now) override
    {
        if (now >= next_ask_) {
            state_.askValues();
            next_ask_ = now + std::chrono::seconds(1);
        }
        if (now >= next_.wakeAt())
            next_.onWake(now);
    }

private:
    LiveState& state_;
    OutputSink& next_;
    TimePoint next_ask_{};  // at once, then every second
};

}  // namespace

std::unique_ptr<OutputSink> feedLiveState(LiveState& state, OutputSink& next)
{
    return std::make_unique<LiveStateFeed>(state, next);
}

}  // namespace keltool
