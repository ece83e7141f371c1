#pragma once
// The history's second source beside the stored records: every stall, the
// events of the one list that are stored (lines lost and found again,
// give-ups, one run_ended per device at the end), and the code and text the
// driver gives each alarm, so that a report can count stalls, show gaps and
// name alarms from the database alone. It passes every report on
// to the output it wraps.

#include <memory>

#include "kel36-host/output/reports.h"

namespace keltool {

class HistoryWriter;

std::unique_ptr<OutputSink> recordIntoHistory(HistoryWriter& history, OutputSink& inner);

}  // namespace keltool
