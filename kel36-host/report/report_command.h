#pragma once
// `kel36-host report FILE -o REPORT.html`: one self-contained HTML test
// report with a section per device.

#include <cstdio>

#include "kel36-host/config/options.h"

namespace keltool {

// Writes the report (whole or not at all) and one line about it on `out`.
// Exit status 0, 1 when the report cannot be written; ToolError for a file
// that is no history.
int runReport(const HistoryQueryOptions& query, std::FILE* out);

}  // namespace keltool
