#pragma once
// Named quantities of a scenario and how they map onto registers. The mapping
// is the inverse of the host's register map: what a poller reading these
// registers should show.

#include <string>

#include "simulator.h"

namespace kelsim {

// The named quantities a scenario's registers stand for.
struct Quantities {
    double uab = 0, ubc = 0, uca = 0;  // line voltages, V
    double frequency = 0;              // Hz
    double ua = 0, ub = 0, uc = 0;     // phase voltages, V
    double battery_voltage = 0;        // V
    bool a_5 = false, a_6 = false, a_7 = false, b_2 = false, b_6 = false;
};

Quantities quantitiesOf(const Scenario& scenario);

// Sets one named measured quantity ("uab", ..., "battery_voltage").
// Throws std::invalid_argument with the reason (out of range, not a multiple
// of the register's resolution, unknown name).
void setQuantity(Scenario& scenario, const std::string& name, double value);
// Sets one alarm signal ("a_5", "a_6", "a_7", "b_2", "b_6").
void setAlarm(Scenario& scenario, const std::string& name, bool active);

// Register and bit of an alarm signal; false for an unknown name.
bool alarmBit(const std::string& name, int* reg, int* bit);

}  // namespace kelsim
