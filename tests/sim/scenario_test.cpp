// Scenario files and named quantities: what registers the controller answers with.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "scenario.h"
#include "simulator.h"

namespace kelsim {
namespace {

std::string errorOf(const std::string& json) {
    try {
        parseScenario(json, "bench.json");
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(accepted)";
}

struct RegisterCase {
    const char* json;
    std::vector<std::pair<int, int>> registers;  // register, value
};

TEST(ScenarioQuantities, SpreadEachNamedQuantityOverItsRegisters) {
    const RegisterCase cases[] = {
        {R"({"uab": 400.0})", {{5, 0x9C}, {2, 0x40}}},
        {R"({"ubc": 0.01})", {{6, 0}, {3, 1}}},
        {R"({"uca": 655.35})", {{7, 0xFF}, {4, 0xFF}}},
        {R"({"frequency": 50.3})", {{8, 50}, {9, 3}}},
        {R"({"frequency": 255.9})", {{8, 255}, {9, 9}}},
        {R"({"ua": 230})", {{10, 230}}},
        {R"({"ub": 0})", {{11, 0}}},
        {R"({"uc": 255})", {{12, 255}}},
        {R"({"battery_voltage": 24.0})", {{29, 120}}},
        {R"({"battery_voltage": 27.6})", {{29, 138}}},
        {R"({"a_5": true})", {{34, 0x20}}},
        {R"({"a_6": true})", {{34, 0x40}}},
        {R"({"a_7": true})", {{34, 0x80}}},
        {R"({"b_2": true})", {{35, 0x04}}},
        {R"({"b_6": true})", {{35, 0x40}}},
        {R"({"a_5": true, "a_6": true, "a_7": true, "b_2": true, "b_6": true})", {{34, 0xE0}, {35, 0x44}}},
        {R"({"a_5": false, "b_6": false})", {{34, 0}, {35, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        const Scenario s = parseScenario(c.json, "case");
        int touched = 0;
        for (const auto& [reg, value] : c.registers) {
            EXPECT_EQ(s.registers[reg], value) << "register " << reg;
            touched += value != 0;
        }
        int nonzero = 0;
        for (uint8_t r : s.registers) nonzero += r != 0;
        EXPECT_EQ(nonzero, touched) << "a register outside the quantity's own was set";
    }
}

TEST(ScenarioQuantities, ReadBackAsTheValuesTheyWereSetTo) {
    const Scenario s = parseScenario(
        R"({"uab": 400.5, "ubc": 399.8, "uca": 401.2, "frequency": 49.9, "ua": 231, "ub": 230,
            "uc": 229, "battery_voltage": 13.8, "a_6": true, "b_2": true})",
        "case");
    const Quantities q = quantitiesOf(s);
    EXPECT_DOUBLE_EQ(q.uab, 400.5);
    EXPECT_DOUBLE_EQ(q.ubc, 399.8);
    EXPECT_DOUBLE_EQ(q.uca, 401.2);
    EXPECT_DOUBLE_EQ(q.frequency, 49.9);
    EXPECT_EQ(q.ua, 231);
    EXPECT_EQ(q.ub, 230);
    EXPECT_EQ(q.uc, 229);
    EXPECT_DOUBLE_EQ(q.battery_voltage, 13.8);
    EXPECT_FALSE(q.a_5);
    EXPECT_TRUE(q.a_6);
    EXPECT_FALSE(q.a_7);
    EXPECT_TRUE(q.b_2);
    EXPECT_FALSE(q.b_6);
}

TEST(ScenarioRawRegisters, OverrideNamedQuantitiesWhateverTheKeyOrder) {
    const Scenario a = parseScenario(R"({"registers": {"5": 1, "34": 3}, "uab": 400.0, "a_7": true})", "case");
    const Scenario b = parseScenario(R"({"uab": 400.0, "a_7": true, "registers": {"5": 1, "34": 3}})", "case");
    for (const Scenario* s : {&a, &b}) {
        EXPECT_EQ(s->registers[5], 1);
        EXPECT_EQ(s->registers[2], 0x40);  // the named low byte stays
        EXPECT_EQ(s->registers[34], 3);
    }
    const Scenario edges = parseScenario(R"({"registers": {"0": 255, "1": 9, "51": 8, "64": 0}})", "case");
    EXPECT_EQ(edges.registers[0], 255);
    EXPECT_EQ(edges.registers[1], 9);
    EXPECT_EQ(edges.registers[51], 8);
}

TEST(ScenarioErrors, NameTheFileTheJsonPathAndTheReason) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"uab": 655.36})", "bench.json: $.uab: 655.36 V is out of range 0..655.35 V"},
        {R"({"ubc": -1})", "bench.json: $.ubc: -1 V is out of range"},
        {R"({"uca": 400.123})", "bench.json: $.uca: 400.123 V is not a multiple of 0.01 V"},
        {R"({"frequency": 256})", "bench.json: $.frequency: 256 Hz is out of range 0..255.9 Hz"},
        {R"({"frequency": 50.05})", "bench.json: $.frequency: 50.05 Hz is not a multiple of 0.1 Hz"},
        {R"({"ua": 230.5})", "bench.json: $.ua: 230.5 V is not a multiple of 1 V"},
        {R"({"ub": 256})", "bench.json: $.ub: 256 V is out of range 0..255 V"},
        {R"({"battery_voltage": 27.7})", "bench.json: $.battery_voltage: 27.7 V is not a multiple of 0.2 V"},
        {R"({"battery_voltage": 51.2})", "bench.json: $.battery_voltage: 51.2 V is out of range 0..51 V"},
        {R"({"uc": "230"})", "bench.json: $.uc: expected a number"},
        {R"({"a_5": 1})", "bench.json: $.a_5: expected true or false"},
        {R"({"b_6": "yes"})", "bench.json: $.b_6: expected true or false"},
        {R"({"uabc": 400})", "bench.json: $.uabc: unknown key"},
        {R"({"registers": [1, 2]})", "bench.json: $.registers: expected an object"},
        {R"({"registers": {"65": 1}})", "bench.json: $.registers.65: register number must be 0..64"},
        {R"({"registers": {"07": 1}})", "bench.json: $.registers.07: register number must be 0..64"},
        {R"({"registers": {"x": 1}})", "bench.json: $.registers.x: register number must be 0..64"},
        {R"({"registers": {"3": 256}})", "bench.json: $.registers.3: register value must be an integer 0..255"},
        {R"({"registers": {"3": -1}})", "bench.json: $.registers.3: register value must be an integer 0..255"},
        {R"({"registers": {"3": 1.5}})", "bench.json: $.registers.3: register value must be an integer 0..255"},
        {R"({"registers": {"3": true}})", "bench.json: $.registers.3: register value must be an integer 0..255"},
        {R"([1, 2])", "bench.json: $: expected a JSON object"},
        {R"({"uab": 400,})", "bench.json: Line 1, Column 13: "},
        {R"({"uab": 400, "uab": 401})", "bench.json: Line 1, Column 14: Duplicate key: 'uab'"},
        {"", "bench.json: Line 1, Column 1: "},
    };
    for (const auto& [json, expected] : cases) {
        SCOPED_TRACE(json);
        const std::string message = errorOf(json);
        EXPECT_EQ(message.rfind(expected, 0), 0u) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
}

TEST(ScenarioErrors, NameAnUnreadableFileAndTheSystemError) {
    try {
        loadScenarioFile("/nonexistent/scenario.json");
        FAIL() << "accepted a missing file";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "/nonexistent/scenario.json: cannot read: No such file or directory");
    }
}

TEST(ShippedScenarios, DefaultFileMatchesTheBuiltInDefault) {
    const Scenario file = loadScenarioFile(KEL36_EXAMPLES_DIR "/scenario.json");
    const Scenario builtin = defaultScenario();
    for (int reg = 0; reg < 65; ++reg) EXPECT_EQ(file.registers[reg], builtin.registers[reg]) << "register " << reg;
    const Quantities q = quantitiesOf(builtin);
    EXPECT_DOUBLE_EQ(q.uab, 400.5);
    EXPECT_DOUBLE_EQ(q.frequency, 50.1);
    EXPECT_DOUBLE_EQ(q.battery_voltage, 27.6);
    EXPECT_FALSE(q.a_5 || q.a_6 || q.a_7 || q.b_2 || q.b_6);
}

TEST(ShippedScenarios, AlarmExampleRaisesLowOilPressureAndLowFrequency) {
    const Quantities q = quantitiesOf(loadScenarioFile(KEL36_EXAMPLES_DIR "/scenario-alarms.json"));
    EXPECT_TRUE(q.a_7);
    EXPECT_TRUE(q.b_2);
    EXPECT_FALSE(q.a_5 || q.a_6 || q.b_6);
    EXPECT_DOUBLE_EQ(q.frequency, 47.5);
}

}  // namespace
}  // namespace kelsim
