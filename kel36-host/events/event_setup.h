#pragma once
// The events' part of a run, as the session sets it up: the hook from the
// options (checked before polling), the hold-offs, and --test-event.

#include <cstdio>
#include <memory>
#include <vector>

#include "kel36-host/events/event_hold.h"
#include "kel36-host/events/event_hook.h"

namespace keltool {

struct DeviceSpec;
struct ToolOptions;
struct EventOptions;

// Descriptors the hook's running programs hold at most (their pipes).
std::size_t hookDescriptors(const EventHookSettings& settings);

// Null when no hook is configured; throws ToolError when it cannot be run.
std::unique_ptr<EventHook> makeEventHook(const ToolOptions& options, std::FILE* log);

EventHoldTimes holdTimes(const EventOptions& events);

// Runs the hook once for a made-up alarm_raised of the chosen device; the
// exit status reports the program's (124: killed at its time-out).
int runTestEvent(const ToolOptions& options, const std::vector<DeviceSpec>& devices,
                 std::FILE* log);

}  // namespace keltool
