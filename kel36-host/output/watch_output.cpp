// --watch: a live view of every device, redrawn in place with ANSI escapes
// (cursor home, clear to end of line / screen). The summary is printed below
// the last frame when the tool stops.
//
// The view has a frame rate: rounds, stalls and events only mark it changed,
// and a frame is drawn at most every kFrameMs (the event loop wakes the view
// for a change that came in between). However fast devices stall, the
// terminal gets at most 1000 / kFrameMs frames a second.

#include <algorithm>
#include <cstdarg>
#include <string>
#include <vector>

#include "kel36-host/config/device_name.h"
#include "kel36-host/config/host_config.h"
#include "kel36-host/output/outputs.h"

namespace keltool {
namespace {

constexpr int kFrameMs = 100;

class WatchOutput : public OutputSink {
public:
    explicit WatchOutput(std::FILE* out) : out_(out) { frame_.reserve(8192); }

    void round(const RoundReport& r) override
    {
        View& v = viewOf(r.device, r.stats);
        v.have_round = true;
        v.restored = r.source == RecordSource::Cache;
        v.when = r.when;
        v.duration_ms = r.duration_ms;
        v.values = r.values;
        v.battery_reported = r.battery_reported;
        v.battery = r.battery_voltage;
        v.alarms.clear();  // keeps its capacity: no allocation once it has grown
        for (std::size_t i = 0; i < r.alarm_count; ++i) {
            if (!r.alarms[i].active)
                continue;
            if (!v.alarms.empty())
                v.alarms += ", ";
            v.alarms += r.alarms[i].signal;
            v.alarms += ' ';
            v.alarms += r.alarms[i].text;
        }
        if (v.alarms.empty())
            v.alarms += "none";
        if (v.state != State::PortDown)
            v.state = State::Answering;
        changed();
    }

    void stall(const StallReport& r) override
    {
        View& v = viewOf(r.device, r.stats);
        v.last_stall = r.when;
        v.last_stall_register = r.awaited_register;
        v.last_stall_reason = r.reason;
        if (v.state == State::Answering || v.state == State::Starting)
            v.state = r.stats->consecutive_stalls >= kStallsBeforeWarning ? State::NotAnswering
                                                                          : State::Stalling;
        changed();
    }

    void event(const EventReport& e) override
    {
        View& v = viewOf(e.device, e.stats);
        switch (e.event) {
            case DeviceEvent::NotAnswering:
                v.state = State::NotAnswering;
                break;
            case DeviceEvent::AnsweringAgain:
                v.state = State::Answering;
                break;
            case DeviceEvent::PortLost:
                v.state = State::PortDown;
                break;
            case DeviceEvent::PortReopened:
                v.state = State::Starting;
                break;
            case DeviceEvent::GaveUp:
                v.state = State::GaveUp;
                break;
            default:
                break;
        }
        if (e.event == DeviceEvent::Warning || e.event == DeviceEvent::CacheRefused ||
            e.event == DeviceEvent::PortLost || e.event == DeviceEvent::GaveUp)
            v.note = shownText(e.detail);
        changed();
    }

    TimePoint wakeAt() const override
    {
        return pending_ ? last_draw_ + std::chrono::milliseconds(kFrameMs) : TimePoint::max();
    }

    void onWake(TimePoint now) override
    {
        if (pending_)
            draw(now);
    }

    void summary(const DeviceSpec* const* devices, const DeviceStats* const* stats,
                 std::size_t count) override
    {
        draw(SteadyClock::now());
        std::fputs("\x1b[?25h", out_);
        for (std::size_t i = 0; i < count; ++i)
            std::fprintf(
                out_,
                "summary %s: %llu rounds, %llu stalls, round time mean %.1f ms, max %.1f ms\n",
                devices[i]->name.c_str(), static_cast<unsigned long long>(stats[i]->rounds),
                static_cast<unsigned long long>(stats[i]->stalls), stats[i]->meanRoundMs(),
                stats[i]->max_round_ms);
        std::fflush(out_);
    }

private:
    enum class State { Starting, Answering, Stalling, NotAnswering, PortDown, GaveUp };

    struct View {
        const DeviceSpec* device = nullptr;
        const DeviceStats* stats = nullptr;
        State state = State::Starting;
        bool have_round = false;
        bool restored = false;
        WallTime when;
        double duration_ms = 0.0;
        std::array<ValueReading, kValueCount> values{};
        bool battery_reported = false;
        float battery = 0.0f;
        std::string alarms;
        WallTime last_stall;
        int last_stall_register = -1;
        StallReason last_stall_reason = StallReason::NoReply;
        std::string note;
    };

    View& viewOf(const DeviceSpec* device, const DeviceStats* stats)
    {
        for (View& v : views_)
            if (v.device == device)
                return v;
        views_.emplace_back();
        views_.back().device = device;
        views_.back().stats = stats;
        return views_.back();
    }

    static const char* stateText(State s)
    {
        switch (s) {
            case State::Starting:
                return "starting";
            case State::Answering:
                return "answering";
            case State::Stalling:
                return "stalling";
            case State::NotAnswering:
                return "NOT ANSWERING";
            case State::PortDown:
                return "PORT LOST, reopening";
            case State::GaveUp:
                return "GAVE UP";
        }
        return "";
    }

    __attribute__((format(printf, 2, 3))) void line(const char* format, ...)
    {
        char buf[1024];
        va_list args;
        va_start(args, format);
        std::vsnprintf(buf, sizeof buf, format, args);
        va_end(args);
        frame_ += buf;
        frame_ += "\x1b[K\n";
    }

    void changed()
    {
        pending_ = true;
        const TimePoint now = SteadyClock::now();
        if (!drawn_once_ || now >= wakeAt())
            draw(now);
    }

    void draw(TimePoint now)
    {
        pending_ = false;
        last_draw_ = now;
        frame_.clear();
        if (!drawn_once_)
            frame_ += "\x1b[2J\x1b[?25l";
        drawn_once_ = true;
        frame_ += "\x1b[H";
        char stamp[24];
        formatClock(WallTime::now(), stamp, sizeof stamp);
        line("kel36-host  %s  (Ctrl-C stops)", stamp);
        for (const View& v : views_) {
            line("%s", "");
            line("%s  data id %u  %s  [%s]", v.device->name.c_str(), v.device->data_id,
                 shownText(v.device->port).c_str(), stateText(v.state));
            if (v.have_round) {
                char when[24];
                formatClock(v.when, when, sizeof when);
                line("  last record  %s%s", when, v.restored ? " (restored from cache)" : "");
                for (std::size_t i = 0; i < kValueCount; i += 4) {
                    char row[320] = " ";
                    std::size_t used = 1;
                    for (std::size_t j = i; j < std::min(i + 4, kValueCount); ++j) {
                        const ValueReading& r = v.values[j];
                        const int n =
                            r.ok ? std::snprintf(row + used, sizeof row - used, " %-9s %10.6g %-2s",
                                                 r.name, static_cast<double>(r.value), r.unit)
                                 : std::snprintf(row + used, sizeof row - used, " %-9s %10s %-2s",
                                                 r.name, "--", r.unit);
                        used = std::min(sizeof row - 1,
                                        used + static_cast<std::size_t>(std::max(n, 0)));
                    }
                    line("%s", row);
                }
                if (v.battery_reported)
                    line("  battery      %.6g V", static_cast<double>(v.battery));
                line("  alarms       %s", v.alarms.c_str());
            } else {
                line("  no record yet");
            }
            line("  rounds %llu  stalls %llu (%llu in a row)  round time mean %.1f ms, max %.1f ms",
                 static_cast<unsigned long long>(v.stats->rounds),
                 static_cast<unsigned long long>(v.stats->stalls),
                 static_cast<unsigned long long>(v.stats->consecutive_stalls),
                 v.stats->meanRoundMs(), v.stats->max_round_ms);
            if (v.stats->stalls > 0) {
                char when[24];
                formatClock(v.last_stall, when, sizeof when);
                line("  last stall   %s, %s, register %d", when,
                     stallReasonText(v.last_stall_reason), v.last_stall_register);
            }
            if (!v.note.empty())
                line("  note         %s", v.note.c_str());
        }
        frame_ += "\x1b[J";
        std::fwrite(frame_.data(), 1, frame_.size(), out_);
        std::fflush(out_);
    }

    std::FILE* out_;
    std::vector<View> views_;
    std::string frame_;
    bool drawn_once_ = false;
    bool pending_ = false;  // changed since the last frame
    TimePoint last_draw_{};
};

}  // namespace

std::unique_ptr<OutputSink> makeWatchOutput(std::FILE* out)
{
    return std::make_unique<WatchOutput>(out);
}

}  // namespace keltool
