#pragma once
// --simulate: a simulated controller on a new pseudo-terminal for every device
// without a port, answering the device's configured address. Devices that
// share a configured line share one pseudo-terminal, a controller for each
// address on it, as on an RS-485 bus.

#include <memory>
#include <vector>

#include "kel36-host/config/host_config.h"
#include "kel36-host/config/options.h"
#include "simulator.h"

namespace keltool {

// Starts the controllers and points each simulated device at its
// pseudo-terminal. Throws ToolError (bad scenario file, no pseudo-terminal).
std::vector<std::unique_ptr<kelsim::Simulator>> startSimulatedControllers(
    std::vector<DeviceSpec>& devices, const SimFaultOptions& faults);

}  // namespace keltool
