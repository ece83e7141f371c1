// Scenario files: JSON text to register values, with errors that name the file
// and the JSON path of the offending value.

#include <json/json.h>

#include <memory>
#include <stdexcept>

#include "cli/input_file.h"
#include "protocol.h"
#include "scenario.h"

namespace kelsim {
namespace {

std::runtime_error scenarioError(const std::string& source, const std::string& path,
                                 const std::string& reason) {
    return std::runtime_error(source + ": " + path + ": " + reason);
}

const char* const kMeasured[] = {"uab", "ubc", "uca", "frequency", "ua", "ub", "uc", "battery_voltage"};
const char* const kAlarmNames[] = {"a_5", "a_6", "a_7", "b_2", "b_6"};

template <std::size_t N>
bool isOneOf(const std::string& key, const char* const (&names)[N]) {
    for (const char* name : names) {
        if (key == name) return true;
    }
    return false;
}

// JsonCpp reports "* Line 3, Column 5\n  Missing ',' ...\n* Line ..."; keep the
// first error, on one line.
std::string firstErrorOnOneLine(std::string text) {
    if (text.rfind("* ", 0) == 0) text.erase(0, 2);
    const auto end = text.find("\n* ");
    if (end != std::string::npos) text.erase(end);
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n') {
            out += text[i];
            continue;
        }
        while (i + 1 < text.size() && text[i + 1] == ' ') ++i;
        if (i + 1 < text.size()) out += ": ";
    }
    return out;
}

// Register numbers are written the plain decimal way: "7", not "07" or " 7".
int registerNumber(const std::string& key) {
    if (key.empty() || key.size() > 2 || (key.size() == 2 && key[0] == '0')) return -1;
    int number = 0;
    for (char c : key) {
        if (c < '0' || c > '9') return -1;
        number = number * 10 + (c - '0');
    }
    return number < kRegisterCount ? number : -1;
}

bool isInteger(const Json::Value& value) {
    return value.type() == Json::intValue || value.type() == Json::uintValue;
}

bool isNumber(const Json::Value& value) {
    return isInteger(value) || value.type() == Json::realValue;
}

void applyRawRegisters(Scenario& scenario, const Json::Value& registers, const std::string& source) {
    if (!registers.isObject()) {
        throw scenarioError(source, "$.registers", "expected an object of register number to value");
    }
    for (const auto& key : registers.getMemberNames()) {
        const std::string path = "$.registers." + key;
        const int number = registerNumber(key);
        if (number < 0) throw scenarioError(source, path, "register number must be 0..64");
        const Json::Value& value = registers[key];
        // Range first: converting a number beyond the 64-bit ranges throws.
        if (!isInteger(value) || !value.isUInt() || value.asUInt() > 255) {
            throw scenarioError(source, path, "register value must be an integer 0..255");
        }
        scenario.registers[number] = static_cast<uint8_t>(value.asUInt());
    }
}

}  // namespace

Scenario parseScenario(const std::string& json_text, const std::string& source_name) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder.settings_["stackLimit"] = kelcli::kMaxJsonNesting;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    bool parsed = false;
    try {
        parsed = reader->parse(json_text.data(), json_text.data() + json_text.size(), &root, &errors);
    } catch (const Json::Exception&) {
        // The reader throws, rather than reports, text nested beyond its limit.
        throw std::runtime_error(source_name + ": nested deeper than " +
                                 std::to_string(kelcli::kMaxJsonNesting) + " levels");
    }
    if (!parsed) throw std::runtime_error(source_name + ": " + firstErrorOnOneLine(errors));
    if (!root.isObject()) throw scenarioError(source_name, "$", "expected a JSON object");

    // Named quantities first, so raw registers override them.
    Scenario scenario;
    for (const auto& key : root.getMemberNames()) {
        const Json::Value& value = root[key];
        const std::string path = "$." + key;
        if (isOneOf(key, kMeasured)) {
            if (!isNumber(value)) throw scenarioError(source_name, path, "expected a number");
            try {
                setQuantity(scenario, key, value.asDouble());
            } catch (const std::invalid_argument& e) {
                throw scenarioError(source_name, path, e.what());
            }
        } else if (isOneOf(key, kAlarmNames)) {
            if (!value.isBool()) throw scenarioError(source_name, path, "expected true or false");
            setAlarm(scenario, key, value.asBool());
        } else if (key == "description") {
            if (!value.isString()) throw scenarioError(source_name, path, "expected a string");
        } else if (key != "registers") {
            throw scenarioError(source_name, path, "unknown key (expected a quantity, an alarm name, "
                                                   "\"registers\" or \"description\")");
        }
    }
    if (root.isMember("registers")) applyRawRegisters(scenario, root["registers"], source_name);
    return scenario;
}

Scenario loadScenarioFile(const std::string& path) {
    std::string text;
    std::string error;
    if (!kelcli::readInputFile(path, &text, &error)) throw std::runtime_error(path + ": cannot read: " + error);
    return parseScenario(text, path);
}

// A healthy set running on load, the same as examples/scenario.json. The
// quantities differ from each other on purpose, so a poller that mixes up
// registers shows wrong numbers instead of coincidentally right ones.
Scenario defaultScenario() {
    Scenario s;
    setQuantity(s, "uab", 400.5);
    setQuantity(s, "ubc", 399.8);
    setQuantity(s, "uca", 401.2);
    setQuantity(s, "frequency", 50.1);
    setQuantity(s, "ua", 231);
    setQuantity(s, "ub", 230);
    setQuantity(s, "uc", 232);
    setQuantity(s, "battery_voltage", 27.6);
    const std::pair<int, uint8_t> raw[] = {
        {0, 1},   {13, 85}, {14, 5},  {15, 4},  {16, 3},  {17, 2},  {18, 1},  {19, 0},  {20, 7},
        {21, 6},  {22, 5},  {23, 4},  {24, 0},  {25, 0},  {26, 3},  {27, 1},  {28, 2},  {30, 62},
        {31, 11}, {32, 12}, {33, 13}, {36, 21}, {37, 22}, {38, 23}, {39, 24}, {40, 25}, {41, 26},
        {42, 44}, {43, 45}, {44, 46}, {45, 1},  {46, 2},  {47, 3},  {48, 31}, {49, 32}, {50, 33},
        {52, 3},  {53, 2},  {54, 1},  {55, 0},  {56, 0},  {57, 0},  {58, 24}, {59, 252}, {60, 41},
        {61, 42}, {62, 43}, {63, 44}, {64, 45}};
    for (const auto& [reg, value] : raw) s.registers[reg] = value;
    return s;
}

}  // namespace kelsim
