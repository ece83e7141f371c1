#include "timeline/timeline_json.h"

#include "scenario.h"
#include "scenario_json.h"

namespace kelsim {
namespace {

void requireString(const Json::Value& value, const std::string& path, const std::string& source)
{
    if (!value.isString())
        throw scenarioError(source, path, "expected a string");
}

double readSeconds(const Json::Value& value, const std::string& path, const std::string& source,
                   const char* expected)
{
    if (!isNumber(value))
        throw scenarioError(source, path, expected);
    return value.asDouble();
}

std::vector<TimelineRamp> readRamps(const Json::Value& ramp, const std::string& path,
                                    const std::string& source, const RegisterPatch& set)
{
    if (!ramp.isObject())
        throw scenarioError(source, path, "expected an object of quantity to value");
    std::vector<TimelineRamp> ramps;
    for (const auto& key : ramp.getMemberNames()) {
        const std::string key_path = path + "." + key;
        if (!isQuantity(key))
            throw scenarioError(source, key_path,
                                "only a measured quantity can be ramped (uab, ubc, uca, "
                                "frequency, ua, ub, uc, battery_voltage)");
        if (!isNumber(ramp[key]))
            throw scenarioError(source, key_path, "expected a number");
        Scenario probe;
        try {
            setQuantity(probe, key, ramp[key].asDouble());
        } catch (const std::invalid_argument& e) {
            throw scenarioError(source, key_path, e.what());
        }
        int regs[2];
        const int count = quantityRegisters(key, regs);
        for (int i = 0; i < count; ++i) {
            if (set.touches(regs[i]))
                throw scenarioError(source, key_path, "also set by this step");
        }
        ramps.push_back({key, ramp[key].asDouble()});
    }
    return ramps;
}

TimelineStep readStep(const Json::Value& node, const std::string& path, const std::string& source)
{
    if (!node.isObject())
        throw scenarioError(source, path, "expected an object with \"at\" and \"set\" or \"ramp\"");
    TimelineStep step;
    for (const auto& key : node.getMemberNames()) {
        const std::string key_path = path + "." + key;
        const Json::Value& value = node[key];
        if (key == "at") {
            step.at_s =
                readSeconds(value, key_path, source, "expected a number of seconds, 0 or more");
        } else if (key == "over") {
            step.over_s =
                readSeconds(value, key_path, source, "expected a number of seconds above 0");
        } else if (key == "set") {
            if (!value.isObject())
                throw scenarioError(source, key_path,
                                    "expected an object of quantities, alarms and \"registers\"");
            readSettings(value, key_path, source, &step.set,
                         [&](const std::string&, const Json::Value&, const std::string& p) {
                             throw scenarioError(source, p,
                                                 "unknown key (expected a quantity, an alarm name "
                                                 "or \"registers\")");
                         });
        } else if (key == "note") {
            requireString(value, key_path, source);
        } else if (key != "ramp") {
            throw scenarioError(source, key_path,
                                "unknown key (expected \"at\", \"set\", \"ramp\", \"over\" or "
                                "\"note\")");
        }
    }
    if (!node.isMember("at"))
        throw scenarioError(source, path, "missing \"at\" (seconds from the start)");
    if (node.isMember("ramp"))
        step.ramps = readRamps(node["ramp"], path + ".ramp", source, step.set);
    if (!node.isMember("set") && !node.isMember("ramp"))
        throw scenarioError(source, path, "expected \"set\" or \"ramp\"");
    if (node.isMember("ramp") && !node.isMember("over"))
        throw scenarioError(source, path, "a ramp needs \"over\" (seconds)");
    if (node.isMember("over") && !node.isMember("ramp"))
        throw scenarioError(source, path + ".over", "only a ramp takes \"over\"");
    return step;
}

std::string stepPath(const std::string& path, std::size_t index)
{
    return path + ".steps[" + std::to_string(index) + "]";
}

}  // namespace

Timeline readTimeline(const Json::Value& node, const std::string& path, const std::string& source,
                      const Scenario& start)
{
    if (!node.isObject())
        throw scenarioError(source, path,
                            "expected an object with \"steps\" and an optional \"period\"");
    double period = 0;
    for (const auto& key : node.getMemberNames()) {
        const std::string key_path = path + "." + key;
        if (key == "period") {
            period =
                readSeconds(node[key], key_path, source, "expected a number of seconds above 0");
            if (!(period > 0))
                throw scenarioError(source, key_path, "expected a number of seconds above 0");
        } else if (key == "description") {
            requireString(node[key], key_path, source);
        } else if (key != "steps") {
            throw scenarioError(source, key_path,
                                "unknown key (expected \"steps\", \"period\" or \"description\")");
        }
    }
    if (!node.isMember("steps"))
        throw scenarioError(source, path, "missing \"steps\"");
    const Json::Value& steps_node = node["steps"];
    if (!steps_node.isArray())
        throw scenarioError(source, path + ".steps", "expected an array of steps");
    std::vector<TimelineStep> steps;
    for (Json::ArrayIndex i = 0; i < steps_node.size(); ++i)
        steps.push_back(readStep(steps_node[i], stepPath(path, i), source));
    try {
        return Timeline(start, std::move(steps), period);
    } catch (const TimelineError& e) {
        const std::string field = e.field;
        throw scenarioError(
            source, field == "period" ? path + ".period" : stepPath(path, e.step) + "." + field,
            e.what());
    }
}

}  // namespace kelsim
