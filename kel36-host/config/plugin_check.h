#pragma once
// --check: is this kel36.so usable by a host? Loads nothing itself: it takes
// the loaded plug-in, creates and configures one device, drives one dry round
// without a line (the device's sends go nowhere, synthetic replies come back
// through process) and compares every request frame the driver sends with
// the protocol's frame for that register.

#include <cstdio>

#include "kel36-host/config/host_config.h"

namespace kelhost {
class Plugin;
}

namespace keltool {

// Prints the report to `out`. Returns normally when the plug-in is usable;
// throws ToolError with the reason when it is not.
void checkPlugin(const kelhost::Plugin& plugin, const DeviceSpec& device_spec, std::FILE* out);

}  // namespace keltool
