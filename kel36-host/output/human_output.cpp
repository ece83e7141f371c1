// Human output: one line per completed round and per noteworthy event, and
// the summary. Single stalls are not printed (a round line says how many came
// before it); three in a row give one warning, the next round one line.

#include <charconv>
#include <iterator>
#include <cstdarg>
#include <cstring>
#include <vector>

#include "kel36-host/config/device_name.h"
#include "kel36-host/config/host_config.h"
#include "kel36-host/output/outputs.h"

namespace keltool {
namespace {

// For the journal (--service) every line starts with its syslog level, as
// journald reads it ("<4>" a warning), and no clock (the journal keeps the
// time); a round is logged when it is a device's first or its alarms changed,
// not once a second.
constexpr const char* kInfo = "<6>";
constexpr const char* kWarning = "<4>";
constexpr const char* kError = "<3>";

class HumanOutput : public OutputSink {
public:
    HumanOutput(std::FILE* out, bool journal) : out_(out), journal_(journal) {}

    // The line of every round is put together piece by piece, not through
    // printf: it is the one line per round, and its cost is the host's.
    void round(const RoundReport& r) override
    {
        bool any_active = false;
        for (std::size_t i = 0; i < r.alarm_count; ++i)
            any_active |= r.alarms[i].active;
        if (journal_ && !alarmsChanged(r))
            return;
        start(r.when, r.device->name.c_str(), any_active ? kWarning : kInfo);
        if (r.source == RecordSource::Cache) {
            put("  restored record");
        } else {
            put("  round ");
            putNumber(r.stats->rounds);
        }
        for (const ValueReading& v : r.values) {
            put("  ");
            put(v.name);
            if (v.ok) {
                put(" ");
                putValue(v.value);
                put(" ");
                put(v.unit);
            } else {
                put(" -- (");
                put(v.error);
                put(")");
            }
        }
        if (r.battery_reported) {
            put("  battery ");
            putValue(r.battery_voltage);
            put(" V");
        }
        put("  alarms:");
        bool any = false;
        for (std::size_t i = 0; i < r.alarm_count; ++i) {
            const AlarmState& a = r.alarms[i];
            if (!a.active)
                continue;
            put(any ? ", " : " ");
            put(a.signal.c_str());
            put(" ");
            put(a.text.c_str());
            put(" (");
            put(a.code.c_str());
            put(")");
            any = true;
        }
        if (!any)
            put(" none");
        if (r.source == RecordSource::Poll) {
            put("  ");
            putMillis(r.duration_ms);
            put(" ms");
        }
        if (r.stalls_before > 0 && r.stalls_before < kStallsBeforeWarning)
            add("  (after %llu stall%s)", static_cast<unsigned long long>(r.stalls_before),
                r.stalls_before == 1 ? "" : "s");
        finish();
    }

    void stall(const StallReport& r) override
    {
        // Remembered for the warning that three stalls in a row give, and
        // formatted only if that comes.
        LastStall& last = lastStallOf(r.device);
        last.seen = true;
        last.reason = r.reason;
        last.awaited_register = r.awaited_register;
    }

    void event(const EventReport& e) override
    {
        const bool warning = e.event != DeviceEvent::Started && e.event != DeviceEvent::AnsweringAgain &&
                             e.event != DeviceEvent::PortReopened &&
                             e.event != DeviceEvent::CacheRestored;
        start(e.when, e.device->name.c_str(),
              e.event == DeviceEvent::GaveUp ? kError : warning ? kWarning : kInfo);
        // Details name port and cache paths, which may hold any byte.
        const std::string shown = shownText(e.detail);
        const char* const detail = shown.c_str();
        switch (e.event) {
            case DeviceEvent::Started:
                add("  polling %s", detail);
                break;
            case DeviceEvent::NotAnswering: {
                const LastStall& last = lastStallOf(e.device);
                add("  WARNING device stopped answering: %llu stalls in a row (last: %s",
                    static_cast<unsigned long long>(e.stats->consecutive_stalls),
                    last.seen ? stallReasonText(last.reason) : "none");
                if (last.seen && last.awaited_register >= 0)
                    add(", register %d", last.awaited_register);
                add(")");
                break;
            }
            case DeviceEvent::AnsweringAgain:
                add("  device answers again after %llu stalls",
                    static_cast<unsigned long long>(e.stats->consecutive_stalls));
                break;
            case DeviceEvent::PortLost:
                add("  WARNING port lost (%s); reopening", detail);
                break;
            case DeviceEvent::PortReopened:
                add("  port reopened: %s", detail);
                break;
            case DeviceEvent::CacheRestored:
                add("  cached record restored from %s", detail);
                break;
            case DeviceEvent::CacheRefused:
                add("  WARNING cached record not restored: %s", detail);
                break;
            case DeviceEvent::Warning:
                add("  WARNING %s", detail);
                break;
            case DeviceEvent::GaveUp:
                add("  GIVING UP: %s", detail);
                break;
            case DeviceEvent::RunEnded:
            case DeviceEvent::AlarmRaised:
            case DeviceEvent::AlarmCleared:
                add("  %s %s", deviceEventName(e.event), e.detail);
                break;
        }
        finish();
    }

    void summary(const DeviceSpec* const* devices, const DeviceStats* const* stats,
                 std::size_t count) override
    {
        for (std::size_t i = 0; i < count; ++i) {
            used_ = 0;
            if (journal_)
                put(kInfo);
            add("summary %s: %llu rounds, %llu stalls, round time mean %.1f ms, max %.1f ms",
                devices[i]->name.c_str(), static_cast<unsigned long long>(stats[i]->rounds),
                static_cast<unsigned long long>(stats[i]->stalls), stats[i]->meanRoundMs(),
                stats[i]->max_round_ms);
            finish();
        }
    }

private:
    struct LastStall {
        const DeviceSpec* device = nullptr;
        bool seen = false;
        StallReason reason = StallReason::NoReply;
        int awaited_register = -1;
        bool logged = false;         // journal: a round of this device was logged
        uint32_t active_alarms = 0;  // journal: the alarms of that round
    };

    LastStall& lastStallOf(const DeviceSpec* device)
    {
        for (LastStall& s : last_stalls_)
            if (s.device == device)
                return s;
        last_stalls_.emplace_back();
        last_stalls_.back().device = device;
        return last_stalls_.back();
    }

    void start(const WallTime& when, const char* device, const char* level)
    {
        used_ = 0;
        if (journal_) {
            put(level);
        } else {
            char stamp[24];
            formatClock(when, stamp, sizeof stamp);
            put(stamp);
            put(" ");
        }
        put(device);
    }

    // The device's active alarms as a bit set, kept per device.
    bool alarmsChanged(const RoundReport& r)
    {
        uint32_t active = 0;
        for (std::size_t i = 0; i < r.alarm_count && i < 32; ++i)
            if (r.alarms[i].active)
                active |= 1u << i;
        LastStall& last = lastStallOf(r.device);
        const bool changed = !last.logged || last.active_alarms != active;
        last.logged = true;
        last.active_alarms = active;
        return changed;
    }

    void put(const char* text)
    {
        const std::size_t length =
            std::min(std::strlen(text), sizeof line_ - 1 - std::min(used_, sizeof line_ - 1));
        std::memcpy(line_ + used_, text, length);
        used_ += length;
    }

    template <typename... Format>
    void putChars(Format... format)
    {
        const auto written = std::to_chars(line_ + used_, line_ + sizeof line_ - 1, format...);
        if (written.ec == std::errc())
            used_ = static_cast<std::size_t>(written.ptr - line_);
    }
    void putNumber(unsigned long long n) { putChars(n); }
    // As "%.6g" and "%.1f" print them.
    void putValue(float value)
    {
        putChars(static_cast<double>(value), std::chars_format::general, 6);
    }
    void putMillis(double ms) { putChars(ms, std::chars_format::fixed, 1); }

    __attribute__((format(printf, 2, 3))) void add(const char* format, ...)
    {
        if (used_ >= sizeof line_)
            return;
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(line_ + used_, sizeof line_ - used_, format, args);
        va_end(args);
        if (n > 0)
            used_ = std::min(sizeof line_ - 1, used_ + static_cast<std::size_t>(n));
    }

    void finish()
    {
        line_[used_] = '\n';
        std::fwrite(line_, 1, used_ + 1, out_);
        std::fflush(out_);
    }

    std::FILE* out_;
    bool journal_;
    char line_[2048];
    std::size_t used_ = 0;
    std::vector<LastStall> last_stalls_;
};

}  // namespace

std::unique_ptr<OutputSink> makeHumanOutput(std::FILE* out, bool journal)
{
    return std::make_unique<HumanOutput>(out, journal);
}

namespace {

struct StallReasonWords {
    const char* name;  // in JSON
    const char* text;  // for people
};

// In the order of StallReason.
constexpr StallReasonWords kStallReasonWords[] = {
    {"no_reply", "no reply within the time-out"},
    {"refused", "reply refused by the driver"},
    {"write_blocked", "the line did not take the request (output buffer full)"},
};
static_assert(std::size(kStallReasonWords) == kStallReasonCount, "one name per stall reason");

}  // namespace

const char* stallReasonText(StallReason reason)
{
    return kStallReasonWords[static_cast<int>(reason)].text;
}

const char* stallReasonName(StallReason reason)
{
    return kStallReasonWords[static_cast<int>(reason)].name;
}

bool stallReasonFromName(const std::string& name, StallReason* reason)
{
    for (std::size_t i = 0; i < std::size(kStallReasonWords); ++i)
        if (name == kStallReasonWords[i].name) {
            *reason = static_cast<StallReason>(i);
            return true;
        }
    return false;
}

std::unique_ptr<OutputSink> makeOutput(OutputMode mode, std::FILE* out, bool journal)
{
    switch (mode) {
        case OutputMode::Json:
            return makeJsonOutput(out);
        case OutputMode::Watch:
            return makeWatchOutput(out);
        case OutputMode::Human:
            break;
    }
    return makeHumanOutput(out, journal);
}

}  // namespace keltool
