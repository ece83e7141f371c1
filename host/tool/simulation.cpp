#include "host/tool/simulation.h"

#include <stdexcept>

#include "host/tool/protocol_view.h"
#include "host/tool/tool_error.h"

namespace keltool {

std::vector<std::unique_ptr<kelsim::Simulator>> startSimulatedControllers(
    std::vector<DeviceSpec>& devices, const SimFaultOptions& faults)
{
    std::vector<std::unique_ptr<kelsim::Simulator>> controllers;
    for (DeviceSpec& device : devices) {
        if (!device.port.empty())
            continue;
        kelsim::Options options;
        options.address = addressFromNode(device.node);
        try {
            options.scenario = device.scenario.empty() ? kelsim::defaultScenario()
                                                       : kelsim::loadScenarioFile(device.scenario);
        } catch (const std::exception& e) {
            throw ToolError(std::string("scenario: ") + e.what());
        }
        // Each controller its own fault sequence, still reproducible from the seed.
        options.faults.seed = faults.seed + controllers.size();
        options.faults.drop = faults.drop;
        options.faults.split = faults.split;
        options.faults.overlong = faults.overlong;
        options.faults.garble = faults.garble;
        options.faults.delay = faults.delay;
        options.faults.delay_ms = faults.delay_ms;
        options.line.pace = faults.pace;
        options.line.turnaround_ms = faults.turnaround_ms;
        options.echo = faults.echo_register ? kelsim::ReplyEcho::Register : kelsim::ReplyEcho::None;
        try {
            controllers.push_back(kelsim::startOnPty(options));
        } catch (const std::exception& e) {
            throw ToolError("device " + device.name +
                            ": cannot start a simulated controller: " + e.what());
        }
        device.port = controllers.back()->devicePath();
        device.simulated = true;
    }
    return controllers;
}

}  // namespace keltool
