#pragma once
// One plot of a report as inline SVG, drawn on the server side: series over
// time, with the alarm periods and the gaps as bands on the same time axis.
// The markup carries what it shows in data- attributes (value range, pixel
// frame, band times), so a reader or a test can map it back to values.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kel36-host/report/report_model.h"

namespace keltool {

// Geometry shared by every plot of a report.
constexpr int kPlotWidth = 960;
constexpr int kPlotHeight = 240;
constexpr int kPlotLeft = 64;  // frame of the plotting area, in pixels
constexpr int kPlotRight = 944;
constexpr int kPlotTop = 8;  // above the alarms' lanes
constexpr int kPlotBottom = 212;
// One column per pixel of the plotting area.
constexpr std::size_t kPlotColumns = static_cast<std::size_t>(kPlotRight - kPlotLeft);

struct PlotSeries {
    const char* name;   // "uab"
    const char* color;  // CSS colour
    const std::vector<PlotColumn>* columns;
    ValueStats stats;
};

struct PlotSpec {
    std::string title;  // "Line voltages"
    int64_t from_ms = 0;
    int64_t to_ms = 0;
    int64_t last_record_ms = 0;  // an alarm still active is known up to here
    int64_t break_after_ms = 0;  // a longer time between columns breaks the line
    std::vector<PlotSeries> series;
    const std::vector<AlarmPeriod>* alarms = nullptr;
    const std::vector<TimeSpan>* gaps = nullptr;
};

// The colour of an alarm signal's band, the same in every plot and table.
const char* alarmColor(const std::string& signal);

std::string renderPlot(const PlotSpec& plot);

}  // namespace keltool
