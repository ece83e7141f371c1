#pragma once
// The history's second source beside the stored records: every stall, and the
// code and text the driver gives each alarm, so that a report can count
// stalls and name alarms from the database alone. It passes every report on
// to the output it wraps.

#include <memory>

#include "kel36-host/output/reports.h"

namespace keltool {

class HistoryWriter;

std::unique_ptr<OutputSink> recordIntoHistory(HistoryWriter& history, OutputSink& inner);

}  // namespace keltool
