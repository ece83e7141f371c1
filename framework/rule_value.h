#pragma once
// A pending batch threshold item of the host. Devices only count, pass on and
// drop these.

#include <string>

struct rule_value {
    std::string signal_name;
    std::string alarm_id;
    std::string rule;
    std::string text;
    float value = 0.0f;
    int level = 0;
};
