#include "kel36-host/store/history_recorder.h"

#include <string>
#include <vector>

#include "kel36-host/config/host_config.h"
#include "kel36-host/store/history_writer.h"

namespace keltool {
namespace {

class HistoryRecorder : public OutputSink {
public:
    HistoryRecorder(HistoryWriter& history, OutputSink& inner) : history_(history), inner_(inner) {}

    void round(const RoundReport& r) override
    {
        for (std::size_t i = 0; i < r.alarm_count; ++i)
            rememberAlarm(r.device->name, r.alarms[i]);
        inner_.round(r);
    }
    void stall(const StallReport& r) override
    {
        history_.stall(r.device->name, r.reason, r.awaited_register, r.when);
        inner_.stall(r);
    }
    void event(const EventReport& e) override
    {
        if (eventIsStored(e.event))
            history_.event(e.device->name, e.event, e.detail, e.when);
        inner_.event(e);
    }
    void summary(const DeviceSpec* const* devices, const DeviceStats* const* stats,
                 std::size_t count) override
    {
        const WallTime now = WallTime::now();
        for (std::size_t i = 0; i < count; ++i)
            history_.event(devices[i]->name, DeviceEvent::RunEnded,
                           std::to_string(stats[i]->rounds) + " rounds, " +
                               std::to_string(stats[i]->stalls) + " stalls",
                           now);
        inner_.summary(devices, stats, count);
    }
    TimePoint wakeAt() const override { return inner_.wakeAt(); }
    void onWake(TimePoint now) override { inner_.onWake(now); }

private:
    struct Known {
        std::string device, signal, code, text;
    };

    // Written when first seen and when the driver changes it, not every round.
    void rememberAlarm(const std::string& device, const AlarmState& alarm)
    {
        for (Known& k : known_) {
            if (k.device != device || k.signal != alarm.signal)
                continue;
            if (k.code == alarm.code && k.text == alarm.text)
                return;
            k.code = alarm.code;
            k.text = alarm.text;
            history_.alarmName(device, alarm.signal, alarm.code, alarm.text);
            return;
        }
        known_.push_back(Known{device, alarm.signal, alarm.code, alarm.text});
        history_.alarmName(device, alarm.signal, alarm.code, alarm.text);
    }

    HistoryWriter& history_;
    OutputSink& inner_;
    std::vector<Known> known_;
};

}  // namespace

std::unique_ptr<OutputSink> recordIntoHistory(HistoryWriter& history, OutputSink& inner)
{
    return std::make_unique<HistoryRecorder>(history, inner);
}

}  // namespace keltool
