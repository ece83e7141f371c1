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
        kelsim::ControllerOptions& controller = options.controllers.front();
        controller.address = addressFromNode(device.node);
        try {
            // A scenario file with a timeline plays it.
            if (!device.scenario.empty())
                controller.timeline = kelsim::loadTimelineFile(device.scenario);
        } catch (const std::exception& e) {
            throw ToolError(std::string("scenario: ") + e.what());
        }
        // Each controller its own fault sequence, still reproducible from the seed.
        controller.faults.seed = faults.seed + controllers.size();
        controller.faults.drop = faults.drop;
        controller.faults.split = faults.split;
        controller.faults.overlong = faults.overlong;
        controller.faults.garble = faults.garble;
        controller.faults.delay = faults.delay;
        controller.faults.delay_ms = faults.delay_ms;
        controller.echo =
            faults.echo_register ? kelsim::ReplyEcho::Register : kelsim::ReplyEcho::None;
        options.line.pace = faults.pace;
        options.line.turnaround_ms = faults.turnaround_ms;
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
