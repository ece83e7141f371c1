#include "host/tool/simulation.h"

#include <algorithm>
#include <stdexcept>

#include "host/tool/protocol_view.h"
#include "host/tool/tool_error.h"

namespace keltool {

namespace {

kelsim::Scenario scenarioOf(const DeviceSpec& device)
{
    try {
        return device.scenario.empty() ? kelsim::defaultScenario()
                                       : kelsim::loadScenarioFile(device.scenario);
    } catch (const std::exception& e) {
        throw ToolError(std::string("scenario: ") + e.what());
    }
}

}  // namespace

std::vector<std::unique_ptr<kelsim::Simulator>> startSimulatedControllers(
    std::vector<DeviceSpec>& devices, const SimFaultOptions& faults)
{
    // One simulated line per device, or per configured line its devices share.
    std::vector<std::vector<DeviceSpec*>> lines;
    for (DeviceSpec& device : devices) {
        if (!device.port.empty())
            continue;
        auto shared = std::find_if(lines.begin(), lines.end(), [&](const auto& line) {
            return !device.simulated_line.empty() &&
                   line.front()->simulated_line == device.simulated_line;
        });
        if (shared != lines.end())
            shared->push_back(&device);
        else
            lines.push_back({&device});
    }

    std::vector<std::unique_ptr<kelsim::Simulator>> controllers;
    for (const std::vector<DeviceSpec*>& line : lines) {
        kelsim::Options options;
        options.address = addressFromNode(line.front()->node);
        options.scenario = scenarioOf(*line.front());
        for (std::size_t i = 1; i < line.size(); ++i)
            options.peers.push_back({addressFromNode(line[i]->node), scenarioOf(*line[i])});
        // Each line its own fault sequence, still reproducible from the seed.
        options.faults.seed = faults.seed + controllers.size();
        options.faults.drop = faults.drop;
        options.faults.split = faults.split;
        options.faults.overlong = faults.overlong;
        options.faults.garble = faults.garble;
        options.faults.delay = faults.delay;
        options.faults.delay_ms = faults.delay_ms;
        options.faults.pace = faults.pace;
        try {
            controllers.push_back(kelsim::startOnPty(options));
        } catch (const std::exception& e) {
            throw ToolError("device " + line.front()->name +
                            ": cannot start a simulated controller: " + e.what());
        }
        for (DeviceSpec* device : line) {
            device->port = controllers.back()->devicePath();
            device->simulated = true;
        }
    }
    return controllers;
}

}  // namespace keltool
