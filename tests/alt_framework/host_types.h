#pragma once
// Small types of this host.

#include <string>

enum EnumParity { NoParity, OddParity, EvenParity, MarkParity, SpaceParity };

struct rule_value {
    int rule_id = 0;
    std::string alarm_id;
    std::string signal_name;
    std::string expression;
    std::string message;
    double limit = 0.0;
};
