#pragma once
// One run of kel36-host: load the plug-in, set up the devices (simulated or
// on their lines), poll until done or stopped, print the summary.

#include <cstdio>

#include "kel36-host/config/options.h"

namespace keltool {

// Returns the exit status (0); throws ToolError on bad input.
int runHost(const ToolOptions& options, std::FILE* out, std::FILE* err);

}  // namespace keltool
