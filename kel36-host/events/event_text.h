#pragma once
// An announced event as the hook program gets it: KEL36_* environment
// variables and the same event as one JSON line on its standard input.

#include <string>
#include <vector>

#include "kel36-host/events/announced_event.h"

namespace keltool {

// "2026-12-09T22:31:05.123Z"
std::string utcIsoTime(const WallTime& when);

// "KEL36_EVENT=alarm_raised", ...: the alarm's variables for alarms only, a
// value's only when the record held it, the flags only when set.
std::vector<std::string> eventEnvironment(const AnnouncedEvent& event);

// One JSON object and '\n'; a value the record did not hold is null.
std::string eventJsonLine(const AnnouncedEvent& event);

// "alarm_raised kel36 a_7": what log lines name the event by.
std::string eventLabel(const AnnouncedEvent& event);

}  // namespace keltool
