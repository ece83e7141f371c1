#pragma once
// An event as it is announced to people and peers (the event hook, the
// broker's event topic): after its hold-off, with the device it concerns and
// the values of the record that carried it.

#include <array>
#include <cstdint>
#include <string>

#include "kel36-host/output/event_names.h"
#include "kel36-host/output/reports.h"
#include "kel36-host/wall_clock.h"

namespace keltool {

struct AnnouncedEvent {
    DeviceEvent event = DeviceEvent::Warning;
    std::string device;   // the device's name
    uint32_t data_id = 0;
    WallTime when;        // when it happened (not when its hold-off ended)
    std::string detail;
    // Alarms only.
    std::string signal;   // "a_7"
    std::string code;     // "05010"
    std::string text;     // UTF-8
    bool found_at_start = false;  // already active in the run's first record
    bool test = false;            // made up by --test-event
    // The last record's values: not ok where it held none, and none at all
    // once it is older than kFreshSeconds (the values are no longer current).
    std::array<ValueReading, kValueCount> values{};
    bool battery_reported = false;
    float battery_voltage = 0.0f;
};

// Told each announced event on the polling thread; must not block.
class EventListener {
public:
    virtual ~EventListener() = default;
    virtual void announce(const AnnouncedEvent& event) = 0;
};

}  // namespace keltool
