// Scenario files: JSON text to register values, with errors that name the file
// and the JSON path of the offending value.

#include <json/json.h>

#include <memory>
#include <stdexcept>

#include "cli/input_file.h"
#include "protocol.h"
#include "scenario.h"
#include "scenario_json.h"
#include "timeline/timeline.h"
#include "timeline/timeline_json.h"

namespace kelsim {
namespace {

// JsonCpp reports "* Line 3, Column 5\n  Missing ',' ...\n* Line ..."; keep the
// first error, on one line.
std::string firstErrorOnOneLine(std::string text)
{
    if (text.rfind("* ", 0) == 0)
        text.erase(0, 2);
    const auto end = text.find("\n* ");
    if (end != std::string::npos)
        text.erase(end);
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n') {
            out += text[i];
            continue;
        }
        while (i + 1 < text.size() && text[i + 1] == ' ')
            ++i;
        if (i + 1 < text.size())
            out += ": ";
    }
    return out;
}

bool isInteger(const Json::Value& value)
{
    return value.type() == Json::intValue || value.type() == Json::uintValue;
}

Json::Value parseJson(const std::string& json_text, const std::string& source_name)
{
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder.settings_["stackLimit"] = kelcli::kMaxJsonNesting;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    bool parsed = false;
    try {
        parsed =
            reader->parse(json_text.data(), json_text.data() + json_text.size(), &root, &errors);
    } catch (const Json::Exception&) {
        // The reader throws, rather than reports, text nested beyond its limit.
        throw std::runtime_error(source_name + ": nested deeper than " +
                                 std::to_string(kelcli::kMaxJsonNesting) + " levels");
    }
    if (!parsed)
        throw std::runtime_error(source_name + ": " + firstErrorOnOneLine(errors));
    return root;
}

}  // namespace

std::runtime_error scenarioError(const std::string& source, const std::string& path,
                                 const std::string& reason)
{
    return std::runtime_error(source + ": " + path + ": " + reason);
}

bool isNumber(const Json::Value& value)
{
    return isInteger(value) || value.type() == Json::realValue;
}

bool readSetting(const std::string& key, const Json::Value& value, const std::string& path,
                 const std::string& source, RegisterPatch* patch)
{
    if (isQuantity(key)) {
        if (!isNumber(value))
            throw scenarioError(source, path, "expected a number");
        try {
            patch->setQuantity(key, value.asDouble());
        } catch (const std::invalid_argument& e) {
            throw scenarioError(source, path, e.what());
        }
        return true;
    }
    if (isAlarm(key)) {
        if (!value.isBool())
            throw scenarioError(source, path, "expected true or false");
        patch->setAlarm(key, value.asBool());
        return true;
    }
    return false;
}

void readRegisters(const Json::Value& registers, const std::string& path, const std::string& source,
                   RegisterPatch* patch)
{
    if (!registers.isObject()) {
        throw scenarioError(source, path, "expected an object of register number to value");
    }
    for (const auto& key : registers.getMemberNames()) {
        const std::string key_path = path + "." + key;
        const int number = registerNumber(key);
        if (number < 0)
            throw scenarioError(source, key_path, "register number must be 0..64");
        const Json::Value& value = registers[key];
        // Range first: converting a number beyond the 64-bit ranges throws.
        if (!isInteger(value) || !value.isUInt() || value.asUInt() > 255) {
            throw scenarioError(source, key_path, "register value must be an integer 0..255");
        }
        patch->setRegister(number, static_cast<uint8_t>(value.asUInt()));
    }
}

Timeline parseTimeline(const std::string& json_text, const std::string& source_name)
{
    const Json::Value root = parseJson(json_text, source_name);
    if (!root.isObject())
        throw scenarioError(source_name, "$", "expected a JSON object");
    RegisterPatch start;
    readSettings(root, "$", source_name, &start,
                 [&](const std::string& key, const Json::Value& value, const std::string& path) {
                     if (key == "description") {
                         if (!value.isString())
                             throw scenarioError(source_name, path, "expected a string");
                     } else if (key != "timeline") {
                         throw scenarioError(source_name, path,
                                             "unknown key (expected a quantity, an alarm name, "
                                             "\"registers\", \"timeline\" or \"description\")");
                     }
                 });
    Scenario image;
    start.apply(image);
    if (!root.isMember("timeline"))
        return Timeline(image);
    return readTimeline(root["timeline"], "$.timeline", source_name, image);
}

Timeline loadTimelineFile(const std::string& path)
{
    std::string text;
    std::string error;
    if (!kelcli::readInputFile(path, &text, &error))
        throw std::runtime_error(path + ": cannot read: " + error);
    return parseTimeline(text, path);
}

Scenario parseScenario(const std::string& json_text, const std::string& source_name)
{
    return parseTimeline(json_text, source_name).start();
}

Scenario loadScenarioFile(const std::string& path)
{
    return loadTimelineFile(path).start();
}

// A healthy set running on load, the same as examples/scenario.json. The
// quantities differ from each other on purpose, so a poller that mixes up
// registers shows wrong numbers instead of coincidentally right ones.
Scenario defaultScenario()
{
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
        {0, 1},   {13, 85}, {14, 5},  {15, 4},  {16, 3},  {17, 2},  {18, 1},  {19, 0},   {20, 7},
        {21, 6},  {22, 5},  {23, 4},  {24, 0},  {25, 0},  {26, 3},  {27, 1},  {28, 2},   {30, 62},
        {31, 11}, {32, 12}, {33, 13}, {36, 21}, {37, 22}, {38, 23}, {39, 24}, {40, 25},  {41, 26},
        {42, 44}, {43, 45}, {44, 46}, {45, 1},  {46, 2},  {47, 3},  {48, 31}, {49, 32},  {50, 33},
        {52, 3},  {53, 2},  {54, 1},  {55, 0},  {56, 0},  {57, 0},  {58, 24}, {59, 252}, {60, 41},
        {61, 42}, {62, 43}, {63, 44}, {64, 45}};
    for (const auto& [reg, value] : raw)
        s.registers[reg] = value;
    return s;
}

}  // namespace kelsim
