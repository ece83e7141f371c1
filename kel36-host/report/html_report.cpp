#include "kel36-host/report/html_report.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "kel36-host/output/json_line.h"
#include "kel36-host/report/markup.h"
#include "kel36-host/report/svg_plot.h"
#include "kel36-host/store/iso_time.h"

namespace keltool {

std::string escapeXml(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::string durationText(int64_t ms)
{
    char text[64];
    if (ms < 60000) {
        std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
        return text;
    }
    const int64_t s = ms / 1000;
    if (s < 3600)
        std::snprintf(text, sizeof text, "%lld min %02lld s", static_cast<long long>(s / 60),
                      static_cast<long long>(s % 60));
    else if (s < 86400)
        std::snprintf(text, sizeof text, "%lld h %02lld min", static_cast<long long>(s / 3600),
                      static_cast<long long>(s / 60 % 60));
    else
        std::snprintf(text, sizeof text, "%lld d %02lld h", static_cast<long long>(s / 86400),
                      static_cast<long long>(s / 3600 % 24));
    return text;
}

namespace {

const char kStyle[] = R"css(
body { font: 14px/1.4 system-ui, sans-serif; color: #212121; margin: 24px auto; max-width: 1000px; padding: 0 12px; }
h1 { font-size: 22px; margin-bottom: 4px; }
h2 { font-size: 19px; border-bottom: 2px solid #1565c0; padding-bottom: 2px; margin-top: 36px; }
h3 { font-size: 15px; margin: 20px 0 4px; }
table { border-collapse: collapse; margin: 4px 0 8px; }
th, td { padding: 3px 10px; border-bottom: 1px solid #e0e0e0; text-align: left; vertical-align: top; }
table.stats td.num, table.stats th.num { text-align: right; font-variant-numeric: tabular-nums; }
table.facts th { font-weight: 600; color: #555; width: 110px; }
.meta, .note { color: #616161; }
.warn { color: #b71c1c; font-weight: 600; }
p.never { color: #b71c1c; background: #ffebee; border-left: 6px solid #b71c1c; padding: 8px 12px; font-size: 16px; }
.legend span { display: inline-block; margin-right: 14px; }
.legend i { display: inline-block; width: 14px; height: 10px; margin-right: 4px; vertical-align: middle; }
svg.plot { display: block; max-width: 100%; height: auto; }
svg.plot .area { fill: #fff; stroke: #bdbdbd; }
svg.plot .grid { stroke: #eeeeee; }
svg.plot .tick { font-size: 11px; fill: #616161; }
svg.plot .lane { font-size: 9px; fill: #616161; }
svg.plot polyline { fill: none; stroke-width: 1.3; stroke-linejoin: round; stroke-linecap: round; }
svg.plot rect.alarm-shade { fill-opacity: 0.1; }
svg.plot rect.gap { fill-opacity: 0.35; }
.t, td.why { white-space: nowrap; }
.alarm-text { white-space: nowrap; word-break: keep-all; }
table.summary td.num { text-align: right; }
@media print {
  @page { margin: 14mm 12mm; }
  body { margin: 0; max-width: none; padding: 0; font-size: 11px; }
  section.device { break-before: page; }
  h1, h2, h3, .legend { break-after: avoid; }
  .keep, tr, svg.plot, table.facts, table.stats { break-inside: avoid; }
  svg.plot { width: 100%; }
  td.why { white-space: normal; }
}
)css";

struct PlotGroup {
    const char* title;
    const char* unit;
    const char* values[3];
};
constexpr PlotGroup kPlots[] = {
    {"Line voltages", "V", {"uab", "ubc", "uca"}},
    {"Phase voltages", "V", {"ua", "ub", "uc"}},
    {"Frequency", "Hz", {"frequency", nullptr, nullptr}},
    {"Battery voltage", "V", {"battery_voltage", nullptr, nullptr}},
};
constexpr const char* kSeriesColors[] = {"#1565c0", "#2e7d32", "#212121"};

std::size_t valueIndex(const char* name)
{
    for (std::size_t i = 0; i < kReportValueCount; ++i)
        if (std::string(reportValues()[i].name) == name)
            return i;
    return 0;
}

// One rule per value: minimum and maximum with the decimals its values
// carry, the mean with one more.
std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    if (text[0] == '-' && std::strspn(text + 1, "0.") == std::strlen(text + 1))
        std::memmove(text, text + 1, std::strlen(text));  // not "-0.0"
    return text;
}

// An ISO time that a line never breaks.
std::string timeText(int64_t ms)
{
    return "<span class=\"t\">" + isoMillis(ms) + "</span>";
}

std::string row(const std::string& head, const std::string& cell)
{
    return "<tr><th>" + head + "</th><td>" + cell + "</td></tr>";
}

std::string facts(const DeviceReport& d)
{
    std::string ids;
    for (const uint32_t id : d.data_ids)
        ids += (ids.empty() ? "" : ", ") + std::to_string(id);
    std::string html = "<table class=\"facts\">";
    html += row("device", escapeXml(d.device));
    html += row("data id", ids.empty() ? "—" : ids);
    if (d.rounds > 0)
        html += row("period", timeText(d.first_ms) + " to " + timeText(d.end_ms) + " (" +
                                  durationText(d.end_ms - d.first_ms) + ")" +
                                  (d.end_ms > d.last_ms ? "; last record " + timeText(d.last_ms)
                                                        : std::string()));
    std::string rounds =
        "<span data-count=\"rounds\">" + std::to_string(d.rounds) + "</span> polled records";
    if (d.rounds >= 2)
        rounds += ", one every " + durationText(d.median_interval_ms) + " (median)";
    if (d.restored > 0)
        rounds +=
            "; " + std::to_string(d.restored) + " restored from the cache (not in the statistics)";
    html += row("rounds", rounds);
    const std::string blocked =
        d.stalls_write_blocked == 0
            ? ""
            : ", " + std::to_string(d.stalls_write_blocked) + " requests the line did not take";
    html += row("stalls", "<span data-count=\"stalls\">" +
                              std::to_string(d.stalls_no_reply + d.stalls_refused +
                                             d.stalls_write_blocked) +
                              "</span> (" + std::to_string(d.stalls_no_reply) +
                              " without a reply in time, " + std::to_string(d.stalls_refused) +
                              " refused replies" + blocked + ")");
    int64_t gap_total = 0;
    for (const TimeSpan& g : d.gaps)
        gap_total += g.to_ms - g.from_ms;
    html +=
        row("gaps", "<span data-count=\"gaps\">" + std::to_string(d.gaps.size()) + "</span>" +
                        (d.gaps.empty() ? "" : ", " + durationText(gap_total) + " in all") +
                        " (no record for longer than " + durationText(d.gap_threshold_ms) + ")");
    std::string runs = std::to_string(d.runs.size());
    for (std::size_t i = 0; i < d.runs.size() && i < 10; ++i)
        runs +=
            (i ? "; " : ": ") + std::string("started ") + timeText(d.runs[i].started_ms) +
            (d.runs[i].ended_ms ? ", ended " + timeText(*d.runs[i].ended_ms) : ", no clean end");
    html += row("runs", runs);
    if (d.skipped > 0)
        html += row("left out", "<span class=\"warn\" data-count=\"skipped\">" +
                                    std::to_string(d.skipped) +
                                    "</span> stored rows with a source that is neither poll nor "
                                    "cache, or a time outside the years 1970 to 9999");
    return html + "</table>";
}

std::string statsTable(const DeviceReport& d)
{
    std::string html =
        "<table class=\"stats\"><thead><tr><th>value</th><th>unit</th><th class=\"num\">min"
        "</th><th class=\"num\">mean</th><th class=\"num\">max</th><th class=\"num\">records"
        "</th></tr></thead><tbody>";
    for (std::size_t i = 0; i < kReportValueCount; ++i) {
        const ReportValue& v = reportValues()[i];
        const ValueStats& s = d.stats[i];
        html += std::string("<tr data-value=\"") + v.name + "\"><td>" + v.label + " (" + v.name +
                ")</td><td>" + v.unit + "</td>";
        if (s.count == 0) {
            html += "<td class=\"num\">—</td><td class=\"num\">—</td><td class=\"num\">—</td>";
        } else {
            html += "<td class=\"num min\">" + fixed(s.min, s.decimals) + "</td>";
            html += "<td class=\"num mean\">" + fixed(s.mean(), s.decimals + 1) + "</td>";
            html += "<td class=\"num max\">" + fixed(s.max, s.decimals) + "</td>";
        }
        html += "<td class=\"num\">" + std::to_string(s.count) + "</td></tr>";
    }
    return html + "</tbody></table>";
}

// A history written without the driver's alarm texts leaves them unknown.
std::string orDash(const std::string& text)
{
    return text.empty() ? "—" : escapeXml(text);
}

// How much of an alarm period fell into gaps, so a period that spans one
// does not pass for a watched one.
std::string noData(int64_t no_data_ms, int64_t length_ms)
{
    if (no_data_ms <= 0)
        return "—";
    char share[16];
    std::snprintf(share, sizeof share, "%.0f %%",
                  length_ms > 0 ? 100.0 * static_cast<double>(no_data_ms) / length_ms : 100.0);
    return "<span class=\"warn\">" + durationText(no_data_ms) + " (" + share + ")</span>";
}

std::string alarmTable(const DeviceReport& d)
{
    if (d.alarms.empty())
        return "<p class=\"note\">No alarm was active in any polled record.</p>";
    std::string html =
        "<table class=\"alarms\"><thead><tr><th>signal</th><th>code</th><th>alarm</th>"
        "<th>onset</th><th>clear</th><th>duration</th><th>without data</th></tr></thead>"
        "<tbody>";
    for (const AlarmPeriod& a : d.alarms) {
        const int64_t end = a.clear_ms ? *a.clear_ms : d.last_ms;
        html += "<tr data-signal=\"" + escapeXml(a.signal) +
                "\"><td><i style=\"color:" + alarmColor(a.signal) + "\">■</i> " +
                escapeXml(a.signal) + "</td><td>" + orDash(a.code) + "</td><td class=\"alarm-text\">" + orDash(a.text) +
                "</td><td class=\"t\">" + isoMillis(a.onset_ms) + "</td><td class=\"t\">" +
                (a.clear_ms ? isoMillis(*a.clear_ms) : std::string("still active")) + "</td><td>" +
                (a.clear_ms ? "" : "at least ") + durationText(end - a.onset_ms) +
                "</td><td class=\"no-data\">" + noData(a.no_data_ms, end - a.onset_ms) +
                "</td></tr>";
    }
    return html + "</tbody></table>";
}

std::string plots(const DeviceReport& d)
{
    std::string html;
    for (const PlotGroup& group : kPlots) {
        PlotSpec plot;
        plot.title = group.title;
        plot.from_ms = d.first_ms;
        plot.to_ms = d.end_ms;
        plot.last_record_ms = d.last_ms;
        plot.break_after_ms = d.gap_threshold_ms;
        plot.alarms = &d.alarms;
        plot.gaps = &d.gaps;
        std::string legend;
        for (std::size_t i = 0; i < 3 && group.values[i]; ++i) {
            const std::size_t v = valueIndex(group.values[i]);
            plot.series.push_back(
                PlotSeries{group.values[i], kSeriesColors[i], &d.columns[v], d.stats[v]});
            legend += std::string("<span><i style=\"background:") + kSeriesColors[i] + "\"></i>" +
                      group.values[i] + "</span>";
        }
        for (const AlarmPeriod& a : d.alarms)
            if (legend.find(">" + a.signal + " ") == std::string::npos)
                legend += std::string("<span><i style=\"background:") + alarmColor(a.signal) +
                          ";opacity:.4\"></i>" + escapeXml(a.signal) + " " + escapeXml(a.text) +
                          "</span>";
        if (!d.gaps.empty())
            legend += "<span><i style=\"background:#9e9e9e;opacity:.5\"></i>no record</span>";
        html += std::string("<div class=\"keep\"><h3>") + group.title + " (" + group.unit +
                ")</h3><div class=\"legend\">" + legend + "</div>" + renderPlot(plot) + "</div>";
    }
    return html;
}

std::string gapList(const DeviceReport& d)
{
    if (d.gaps.empty())
        return "";
    constexpr std::size_t kListed = 50;
    std::string html =
        "<h3>Gaps</h3><table class=\"gaps\"><thead><tr><th>from</th><th>to</th>"
        "<th>without records</th><th>why</th></tr></thead><tbody>";
    for (std::size_t i = 0; i < d.gaps.size() && i < kListed; ++i)
        html += "<tr><td class=\"t\">" + isoMillis(d.gaps[i].from_ms) + "</td><td class=\"t\">" +
                isoMillis(d.gaps[i].to_ms) + "</td><td>" +
                durationText(d.gaps[i].to_ms - d.gaps[i].from_ms) + "</td><td class=\"why\">" +
                escapeXml(d.gaps[i].reason) + "</td></tr>";
    html += "</tbody></table>";
    if (d.gaps.size() > kListed)
        html += "<p class=\"note\">and " + std::to_string(d.gaps.size() - kListed) + " more.</p>";
    return html;
}

std::string stallsByReason(const DeviceReport& d)
{
    std::string text = std::to_string(d.stalls_no_reply) + " without a reply in time, " +
                       std::to_string(d.stalls_refused) + " refused replies";
    if (d.stalls_write_blocked > 0)
        text += ", " + std::to_string(d.stalls_write_blocked) + " requests the line did not take";
    return text;
}

// A device without a single polled record is the one a test report most
// needs to show: said first, in red, with what its stalls were.
std::string neverAnswered(const DeviceReport& d, const ReportDocument& doc)
{
    const uint64_t stalls = d.stalls_no_reply + d.stalls_refused + d.stalls_write_blocked;
    std::string html = "<p class=\"never\" data-never-answered=\"" + escapeXml(d.device) +
                       "\"><strong>" + escapeXml(d.device) +
                       " never answered</strong>: no polled record";
    if (doc.from_ms || doc.to_ms)
        html += " in this range";
    html += ". ";
    if (stalls == 0)
        html += "No stall was stored either.";
    else
        html += std::to_string(stalls) + " stall" + (stalls == 1 ? "" : "s") + " (" +
                stallsByReason(d) + ") from " + timeText(d.first_stall_ms) + " to " +
                timeText(d.last_stall_ms) + ".";
    return html + "</p>\n";
}

// The title page: one line per device, so a printed report's first page
// says how the test went.
std::string summary(const ReportDocument& doc)
{
    std::string html =
        "<h2 class=\"summary\">Summary</h2>\n<table class=\"summary\"><thead><tr><th>device"
        "</th><th>period</th><th class=\"num\">records</th><th class=\"num\">stalls</th>"
        "<th class=\"num\">gaps</th><th class=\"num\">alarm periods</th></tr></thead><tbody>";
    for (std::size_t i = 0; i < doc.devices.size(); ++i) {
        const DeviceReport& d = doc.devices[i];
        html += "<tr data-device=\"" + escapeXml(d.device) + "\"><td><a href=\"#device-" +
                std::to_string(i + 1) + "\">" + escapeXml(d.device) + "</a></td><td>" +
                (d.rounds == 0 ? std::string("<span class=\"warn\">never answered</span>")
                               : durationText(d.end_ms - d.first_ms)) +
                "</td><td class=\"num\">" + std::to_string(d.rounds) + "</td><td class=\"num\">" +
                std::to_string(d.stalls_no_reply + d.stalls_refused + d.stalls_write_blocked) +
                "</td><td class=\"num\">" + std::to_string(d.gaps.size()) +
                "</td><td class=\"num\">" + std::to_string(d.alarms.size()) + "</td></tr>";
    }
    return html + "</tbody></table>\n";
}

}  // namespace

std::string renderHtmlReport(const ReportDocument& doc)
{
    std::string names;
    for (const DeviceReport& d : doc.devices)
        names += (names.empty() ? "" : ", ") + d.device;
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>Generator-set test report: " +
        escapeXml(names) + "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n";
    html += "<h1>Generator-set test report</h1>\n<p class=\"meta\">History <code>" +
            escapeXml(doc.history_path) + "</code>";
    if (doc.from_ms || doc.to_ms)
        html += ", records " + (doc.from_ms ? "from " + timeText(*doc.from_ms) : std::string()) +
                (doc.from_ms && doc.to_ms ? " " : "") +
                (doc.to_ms ? "to " + timeText(*doc.to_ms) : std::string());
    html += ". Made by " + escapeXml(doc.program) + " at " + timeText(doc.made_ms) + ".</p>\n";
    if (doc.devices.empty())
        html += "<p class=\"note\">No device has records, stalls or events in this range.</p>\n";
    if (!doc.devices.empty())
        html += summary(doc);
    for (std::size_t i = 0; i < doc.devices.size(); ++i) {
        const DeviceReport& d = doc.devices[i];
        html += "<section class=\"device\" id=\"device-" + std::to_string(i + 1) + "\">\n<h2>" +
                escapeXml(d.device) + "</h2>\n";
        if (d.rounds == 0) {
            html += neverAnswered(d, doc) + facts(d) + "\n</section>\n";
            continue;
        }
        html += facts(d) + "\n<div class=\"keep\"><h3>Values</h3>\n" + statsTable(d) +
                "</div>\n<h3>Alarms</h3>\n" + alarmTable(d) + "\n";
        if (d.rounds > 0)
            html += plots(d) + "\n";
        html += gapList(d) + "</section>\n";
    }
    html +=
        "<p class=\"meta\">Rounds are polled records; the statistics, plots and alarm "
        "periods use every polled record of the range (plots draw each pixel column's "
        "minimum and maximum). An alarm period runs from the first record with its bit set "
        "to the first record without it. Stalls are rounds that ended without a record. A "
        "gap is a time without records longer than three median intervals, at least 2 s. "
        "Times are local, with their offset from UTC.</p>\n</body>\n</html>\n";
    return html;
}

}  // namespace keltool
