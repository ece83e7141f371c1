#pragma once
// `kel36-host history FILE ...`: the stored records for spreadsheets (CSV,
// RFC 4180, with a header row) and scripts (JSON Lines), times in ISO 8601
// with the local offset, floats with the fewest digits that read back as the
// record's single-precision value.

#include <cstddef>
#include <cstdio>

#include "kel36-host/config/options.h"
#include "kel36-host/store/history_reader.h"

namespace keltool {

enum class ExportFormat { Csv, JsonLines };

// The CSV columns, also the JSON keys (alarms grouped under "alarms").
extern const char* const kExportColumns[];
extern const std::size_t kExportColumnCount;

// Writes the records in the range to `out`; returns how many.
std::size_t exportHistory(const HistoryReader& reader, const HistoryFilter& filter,
                          ExportFormat format, std::FILE* out);

// The `history` command: exit status 0; ToolError for a file that is no history.
int runHistoryExport(const HistoryQueryOptions& query, std::FILE* out);

}  // namespace keltool
