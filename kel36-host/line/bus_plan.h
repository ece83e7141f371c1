#pragma once
// Which devices share a line. Devices configured on the same serial line
// (the same device file, however its path is spelled) form one bus: the
// line is opened once and they are polled in turn.

#include <cstddef>
#include <string>
#include <vector>

#include "kel36-host/config/host_config.h"

namespace keltool {

struct BusPlan {
    std::string port;  // as the first device names it; empty: simulated, not started yet
    std::vector<std::size_t> devices;  // indices into the device list, in configuration order
};

// Groups the devices by line, in configuration order. Throws ToolError,
// naming both devices, when two devices on one line have the same address
// (their replies could not be told apart) or disagree on flow control.
// Devices to be simulated group by the port they are configured with.
std::vector<BusPlan> planBuses(const std::vector<DeviceSpec>& devices);

}  // namespace keltool
