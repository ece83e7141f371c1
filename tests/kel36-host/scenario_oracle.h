#pragma once
// What a host must see when it polls a simulated controller: every record
// field as the register map computes it from the scenario's registers, in
// the same single-precision arithmetic, and the alarms the status bits raise.

#include <map>
#include <set>
#include <string>

#include <json/value.h>

#include "simulator.h"

namespace toolstest {

// Field name to value (integers exactly, floats as float), data_id and ttime excluded.
std::map<std::string, double> expectedFields(const kelsim::Scenario& scenario);

// The alarm signals whose status bit is set.
std::set<std::string> expectedAlarms(const kelsim::Scenario& scenario);

// Checks one JSON round object against the scenario: every record field,
// every value read through Get_Value, the battery voltage and the alarms.
// Returns the number of mismatches (each one is reported as a test failure).
int checkRoundAgainst(const Json::Value& round, const kelsim::Scenario& scenario);

}  // namespace toolstest
