#pragma once
// What the device runners tell the output: completed rounds, stalls, the
// edge-triggered answering state, port loss, and the closing summary. Reports
// point at the runner's own storage; they are valid during the call only.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "kel36-host/output/event_names.h"
#include "kel36-host/output/record_decoder.h"
#include "kel36-host/wall_clock.h"

namespace keltool {

struct DeviceSpec;

// After this many stalls in a row a device counts as not answering.
constexpr uint64_t kStallsBeforeWarning = 3;

struct DeviceStats {
    uint64_t rounds = 0;
    uint64_t stalls = 0;
    uint64_t consecutive_stalls = 0;
    double total_round_ms = 0.0;
    double max_round_ms = 0.0;
    double meanRoundMs() const
    {
        return rounds ? total_round_ms / static_cast<double>(rounds) : 0.0;
    }
};

// One value read through Get_Value.
struct ValueReading {
    const char* name = "";
    const char* unit = "";
    bool ok = false;
    float value = 0.0f;
    char error[64] = "";  // the refusal's message when !ok
};

constexpr std::size_t kValueCount = 7;

// The values Get_Value answers, by signal name, in the order views show them.
struct ValueName {
    const char* name;
    const char* unit;
};
inline constexpr ValueName kValueNames[kValueCount] = {
    {"uab", "V"}, {"ubc", "V"}, {"uca", "V"}, {"frequency", "Hz"},
    {"ua", "V"},  {"ub", "V"},  {"uc", "V"},
};
constexpr std::size_t kMaxAlarms = 8;

struct AlarmState {
    std::string signal;
    std::string code;
    std::string text;
    bool active = false;
};

enum class RecordSource { Poll, Cache };

struct RoundReport {
    const DeviceSpec* device = nullptr;
    const DeviceStats* stats = nullptr;
    RecordSource source = RecordSource::Poll;
    WallTime when;
    // When the record's values were read from the controller: `when` for a
    // polled record; for a restored one the time stamp it carried in the
    // cache (the restore stamps it anew), unknown when it carried none.
    WallTime polled;
    bool polled_known = true;
    double duration_ms = 0.0;    // RefreshStatus to the published record
    uint64_t stalls_before = 0;  // stalls in a row just before this round
    std::array<ValueReading, kValueCount> values{};
    bool battery_reported = false;
    float battery_voltage = 0.0f;
    const AlarmState* alarms = nullptr;
    std::size_t alarm_count = 0;
    const RecordBytes* record = nullptr;
};

// The seven values as Get_Value answers them at one moment, and the age of
// the last record by its own time stamp (the battery voltage, which Get_Value
// does not answer, is judged from it by the same 60-second rule).
struct ValueAnswers {
    std::array<ValueReading, kValueCount> values{};
    bool record_time_known = false;
    long long record_age_s = 0;  // whole seconds of the local clock; negative when set back
};

// Get_Value refuses values older than this; the battery voltage follows it.
constexpr long long kFreshSeconds = 60;

enum class StallReason {
    NoReply,       // no complete reply within the time-out
    Refused,       // the driver refused the reply
    WriteBlocked,  // the line did not take a request at once (its output buffer is full)
};
// New reasons go at the end; the history's stalls table stores exactly these
// (a new one is a schema step, see history_schema.cpp).
constexpr std::size_t kStallReasonCount = 3;

struct StallReport {
    const DeviceSpec* device = nullptr;
    const DeviceStats* stats = nullptr;
    WallTime when;
    StallReason reason = StallReason::NoReply;
    int awaited_register = -1;  // register of the last request, -1 when unknown
    unsigned int poll_step = 0;
    double elapsed_ms = 0.0;  // since the round started
};

struct EventReport {
    const DeviceSpec* device = nullptr;
    const DeviceStats* stats = nullptr;
    WallTime when;
    DeviceEvent event = DeviceEvent::Warning;
    const char* detail = "";
};

class OutputSink {
public:
    virtual ~OutputSink() = default;
    virtual void round(const RoundReport& report) = 0;
    virtual void stall(const StallReport& report) = 0;
    virtual void event(const EventReport& report) = 0;
    // Once at the end, one entry per device.
    virtual void summary(const DeviceSpec* const* devices, const DeviceStats* const* stats,
                         std::size_t count) = 0;
    // An output that holds back what it was told (the live view between its
    // frames) says when it wants to be woken to write it.
    virtual TimePoint wakeAt() const { return TimePoint::max(); }
    virtual void onWake(TimePoint now) { (void)now; }
};

}  // namespace keltool
