#pragma once
// The test report as one self-contained HTML file: inline style and SVG,
// no script, no fetch, so it opens anywhere, from a USB stick too.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kel36-host/report/report_model.h"

namespace keltool {

struct ReportDocument {
    std::string history_path;
    std::optional<int64_t> from_ms;  // the range asked for
    std::optional<int64_t> to_ms;
    int64_t made_ms = 0;
    std::string program;  // "kel36-host 1.0.0"
    std::vector<DeviceReport> devices;
};

std::string renderHtmlReport(const ReportDocument& document);

// "1 h 02 min", "12.3 s": a duration for people.
std::string durationText(int64_t ms);

}  // namespace keltool
