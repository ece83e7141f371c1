#pragma once
// The one list of events kel36-host tells: the "event" of --json's device
// lines, the `name` of the history's events table, and every later consumer
// (MQTT, hooks). A name, once given, keeps its meaning; new events are added
// at the end. docs/events.md is this list for people.

#include <cstddef>
#include <string>

namespace keltool {

enum class DeviceEvent {
    Started,         // the line is open, polling begins
    NotAnswering,    // kStallsBeforeWarning stalls in a row
    AnsweringAgain,  // first completed round after that
    PortLost,
    PortReopened,
    CacheRestored,  // the driver accepted the cached record (a round report follows)
    CacheRefused,   // not restored: not a record of this device, or the driver refused it
    Warning,        // anything else worth a line (a cache that cannot be written)
    GaveUp,         // no completed round for the --give-up time: the run ends
    RunEnded,       // the run ended for this device (the history's last word on it)
    AlarmRaised,    // an alarm became active and lasted its hold-off (kel36-host/events/)
    AlarmCleared,   // a raised alarm ended and stayed clear for its hold-off
};

struct EventName {
    DeviceEvent event;
    const char* name;     // "not_answering"
    bool stored;          // kept in the history's events table
    const char* meaning;  // for people
};

// Every event, in the order of DeviceEvent.
const EventName* eventNames();
std::size_t eventNameCount();

const char* deviceEventName(DeviceEvent event);
bool eventIsStored(DeviceEvent event);
// The event a name stands for; false for a name that is none.
bool deviceEventFromName(const std::string& name, DeviceEvent* event);

}  // namespace keltool
