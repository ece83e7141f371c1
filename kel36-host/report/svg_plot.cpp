#include "kel36-host/report/svg_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "kel36-host/report/markup.h"
#include "kel36-host/store/iso_time.h"

namespace keltool {
namespace {

struct Axis {
    double lo = 0.0, hi = 1.0, step = 0.2;
};

double niceStep(double range, int ticks)
{
    const double raw = range / ticks;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double m : {1.0, 2.0, 5.0, 10.0})
        if (m * magnitude >= raw)
            return m * magnitude;
    return 10.0 * magnitude;
}

Axis valueAxis(const std::vector<PlotSeries>& series)
{
    bool any = false;
    double lo = 0.0, hi = 0.0;
    for (const PlotSeries& s : series) {
        if (s.stats.count == 0)
            continue;
        lo = any ? std::min(lo, s.stats.min) : s.stats.min;
        hi = any ? std::max(hi, s.stats.max) : s.stats.max;
        any = true;
    }
    if (!any)
        return Axis{0.0, 1.0, 0.2};
    const double pad = hi - lo < 1e-9 ? std::max(std::fabs(hi) * 0.05, 0.5) : (hi - lo) * 0.08;
    lo -= pad;
    hi += pad;
    Axis axis;
    axis.step = niceStep(hi - lo, 5);
    axis.lo = std::floor(lo / axis.step) * axis.step;
    axis.hi = std::ceil(hi / axis.step) * axis.step;
    return axis;
}

// The alarm signals of the plot, one lane each above the plotting area, in
// the order of their first onset.
std::vector<std::string> alarmLanes(const PlotSpec& plot)
{
    std::vector<std::string> lanes;
    if (plot.alarms)
        for (const AlarmPeriod& a : *plot.alarms)
            if (std::find(lanes.begin(), lanes.end(), a.signal) == lanes.end())
                lanes.push_back(a.signal);
    return lanes;
}

constexpr int kLaneHeight = 10;

class Frame {
public:
    Frame(const PlotSpec& plot, const Axis& axis, std::size_t lanes)
        : plot_(plot),
          axis_(axis),
          top_(kPlotTop + static_cast<int>(lanes) * kLaneHeight + (lanes ? 8 : 0))
    {
    }
    int top() const { return top_; }
    double x(int64_t ms) const
    {
        const int64_t duration = plot_.to_ms - plot_.from_ms;
        if (duration <= 0)
            return kPlotLeft + static_cast<double>(kPlotColumns / 2);
        return kPlotLeft + static_cast<double>(ms - plot_.from_ms) * (kPlotColumns - 1) /
                               static_cast<double>(duration);
    }
    double xOfColumn(std::size_t column) const { return kPlotLeft + static_cast<double>(column); }
    double y(double value) const
    {
        return kPlotBottom - (value - axis_.lo) / (axis_.hi - axis_.lo) * (kPlotBottom - top_);
    }

private:
    const PlotSpec& plot_;
    const Axis& axis_;
    int top_;
};

std::string fmt(const char* format, double a)
{
    char text[64];
    std::snprintf(text, sizeof text, format, a);
    return text;
}

std::string pixel(double v)
{
    return fmt("%.2f", v);
}

// One tick of the time axis: its line and its label.
std::string timeTick(const Frame& frame, int64_t tick_ms, const char* format)
{
    const double x = frame.x(tick_ms);
    const std::time_t t = static_cast<std::time_t>(tick_ms / 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    char label[32];
    std::strftime(label, sizeof label, format, &tm);
    return "<line class=\"grid\" x1=\"" + pixel(x) + "\" x2=\"" + pixel(x) + "\" y1=\"" +
           std::to_string(frame.top()) + "\" y2=\"" + std::to_string(kPlotBottom) + "\"/>" +
           "<text class=\"tick\" x=\"" + pixel(x) + "\" y=\"" + std::to_string(kPlotBottom + 16) +
           "\" text-anchor=\"middle\">" + label + "</text>";
}

// Never more ticks than this, whatever the span: a span of centuries is a
// few year ticks, not one per week.
constexpr int kMaxTimeTicks = 10;

// Time ticks at round local times, about eight over the plot: seconds to
// weeks, then whole months and years of the local calendar.
std::string timeTicks(const PlotSpec& plot, const Frame& frame)
{
    static const int64_t steps[] = {1000,     2000,     5000,     10000,     15000,
                                    30000,    60000,    120000,   300000,    600000,
                                    900000,   1800000,  3600000,  7200000,   10800000,
                                    21600000, 43200000, 86400000, 172800000, 604800000};
    const int64_t duration = std::max<int64_t>(plot.to_ms - plot.from_ms, 1000);
    std::string out;
    for (const int64_t step : steps) {
        if (duration / step > 8)
            continue;
        const std::time_t first = static_cast<std::time_t>(plot.from_ms / 1000);
        std::tm tm{};
        localtime_r(&first, &tm);
        const int64_t offset_ms = static_cast<int64_t>(tm.tm_gmtoff) * 1000;
        const char* format = step < 60000           ? "%H:%M:%S"
                             : duration > 86400000 ? "%m-%d %H:%M"
                                                   : "%H:%M";
        int64_t tick = ((plot.from_ms + offset_ms + step - 1) / step) * step - offset_ms;
        for (int n = 0; tick <= plot.to_ms && n < kMaxTimeTicks; tick += step, ++n)
            out += timeTick(frame, tick, format);
        return out;
    }
    // Months: 1, 3, 6; then years: 1, 2, 5, 10, 20, 50, ...
    static const int64_t month_steps[] = {1,   3,    6,    12,   24,    60,    120,   240,
                                          600, 1200, 2400, 6000, 12000, 24000, 60000};
    const int64_t month_ms = 2629746000;  // a mean Gregorian month
    int64_t months = month_steps[sizeof month_steps / sizeof month_steps[0] - 1];
    for (const int64_t m : month_steps)
        if (duration / (m * month_ms) <= 8) {
            months = m;
            break;
        }
    const std::time_t first = static_cast<std::time_t>(plot.from_ms / 1000);
    std::tm start{};
    localtime_r(&first, &start);
    // Months counted from year 0, so year ticks fall on round years.
    int64_t month = (static_cast<int64_t>(start.tm_year) + 1900) * 12 + start.tm_mon + 1;
    month = (month + months - 1) / months * months;
    for (int n = 0; n < kMaxTimeTicks; ++n, month += months) {
        std::tm tm{};
        tm.tm_year = static_cast<int>(month / 12 - 1900);
        tm.tm_mon = static_cast<int>(month % 12);
        tm.tm_mday = 1;
        tm.tm_isdst = -1;
        const int64_t tick = static_cast<int64_t>(std::mktime(&tm)) * 1000;
        if (tick > plot.to_ms)
            break;
        out += timeTick(frame, tick, months < 12 ? "%Y-%m" : "%Y");
    }
    return out;
}

std::string valueTicks(const Axis& axis, const Frame& frame)
{
    std::string out;
    const int decimals =
        axis.step >= 1.0 ? 0 : static_cast<int>(std::ceil(-std::log10(axis.step) - 1e-9));
    const int ticks = static_cast<int>(std::lround((axis.hi - axis.lo) / axis.step));
    for (int i = 0; i <= ticks; ++i) {
        double v = axis.lo + i * axis.step;
        if (std::fabs(v) < axis.step * 1e-6)
            v = 0.0;  // not "-0.0"
        const double y = frame.y(v);
        char label[32];
        std::snprintf(label, sizeof label, "%.*f", decimals, v);
        out += "<line class=\"grid\" x1=\"" + std::to_string(kPlotLeft) + "\" x2=\"" +
               std::to_string(kPlotRight) + "\" y1=\"" + pixel(y) + "\" y2=\"" + pixel(y) + "\"/>";
        out += "<text class=\"tick\" x=\"" + std::to_string(kPlotLeft - 6) + "\" y=\"" +
               pixel(y + 4) + "\" text-anchor=\"end\">" + label + "</text>";
    }
    return out;
}

std::string rect(const char* cls, const std::string& attributes, double x1, double x2, int y,
                 int height, const char* fill, const std::string& title)
{
    const double width = std::max(x2 - x1, 1.0);
    return std::string("<rect class=\"") + cls + "\" " + attributes + " x=\"" + pixel(x1) +
           "\" y=\"" + std::to_string(y) + "\" width=\"" + pixel(width) + "\" height=\"" +
           std::to_string(height) + "\" fill=\"" + fill + "\"><title>" + escapeXml(title) +
           "</title></rect>";
}

std::string timeAttributes(int64_t from_ms, int64_t to_ms)
{
    return "data-from=\"" + std::to_string(from_ms) + "\" data-to=\"" + std::to_string(to_ms) +
           "\"";
}

// Gaps shade the plotting area; each alarm period is a bar in its signal's
// lane above it and a light shade over it.
std::string bands(const PlotSpec& plot, const Frame& frame, const std::vector<std::string>& lanes)
{
    std::string out;
    const int height = kPlotBottom - frame.top();
    if (plot.gaps)
        for (const TimeSpan& gap : *plot.gaps)
            out += rect("gap", timeAttributes(gap.from_ms, gap.to_ms), frame.x(gap.from_ms),
                        frame.x(gap.to_ms), frame.top(), height, "#9e9e9e",
                        "no record from " + isoMillis(gap.from_ms) + " to " +
                            isoMillis(gap.to_ms) + ": " + gap.reason);
    if (!plot.alarms)
        return out;
    for (const AlarmPeriod& a : *plot.alarms) {
        const int64_t end = a.clear_ms ? *a.clear_ms : plot.last_record_ms;
        const std::string title = a.signal + " " + a.text + " (" + a.code + ") from " +
                                  isoMillis(a.onset_ms) +
                                  (a.clear_ms ? " to " + isoMillis(*a.clear_ms) : ", still active");
        const auto lane = std::find(lanes.begin(), lanes.end(), a.signal) - lanes.begin();
        out += rect("alarm-shade", "", frame.x(a.onset_ms), frame.x(end), frame.top(), height,
                    alarmColor(a.signal), title);
        out += rect(
            "alarm",
            "data-signal=\"" + escapeXml(a.signal) + "\" " + timeAttributes(a.onset_ms, end),
            frame.x(a.onset_ms), frame.x(end), kPlotTop + static_cast<int>(lane) * kLaneHeight + 1,
            kLaneHeight - 2, alarmColor(a.signal), title);
    }
    for (std::size_t i = 0; i < lanes.size(); ++i)
        out += "<text class=\"lane\" x=\"" + std::to_string(kPlotLeft - 6) + "\" y=\"" +
               std::to_string(kPlotTop + static_cast<int>(i) * kLaneHeight + kLaneHeight - 1) +
               "\" text-anchor=\"end\">" + escapeXml(lanes[i]) + "</text>";
    return out;
}

// The series as polylines through each column's extremes; a time without
// records longer than the break ends one line and starts the next.
std::string lines(const PlotSpec& plot, const Frame& frame)
{
    std::string out;
    for (const PlotSeries& s : plot.series) {
        std::string points;
        int count = 0;
        int64_t previous_ms = 0;
        const auto flush = [&] {
            if (count == 1)
                points += " " + points;  // a lone column still shows as a dot
            if (count > 0)
                out += std::string("<polyline class=\"series\" data-series=\"") + s.name +
                       "\" stroke=\"" + s.color + "\" points=\"" + points + "\"/>";
            points.clear();
            count = 0;
        };
        for (std::size_t c = 0; c < s.columns->size(); ++c) {
            const PlotColumn& column = (*s.columns)[c];
            if (!column.used)
                continue;
            if (count > 0 && column.first_ms - previous_ms > plot.break_after_ms)
                flush();
            const std::string x = pixel(frame.xOfColumn(c));
            points += (count ? " " : "") + x + "," + pixel(frame.y(column.first_extreme));
            if (column.second_extreme != column.first_extreme)
                points += " " + x + "," + pixel(frame.y(column.second_extreme));
            ++count;
            previous_ms = column.last_ms;
        }
        flush();
    }
    return out;
}

}  // namespace

const char* alarmColor(const std::string& signal)
{
    if (signal == "a_5")
        return "#ff9800";
    if (signal == "a_6")
        return "#e91e63";
    if (signal == "a_7")
        return "#f44336";
    if (signal == "b_2")
        return "#9c27b0";
    return "#795548";
}

std::string renderPlot(const PlotSpec& plot)
{
    const Axis axis = valueAxis(plot.series);
    const std::vector<std::string> lanes = alarmLanes(plot);
    const Frame frame(plot, axis, lanes.size());
    std::string svg =
        "<svg class=\"plot\" width=\"" + std::to_string(kPlotWidth) + "\" height=\"" +
        std::to_string(kPlotHeight) + "\" viewBox=\"0 0 " + std::to_string(kPlotWidth) + " " +
        std::to_string(kPlotHeight) + "\" role=\"img\" aria-label=\"" + escapeXml(plot.title) +
        "\" data-from=\"" + std::to_string(plot.from_ms) + "\" data-to=\"" +
        std::to_string(plot.to_ms) + "\" data-y-min=\"" + fmt("%.17g", axis.lo) +
        "\" data-y-max=\"" + fmt("%.17g", axis.hi) + "\" data-left=\"" + std::to_string(kPlotLeft) +
        "\" data-right=\"" + std::to_string(kPlotLeft + static_cast<int>(kPlotColumns) - 1) +
        "\" data-top=\"" + std::to_string(frame.top()) + "\" data-bottom=\"" +
        std::to_string(kPlotBottom) + "\">";
    svg += "<rect class=\"area\" x=\"" + std::to_string(kPlotLeft) + "\" y=\"" +
           std::to_string(frame.top()) + "\" width=\"" + std::to_string(kPlotRight - kPlotLeft) +
           "\" height=\"" + std::to_string(kPlotBottom - frame.top()) + "\"/>";
    svg += bands(plot, frame, lanes);
    svg += valueTicks(axis, frame);
    svg += timeTicks(plot, frame);
    svg += lines(plot, frame);
    svg += "</svg>";
    return svg;
}

}  // namespace keltool
