#pragma once
// `kel36-host snapshot --port DEV -o scenario.json`: polls one controller
// through the plug-in until a round completes and writes the registers it
// answered as a kel36-sim scenario, so the bench can play that controller.

#include <cstdio>

#include "kel36-host/config/options.h"

namespace keltool {

// 0: the scenario is written; 1: no round completed within the bound, or
// the file could not be written (nothing is left behind); ToolError for bad
// input and a line that cannot be used.
int runSnapshot(const SnapshotOptions& options, std::FILE* out, std::FILE* err);

}  // namespace keltool
