#include "kel36-host/output/event_names.h"

#include <iterator>

namespace keltool {
namespace {

// Warnings are about the tool itself (a cache or history it cannot write),
// so the history does not keep them.
constexpr EventName kEventNames[] = {
    {DeviceEvent::Started, "started", true, "the device's line is open and polling begins"},
    {DeviceEvent::NotAnswering, "not_answering", true,
     "the device stalled 3 rounds in a row: it stopped answering"},
    {DeviceEvent::AnsweringAgain, "answering_again", true,
     "the first completed round after not_answering"},
    {DeviceEvent::PortLost, "port_lost", true,
     "the serial port went away (unplugged adapter, read error); it is reopened"},
    {DeviceEvent::PortReopened, "port_reopened", true, "the lost port is open again"},
    {DeviceEvent::CacheRestored, "cache_restored", true,
     "the driver took the cached record at start-up"},
    {DeviceEvent::CacheRefused, "cache_refused", true,
     "the cached record was not restored (not this device's, or refused by the driver)"},
    {DeviceEvent::Warning, "warning", false,
     "anything else worth a line, about the tool itself (a cache or history it cannot write)"},
    {DeviceEvent::GaveUp, "gave_up", true,
     "no completed round for the --give-up time: the run ends"},
    {DeviceEvent::RunEnded, "run_ended", true, "the run ended; the detail gives its counts"},
    // Announced after their hold-off only; the history has the records that show them.
    {DeviceEvent::AlarmRaised, "alarm_raised", false,
     "an alarm became active and stayed so for its hold-off"},
    {DeviceEvent::AlarmCleared, "alarm_cleared", false,
     "a told alarm ended and stayed clear for its hold-off"},
};

static_assert(std::size(kEventNames) == static_cast<std::size_t>(DeviceEvent::AlarmCleared) + 1,
              "one name per event");

}  // namespace

const EventName* eventNames()
{
    return kEventNames;
}

std::size_t eventNameCount()
{
    return std::size(kEventNames);
}

const char* deviceEventName(DeviceEvent event)
{
    const auto i = static_cast<std::size_t>(event);
    return i < std::size(kEventNames) ? kEventNames[i].name : "warning";
}

bool eventIsStored(DeviceEvent event)
{
    const auto i = static_cast<std::size_t>(event);
    return i < std::size(kEventNames) && kEventNames[i].stored;
}

bool deviceEventFromName(const std::string& name, DeviceEvent* event)
{
    for (const EventName& e : kEventNames)
        if (name == e.name) {
            *event = e.event;
            return true;
        }
    return false;
}

}  // namespace keltool
