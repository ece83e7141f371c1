#pragma once
// `kel36-host scan --port DEV`: sends the register-0 request to each address
// (at each baud rate) in turn and lists the controllers that answer it.

#include <cstdio>

#include "kel36-host/config/options.h"

namespace keltool {

// Exit status 0 when a controller answered, 1 when none did; ToolError for a
// line that cannot be opened, set up or used. `terminal`: `out` is one, and
// gets a progress bar.
int runScan(const ScanOptions& options, std::FILE* out, bool terminal);

}  // namespace keltool
