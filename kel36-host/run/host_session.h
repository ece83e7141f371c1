#pragma once
// One run of kel36-host: load the plug-in, set up the devices (simulated or
// on their lines), poll until done or stopped, print the summary.

#include <cstdio>

#include "kel36-host/config/options.h"

namespace keltool {

class LineTap;

// Returns the exit status (0); throws ToolError on bad input. `tap`, when
// given, sees every device's line.
int runHost(const ToolOptions& options, std::FILE* out, std::FILE* err, LineTap* tap = nullptr);

}  // namespace keltool
