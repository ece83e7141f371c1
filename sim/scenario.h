#pragma once
// Named quantities of a scenario and how they map onto registers. The mapping
// is the inverse of the host's register map: what a poller reading these
// registers should show.

#include <cstdint>
#include <string>

#include "protocol.h"

namespace kelsim {

// Register values the simulated controller answers with (registers 0..64).
struct Scenario {
    uint8_t registers[kRegisterCount] = {};
};

// Builds a scenario from a JSON scenario file's text: named quantities and/or
// raw registers. A file with a timeline gives the image it starts from (see
// timeline/timeline.h for the whole of it). Throws std::runtime_error with a
// one-line reason naming the file and the JSON path.
Scenario parseScenario(const std::string& json_text, const std::string& source_name);
Scenario loadScenarioFile(const std::string& path);
Scenario defaultScenario();

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

// The measured quantities and alarm signals by name, in the order above.
extern const char* const kQuantityNames[8];
extern const char* const kAlarmNames[5];
bool isQuantity(const std::string& name);
bool isAlarm(const std::string& name);

// Registers a measured quantity is spread over (1 or 2), `regs` filled in;
// 0 for an unknown name.
int quantityRegisters(const std::string& name, int regs[2]);
const char* quantityUnit(const std::string& name);  // "V", "Hz"; "" when unknown

// The value the registers give a measured quantity.
// Throws std::invalid_argument for an unknown name.
double quantityValue(const Scenario& scenario, const std::string& name);

// Sets a measured quantity to the value nearest to `value` that its registers
// can carry, within their range: the points along a ramp.
void setQuantityNearest(Scenario& scenario, const std::string& name, double value);

}  // namespace kelsim
