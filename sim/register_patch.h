#pragma once
// Bits written over a register image: a timeline step's "set", and the
// values held by live control until they are released.

#include <cstdint>
#include <string>
#include <vector>

#include "scenario.h"

namespace kelsim {

struct RegisterPatch {
    uint8_t mask[kRegisterCount] = {};   // bits the patch writes
    uint8_t value[kRegisterCount] = {};  // their values (only where mask is set)

    // Each throws std::invalid_argument with the reason, leaving the patch as
    // it was: an unknown name, a value the registers cannot carry.
    void setQuantity(const std::string& name, double value);
    void setAlarm(const std::string& name, bool active);
    void setRegister(int reg, uint8_t value);

    // Takes back what the patch writes for a quantity, an alarm or "regN";
    // false for a name that is none of those.
    bool release(const std::string& name);

    void apply(Scenario& image) const;
    bool touches(int reg) const { return mask[reg] != 0; }
    bool empty() const;

    // What the patch holds, by name: a quantity whose registers it writes
    // whole, an alarm whose bit it writes, "regN" for the rest.
    std::vector<std::string> names() const;
};

// "13" -> 13, written the plain decimal way ("7", not "07" or " 7"), 0..64;
// -1 for anything else.
int registerNumber(const std::string& digits);
// "reg13" -> 13; -1 for anything else.
int registerFromName(const std::string& name);

}  // namespace kelsim
