#pragma once
// The hold-off stage: between the device runners and the outputs, it passes
// everything on unchanged and tells its listeners (the event hook, the
// broker) the events people act on, once each has held long enough that a
// flapping alarm or a line that drops a round now and then does not wake
// anyone.
//
// - An alarm is raised once a round shows it still active `alarm` after the
//   round that first showed it; it is cleared once a round shows it still
//   clear `alarm` after the first round that showed it clear. Either way a
//   change back within the hold-off cancels it. An alarm of the device's first
//   record (polled or restored) is marked found_at_start.
// - not_answering and port_lost are announced once they have lasted their
//   hold-off (the loop wakes the stage for it: no round comes); their way
//   back is announced at once, and only after the loss was.
// - gave_up is announced as it happens; the other events are not announced.
// Each event carries the values of the device's last record while they are
// current (read at most kFreshSeconds ago), none after that.

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "kel36-host/events/announced_event.h"
#include "kel36-host/output/reports.h"

namespace keltool {

struct EventHoldTimes {
    std::chrono::milliseconds alarm{10000};
    std::chrono::milliseconds not_answering{30000};
    std::chrono::milliseconds port_lost{30000};
};

class EventHoldStage : public OutputSink {
public:
    using Clock = std::function<TimePoint()>;
    // `clock` is the loop's steady clock; tests pass their own.
    EventHoldStage(OutputSink& next, std::vector<EventListener*> listeners, EventHoldTimes holds,
                   Clock clock = SteadyClock::now);

    void round(const RoundReport& report) override;
    void stall(const StallReport& report) override;
    void event(const EventReport& report) override;
    void summary(const DeviceSpec* const* devices, const DeviceStats* const* stats,
                 std::size_t count) override;
    TimePoint wakeAt() const override;
    void onWake(TimePoint now) override;

private:
    struct AlarmTrack {
        bool active = false;     // as the last round showed it
        bool announced = false;  // alarm_raised told, alarm_cleared not yet
        bool found_at_start = false;
        TimePoint changed{};  // the first round that showed the current state
        WallTime changed_when;
        std::string code, text;
    };
    // not_answering or port_lost, until its way back.
    struct LossTrack {
        bool down = false;
        bool announced = false;
        TimePoint since{};
        WallTime when;
        std::string detail;
    };
    struct DeviceTrack {
        const DeviceSpec* device = nullptr;
        bool had_record = false;
        std::map<std::string, AlarmTrack> alarms;
        LossTrack not_answering, port_lost;
        std::array<ValueReading, kValueCount> values{};
        bool battery_reported = false;
        float battery_voltage = 0.0f;
        bool values_known = false;
        TimePoint values_read{};  // when the controller gave them
    };

    DeviceTrack& track(const DeviceSpec* device);
    void alarmSeen(DeviceTrack& d, const AlarmState& alarm, const RoundReport& report,
                   TimePoint now);
    void lossBegins(LossTrack& loss, const EventReport& report, TimePoint now);
    void lossEnds(DeviceTrack& d, LossTrack& loss, DeviceEvent back, const EventReport& report);
    void fireDueLosses(TimePoint now);
    AnnouncedEvent base(const DeviceTrack& d, DeviceEvent event, const WallTime& when);
    void announce(const AnnouncedEvent& event);

    OutputSink& next_;
    std::vector<EventListener*> listeners_;
    EventHoldTimes holds_;
    Clock clock_;
    std::vector<DeviceTrack> devices_;  // a handful: searched in order
};

}  // namespace keltool
