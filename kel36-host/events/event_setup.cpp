#include "kel36-host/events/event_setup.h"

#include <sys/wait.h>

#include "kel36-host/config/host_config.h"
#include "kel36-host/config/options.h"
#include "kel36-host/tool_error.h"

namespace keltool {
namespace {

EventHookSettings hookSettings(const ToolOptions& options)
{
    EventHookSettings settings;
    settings.command = options.events.command;
    settings.timeout = std::chrono::seconds(options.events.timeout_s);
    settings.service = options.service;
    return settings;
}

// The test alarm: low oil pressure, a_7, with the values of a healthy set.
AnnouncedEvent testAlarm(const DeviceSpec& device)
{
    AnnouncedEvent e;
    e.event = DeviceEvent::AlarmRaised;
    e.device = device.name;
    e.data_id = device.data_id;
    e.when = WallTime::now();
    e.signal = "a_7";
    e.code = "05010";
    e.text = "低油压告警";
    e.test = true;
    const float values[kValueCount] = {400.0f, 400.0f, 400.0f, 50.0f, 231.0f, 231.0f, 231.0f};
    for (std::size_t i = 0; i < kValueCount; ++i) {
        e.values[i].name = kValueNames[i].name;
        e.values[i].unit = kValueNames[i].unit;
        e.values[i].ok = true;
        e.values[i].value = values[i];
    }
    e.battery_reported = true;
    e.battery_voltage = 27.6f;
    return e;
}

}  // namespace

std::size_t hookDescriptors(const EventHookSettings& settings)
{
    // Each running program's output pipe, and one starting program's four ends.
    return settings.parallel + 4;
}

std::unique_ptr<EventHook> makeEventHook(const ToolOptions& options, std::FILE* log)
{
    if (options.events.command.empty())
        return nullptr;
    return std::make_unique<EventHook>(hookSettings(options), log);
}

EventHoldTimes holdTimes(const EventOptions& events)
{
    EventHoldTimes holds;
    holds.alarm = std::chrono::seconds(events.alarm_hold_s);
    holds.not_answering = std::chrono::seconds(events.not_answering_hold_s);
    holds.port_lost = std::chrono::seconds(events.port_lost_hold_s);
    return holds;
}

int runTestEvent(const ToolOptions& options, const std::vector<DeviceSpec>& devices,
                 std::FILE* log)
{
    const DeviceSpec* device = &devices.front();
    if (!options.events.test_device.empty()) {
        device = nullptr;
        std::string names;
        for (const DeviceSpec& d : devices) {
            if (d.name == options.events.test_device)
                device = &d;
            names += (names.empty() ? "" : ", ") + d.name;
        }
        if (!device)
            throw ToolError("--device: no device " + options.events.test_device +
                            " is configured (devices: " + names + ")");
    }
    EventHookSettings settings = hookSettings(options);
    EventHook hook(settings, log);
    const int status = hook.runNow(testAlarm(*device));
    hook.finish(std::chrono::milliseconds(0));
    if (status < 0)
        return 124;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}

}  // namespace keltool
