#include "kel36-host/run/simulation.h"

#include <algorithm>
#include <stdexcept>

#include "kel36-host/output/protocol_view.h"
#include "kel36-host/tool_error.h"

namespace keltool {

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
    uint64_t seeded = 0;
    for (const std::vector<DeviceSpec*>& line : lines) {
        kelsim::Options options;
        options.controllers.clear();
        for (const DeviceSpec* device : line) {
            kelsim::ControllerOptions controller;
            controller.address = addressFromNode(device->node);
            try {
                // A scenario file with a timeline plays it.
                if (!device->scenario.empty())
                    controller.timeline = kelsim::loadTimelineFile(device->scenario);
            } catch (const std::exception& e) {
                throw ToolError(std::string("scenario: ") + e.what());
            }
            // Each controller its own fault sequence, still reproducible from the seed.
            controller.faults.seed = faults.seed + seeded++;
            controller.faults.drop = faults.drop;
            controller.faults.split = faults.split;
            controller.faults.overlong = faults.overlong;
            controller.faults.garble = faults.garble;
            controller.faults.delay = faults.delay;
            controller.faults.delay_ms = faults.delay_ms;
            controller.echo =
                faults.echo_register ? kelsim::ReplyEcho::Register : kelsim::ReplyEcho::None;
            options.controllers.push_back(std::move(controller));
        }
        options.line.pace = faults.pace;
        options.line.turnaround_ms = faults.turnaround_ms;
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
