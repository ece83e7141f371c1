#pragma once
// One-line descriptions of a controller for people: the banner, the
// statistics on exit and the answer to the control command "state".

#include <string>

#include "simulator.h"

namespace kelsim {

// "12.345 s": timeline positions, to the millisecond.
std::string formatSeconds(double s);
// "uab 400.50 V, ..., battery 27.6 V, alarms: a_7 b_2" (or "alarms: none").
std::string describeQuantities(const Scenario& image);
// "drop 0.05, split 0.2, seed 7", or "none".
std::string describeFaults(const Faults& faults);
// "3 steps, period 40 s" or "none".
std::string describeTimeline(const Timeline& timeline);
// "timeline 3 steps, elapsed 43.412 s, period 40 s (cycle 2 at 3.412 s), running".
std::string describePosition(const ControllerReport& report);
// "uab a_7 reg13", or "none".
std::string describeHeld(const std::vector<std::string>& held);
// The 65 registers, two hex digits each, register 0 first.
std::string registersHex(const Scenario& image);
// Position, quantities, held values, faults, counts and registers.
std::string describeState(const ControllerReport& report);

}  // namespace kelsim
