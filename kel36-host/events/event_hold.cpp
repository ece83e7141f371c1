#include "kel36-host/events/event_hold.h"

#include <algorithm>
#include <utility>

#include "kel36-host/config/host_config.h"

namespace keltool {

EventHoldStage::EventHoldStage(OutputSink& next, std::vector<EventListener*> listeners,
                               EventHoldTimes holds, Clock clock)
    : next_(next), listeners_(std::move(listeners)), holds_(holds), clock_(std::move(clock))
{
}

EventHoldStage::DeviceTrack& EventHoldStage::track(const DeviceSpec* device)
{
    for (DeviceTrack& d : devices_)
        if (d.device == device)
            return d;
    devices_.emplace_back();
    devices_.back().device = device;
    return devices_.back();
}

void EventHoldStage::round(const RoundReport& report)
{
    next_.round(report);
    const TimePoint now = clock_();
    DeviceTrack& d = track(report.device);
    d.values = report.values;
    d.battery_reported = report.battery_reported;
    d.battery_voltage = report.battery_voltage;
    // A restored record's values are as old as its time stamp says.
    d.values_known = report.source == RecordSource::Poll || report.polled_known;
    d.values_read = now;
    if (report.source == RecordSource::Cache && report.polled_known)
        d.values_read -= std::chrono::seconds(report.when.seconds - report.polled.seconds);
    for (std::size_t i = 0; i < report.alarm_count; ++i)
        alarmSeen(d, report.alarms[i], report, now);
    d.had_record = true;
}

void EventHoldStage::alarmSeen(DeviceTrack& d, const AlarmState& alarm, const RoundReport& report,
                               TimePoint now)
{
    AlarmTrack& a = d.alarms[alarm.signal];
    if (alarm.active != a.active) {
        a.active = alarm.active;
        a.changed = now;
        a.changed_when = report.when;
        if (alarm.active)
            a.found_at_start = !d.had_record;
    }
    if (a.active) {
        a.code = alarm.code;
        a.text = alarm.text;
    }
    // Held: the state differs from what was last told and has lasted.
    if (a.active == a.announced || now - a.changed < holds_.alarm)
        return;
    a.announced = a.active;
    AnnouncedEvent e =
        base(d, a.active ? DeviceEvent::AlarmRaised : DeviceEvent::AlarmCleared, a.changed_when);
    e.signal = alarm.signal;
    e.code = a.code;
    e.text = a.text;
    e.found_at_start = a.found_at_start;
    announce(e);
}

void EventHoldStage::stall(const StallReport& report)
{
    next_.stall(report);
}

void EventHoldStage::event(const EventReport& report)
{
    next_.event(report);
    const TimePoint now = clock_();
    DeviceTrack& d = track(report.device);
    switch (report.event) {
        case DeviceEvent::NotAnswering:
            lossBegins(d.not_answering, report, now);
            break;
        case DeviceEvent::AnsweringAgain:
            lossEnds(d, d.not_answering, DeviceEvent::AnsweringAgain, report);
            break;
        case DeviceEvent::PortLost:
            lossBegins(d.port_lost, report, now);
            break;
        case DeviceEvent::PortReopened:
            lossEnds(d, d.port_lost, DeviceEvent::PortReopened, report);
            break;
        case DeviceEvent::GaveUp: {
            AnnouncedEvent e = base(d, DeviceEvent::GaveUp, report.when);
            e.detail = report.detail;
            announce(e);
            break;
        }
        default:  // about the tool or the run, not the generator
            break;
    }
    fireDueLosses(now);  // a hold-off of 0 is told at once
}

void EventHoldStage::lossBegins(LossTrack& loss, const EventReport& report, TimePoint now)
{
    if (loss.down)
        return;
    loss = LossTrack{};
    loss.down = true;
    loss.since = now;
    loss.when = report.when;
    loss.detail = report.detail;
}

void EventHoldStage::lossEnds(DeviceTrack& d, LossTrack& loss, DeviceEvent back,
                              const EventReport& report)
{
    const bool told = loss.down && loss.announced;
    loss = LossTrack{};
    if (!told)
        return;  // lost for less than its hold-off: nobody was told
    AnnouncedEvent e = base(d, back, report.when);
    e.detail = report.detail;
    announce(e);
}

void EventHoldStage::fireDueLosses(TimePoint now)
{
    for (DeviceTrack& d : devices_) {
        const std::pair<LossTrack*, DeviceEvent> losses[] = {
            {&d.not_answering, DeviceEvent::NotAnswering}, {&d.port_lost, DeviceEvent::PortLost}};
        for (const auto& [loss, event] : losses) {
            const auto hold =
                event == DeviceEvent::NotAnswering ? holds_.not_answering : holds_.port_lost;
            if (!loss->down || loss->announced || now - loss->since < hold)
                continue;
            loss->announced = true;
            AnnouncedEvent e = base(d, event, loss->when);
            e.detail = loss->detail;
            announce(e);
        }
    }
}

void EventHoldStage::summary(const DeviceSpec* const* devices, const DeviceStats* const* stats,
                             std::size_t count)
{
    // What is still held at the end never held long enough: it is not told.
    next_.summary(devices, stats, count);
}

TimePoint EventHoldStage::wakeAt() const
{
    TimePoint earliest = next_.wakeAt();
    for (const DeviceTrack& d : devices_) {
        if (d.not_answering.down && !d.not_answering.announced)
            earliest = std::min(earliest, d.not_answering.since + holds_.not_answering);
        if (d.port_lost.down && !d.port_lost.announced)
            earliest = std::min(earliest, d.port_lost.since + holds_.port_lost);
    }
    return earliest;
}

void EventHoldStage::onWake(TimePoint now)
{
    if (next_.wakeAt() <= now)
        next_.onWake(now);
    fireDueLosses(now);
}

AnnouncedEvent EventHoldStage::base(const DeviceTrack& d, DeviceEvent event,
                                    const WallTime& when)
{
    AnnouncedEvent e;
    e.event = event;
    e.device = d.device ? d.device->name : std::string();
    e.data_id = d.device ? d.device->data_id : 0;
    e.when = when;
    if (d.values_known && clock_() - d.values_read <= std::chrono::seconds(kFreshSeconds)) {
        e.values = d.values;
        e.battery_reported = d.battery_reported;
        e.battery_voltage = d.battery_voltage;
    }
    return e;
}

void EventHoldStage::announce(const AnnouncedEvent& event)
{
    for (EventListener* listener : listeners_)
        listener->announce(event);
}

}  // namespace keltool
