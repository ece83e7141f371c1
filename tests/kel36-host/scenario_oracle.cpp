#include "scenario_oracle.h"

#include <cstdint>

#include <gtest/gtest.h>
#include <json/writer.h>

namespace toolstest {
namespace {

const char* const kValueNames[] = {"uab", "ubc", "uca", "frequency", "ua", "ub", "uc"};

}  // namespace

std::map<std::string, double> expectedFields(const kelsim::Scenario& s)
{
    const auto r = [&s](int n) { return static_cast<unsigned>(s.registers[n]); };
    const auto f = [](unsigned v) { return static_cast<float>(v); };
    std::map<std::string, double> out;
    out["reg0"] = r(0);
    out["uab"] = f(r(5) * 256 + r(2)) / 100.0f;
    out["ubc"] = f(r(6) * 256 + r(3)) / 100.0f;
    out["uca"] = f(r(7) * 256 + r(4)) / 100.0f;
    out["frequency"] = f(r(8)) + f(r(9)) / 10.0f;
    out["ua"] = f(r(10));
    out["ub"] = f(r(11));
    out["uc"] = f(r(12));
    out["reg13"] = f(r(13));
    float d = f(r(14)) / 10.0f;
    d += f(r(15));
    d += f(r(16) * 10);
    d += f(r(17) * 100);
    d += f(r(18) * 1000);
    d += f(r(19) * 10000);
    out["digits_r14_r19"] = d;
    float e = f(r(20));
    e += f(r(21) * 10);
    e += f(r(22) * 100);
    e += f(r(23) * 1000);
    e += f(r(24) * 10000);
    e += f(r(25) * 100000);
    out["digits_r20_r25"] = e;
    out["reg26"] = r(26);
    out["pair_r27_r28"] = r(27) * 256 + r(28);
    out["battery_voltage"] = (f(r(29)) + f(r(29))) / 10.0f;
    out["reg30"] = f(r(30));
    out["reg31"] = r(31);
    out["reg32"] = r(32);
    out["reg33"] = r(33);
    out["status_a"] = r(34);
    out["status_b"] = r(35);
    for (int n = 36; n <= 41; ++n)
        out["reg" + std::to_string(n)] = r(n);
    out["pair_r45_r42"] = f(r(45) * 256 + r(42));
    out["pair_r46_r43"] = f(r(46) * 256 + r(43));
    out["pair_r47_r44"] = f(r(47) * 256 + r(44));
    for (int n = 48; n <= 50; ++n)
        out["reg" + std::to_string(n)] = r(n);
    float g = f(r(52)) / 10.0f;
    g += f(r(53));
    g += f(r(54) * 10);
    g += f(r(55) * 100);
    g += f(r(56) * 1000);
    g += f(r(57) * 10000);
    out["digits_r52_r57"] = g;
    out["pair_r59_r58"] = static_cast<int16_t>(static_cast<uint16_t>(r(59) * 256 + r(58)));
    for (int n = 60; n <= 64; ++n)
        out["reg" + std::to_string(n)] = r(n);
    return out;
}

std::set<std::string> expectedAlarms(const kelsim::Scenario& s)
{
    std::set<std::string> out;
    const uint8_t a = s.registers[34];
    const uint8_t b = s.registers[35];
    if (a & 0x20)
        out.insert("a_5");
    if (a & 0x40)
        out.insert("a_6");
    if (a & 0x80)
        out.insert("a_7");
    if (b & 0x04)
        out.insert("b_2");
    if (b & 0x40)
        out.insert("b_6");
    return out;
}

int checkRoundAgainst(const Json::Value& round, const kelsim::Scenario& scenario)
{
    int mismatches = 0;
    const Json::Value& record = round["record"];
    for (const auto& [name, expected] : expectedFields(scenario)) {
        // Every field fits a float exactly (floats, and integers below 2^24).
        if (!record.isMember(name) || record[name].asFloat() != static_cast<float>(expected)) {
            ADD_FAILURE() << "round " << round["round"] << ": record field " << name << " is "
                          << record[name] << ", the scenario gives " << expected;
            ++mismatches;
        }
    }
    for (const char* name : kValueNames) {
        // Get_Value answers from the record: the same float, exactly.
        if (round["values"][name].asFloat() != record[name].asFloat()) {
            ADD_FAILURE() << "round " << round["round"] << ": Get_Value(" << name << ") is "
                          << round["values"][name] << ", the record holds " << record[name];
            ++mismatches;
        }
    }
    if (round["battery_voltage"].asFloat() != record["battery_voltage"].asFloat()) {
        ADD_FAILURE() << "battery voltage checked " << round["battery_voltage"] << ", record "
                      << record["battery_voltage"];
        ++mismatches;
    }
    std::set<std::string> active;
    for (const Json::Value& alarm : round["alarms"])
        if (alarm["active"].asBool())
            active.insert(alarm["signal"].asString());
    if (active != expectedAlarms(scenario)) {
        ADD_FAILURE() << "round " << round["round"] << ": active alarms differ from the scenario's";
        ++mismatches;
    }
    return mismatches;
}

}  // namespace toolstest
