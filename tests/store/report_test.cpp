// `kel36-host report`: the numbers, alarm periods, gaps and plots of the HTML
// report agree with the stored rows, for a history made to measure through
// the store's API and for one polled from simulated controllers.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <regex>

#include "support/history_rows.h"
#include "host/tool/record_decoder.h"
#include "host/tool/store/history_writer.h"
#include "host/tool/store/iso_time.h"
#include "host_process.h"

namespace toolstest {
namespace {

// The text of the first match of `pattern`'s group 1 in `text`, "" when none.
std::string capture(const std::string& text, const std::string& pattern)
{
    std::smatch m;
    return std::regex_search(text, m, std::regex(pattern)) ? m[1].str() : "";
}

std::string attribute(const std::string& element, const std::string& name)
{
    return capture(element, " " + name + "=\"([^\"]*)\"");
}

std::vector<std::string> elements(const std::string& text, const std::string& pattern)
{
    std::vector<std::string> out;
    const std::regex re(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
         ++it)
        out.push_back(it->str());
    return out;
}

// One device's section of the report.
std::string section(const std::string& html, const std::string& device)
{
    const std::size_t head = html.find("<h2>" + device + "</h2>");
    if (head == std::string::npos)
        return "";
    return html.substr(head, html.find("</section>", head) - head);
}

// The plot under the heading `title`.
std::string plot(const std::string& section_html, const std::string& title)
{
    const std::size_t head = section_html.find("<h3>" + title);
    if (head == std::string::npos)
        return "";
    const std::size_t start = section_html.find("<svg", head);
    return section_html.substr(start, section_html.find("</svg>", start) - start);
}

// A series' points mapped back to values through the plot's stated frame.
std::vector<double> plottedValues(const std::string& svg, const std::string& series,
                                  std::size_t* polylines = nullptr)
{
    const double y_min = std::stod(attribute(svg, "data-y-min"));
    const double y_max = std::stod(attribute(svg, "data-y-max"));
    const double top = std::stod(attribute(svg, "data-top"));
    const double bottom = std::stod(attribute(svg, "data-bottom"));
    std::vector<double> values;
    const auto lines = elements(svg, "<polyline[^>]*data-series=\"" + series + "\"[^>]*>");
    if (polylines)
        *polylines = lines.size();
    for (const std::string& line : lines) {
        std::istringstream points(attribute(line, "points"));
        std::string point;
        while (points >> point) {
            const double y = std::stod(point.substr(point.find(',') + 1));
            values.push_back(y_min + (bottom - y) / (bottom - top) * (y_max - y_min));
        }
    }
    return values;
}

// Half a hundredth of a pixel: the precision of the plotted coordinates.
double pixelTolerance(const std::string& svg)
{
    const double span =
        std::stod(attribute(svg, "data-y-max")) - std::stod(attribute(svg, "data-y-min"));
    const double height =
        std::stod(attribute(svg, "data-bottom")) - std::stod(attribute(svg, "data-top"));
    return span / height * 0.006;
}

std::string writeReport(const std::string& db, const std::string& html_path)
{
    const HostRun run = runHost({"report", db, "-o", html_path});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("report " + html_path + ":"), std::string::npos) << run.out;
    return readFile(html_path);
}

void putFloat(keltool::RecordBytes& record, const char* field, float value)
{
    std::memcpy(&record[keltool::findField(field)->offset], &value, 4);
}

// Two hours at one record a second with a ten-minute gap, a cleared and a
// still active alarm, stalls and a restored record whose values are far out.
class ReportFromStore : public ::testing::Test {
protected:
    static constexpr int64_t kStart = 1767225600000;  // 2026-01-01T00:00:00Z
    static constexpr int kSeconds = 7200;
    static bool inGap(int s) { return s >= 3000 && s < 3600; }
    static float uabAt(int s) { return 400.0f + 12.0f * std::sin(s / 300.0f) + (s % 7) * 0.1f; }
    static float frequencyAt(int s) { return 50.0f + 0.4f * std::cos(s / 700.0f); }

    void SetUp() override
    {
        keltool::HistoryWriter writer(db_);
        keltool::RecordBytes record{};
        putFloat(record, "uab", 999.0f);
        writer.record("gen-a", 5001, keltool::RecordSource::Cache, record.data(), 100,
                      keltool::WallTime{kStart / 1000 - 1, 0});
        for (int s = 0; s < kSeconds; ++s) {
            if (inGap(s))
                continue;
            putFloat(record, "uab", uabAt(s));
            putFloat(record, "frequency", frequencyAt(s));
            putFloat(record, "battery_voltage", 27.0f - s / 3600.0f);
            record[keltool::findField("status_a")->offset] = s >= 1000 && s < 1500 ? 0x80 : 0;
            record[keltool::findField("status_b")->offset] = s >= 6500 ? 0x04 : 0;
            const keltool::WallTime when{(kStart / 1000) + s, 0};
            writer.record("gen-a", 5001, keltool::RecordSource::Poll, record.data(), 100, when);
            if (s % 1000 == 500)
                writer.stall(
                    "gen-a",
                    s == 1500 ? keltool::StallReason::Refused : keltool::StallReason::NoReply, 13,
                    when);
        }
        writer.alarmName("gen-a", "a_7", "05010", "低油压告警");
        writer.alarmName("gen-a", "b_2", "05029", "频率低告警");
        writer.record("gen-b", 5002, keltool::RecordSource::Poll, record.data(), 100,
                      keltool::WallTime{kStart / 1000, 0});
    }

    TempDir dir_;
    const std::string db_ = dir_.file("h.db");
};

TEST_F(ReportFromStore, StatisticsCountsAlarmPeriodsGapsAndPlotsMatchTheRows)
{
    const std::string html = writeReport(db_, dir_.file("report.html"));
    // Self-contained: nothing fetched, nothing run.
    for (const char* outside : {"http:", "https:", "src=", "url(", "@import", "<script", "<link"})
        EXPECT_EQ(html.find(outside), std::string::npos) << outside;
    EXPECT_FALSE(section(html, "gen-b").empty());
    const std::string a = section(html, "gen-a");
    ASSERT_FALSE(a.empty());

    EXPECT_EQ(capture(a, "data-count=\"rounds\">(\\d+)<"), std::to_string(kSeconds - 600));
    EXPECT_EQ(capture(a, "data-count=\"stalls\">(\\d+)<"), "6");
    EXPECT_EQ(capture(a, "data-count=\"gaps\">(\\d+)<"), "1");
    EXPECT_NE(a.find("1 restored from the cache"), std::string::npos);

    // Statistics over every polled row; the restored record is not one.
    double sum = 0.0;
    float lo = 1e9f, hi = -1e9f;
    for (int s = 0; s < kSeconds; ++s)
        if (!inGap(s)) {
            sum += uabAt(s);
            lo = std::min(lo, uabAt(s));
            hi = std::max(hi, uabAt(s));
        }
    const std::string uab_row = capture(a, "(<tr data-value=\"uab\">.*?</tr>)");
    EXPECT_EQ(std::strtof(capture(uab_row, "class=\"num min\">([^<]+)<").c_str(), nullptr), lo);
    EXPECT_EQ(std::strtof(capture(uab_row, "class=\"num max\">([^<]+)<").c_str(), nullptr), hi);
    EXPECT_NEAR(std::stod(capture(uab_row, "class=\"num mean\">([^<]+)<")), sum / (kSeconds - 600),
                1e-3);

    // Alarm periods: onset at the first record with the bit, clear at the first without.
    const std::string a7 = capture(a, "(<tr data-signal=\"a_7\">.*?</tr>)");
    EXPECT_NE(a7.find("05010"), std::string::npos);
    EXPECT_NE(a7.find("低油压告警"), std::string::npos);
    EXPECT_NE(a7.find(keltool::isoMillis(kStart + 1000000)), std::string::npos);
    EXPECT_NE(a7.find(keltool::isoMillis(kStart + 1500000)), std::string::npos);
    const std::string b2 = capture(a, "(<tr data-signal=\"b_2\">.*?</tr>)");
    EXPECT_NE(b2.find("still active"), std::string::npos);

    // Plots: the series reach the statistics' extremes, break at the gap and
    // stay decimated; the bands sit at the alarm and gap times.
    const std::string line_plot = plot(a, "Line voltages");
    ASSERT_FALSE(line_plot.empty());
    std::size_t polylines = 0;
    const std::vector<double> uab = plottedValues(line_plot, "uab", &polylines);
    EXPECT_EQ(polylines, 2u);
    ASSERT_FALSE(uab.empty());
    EXPECT_LE(uab.size(), 2u * 880u);
    const double tolerance = pixelTolerance(line_plot);
    EXPECT_NEAR(*std::max_element(uab.begin(), uab.end()), hi, tolerance);
    EXPECT_NEAR(*std::min_element(uab.begin(), uab.end()), lo, tolerance);
    const std::vector<double> frequency = plottedValues(plot(a, "Frequency"), "frequency");
    EXPECT_NEAR(*std::max_element(frequency.begin(), frequency.end()), 50.4,
                pixelTolerance(plot(a, "Frequency")) + 1e-4);

    const double left = std::stod(attribute(line_plot, "data-left"));
    const double right = std::stod(attribute(line_plot, "data-right"));
    const auto xOf = [&](int64_t ms) {
        return left + static_cast<double>(ms - kStart) * (right - left) /
                          static_cast<double>((kSeconds - 1) * 1000);
    };
    const auto bands = elements(line_plot, "<rect class=\"(alarm|gap)\"[^>]*>");
    std::map<std::string, std::pair<int64_t, int64_t>> times;
    for (const std::string& band : bands) {
        const std::string name =
            attribute(band, "data-signal").empty() ? "gap" : attribute(band, "data-signal");
        times[name] = {std::stoll(attribute(band, "data-from")),
                       std::stoll(attribute(band, "data-to"))};
        EXPECT_NEAR(std::stod(attribute(band, "x")), xOf(times[name].first), 0.01) << name;
    }
    using Span = std::pair<int64_t, int64_t>;
    EXPECT_EQ(times["a_7"], Span(kStart + 1000000, kStart + 1500000));
    EXPECT_EQ(times["b_2"], Span(kStart + 6500000, kStart + (kSeconds - 1) * 1000LL));
    EXPECT_EQ(times["gap"], Span(kStart + 2999000, kStart + 3600000));
}

// Timeline scenarios (values changing during one simulated run) can replace
// the two runs below once the simulator plays them.
TEST(ReportFromPolling, AnAlarmRunThenAHealthyRunShowTheAlarmPeriodWithCodeAndText)
{
    TempDir dir;
    const std::string db = dir.file("h.db");
    for (const char* scenario : {"scenario-alarms.json", "scenario.json"}) {
        const HostRun run = runHost({"--plugin", pluginPath(), "--name", "genset-1", "--data-id",
                                     "5001", "--scenario", examplePath(scenario), "--rounds", "3",
                                     "--interval", "100", "--history", db});
        ASSERT_EQ(run.exit_code, 0) << run.err;
    }
    const auto rows = historytest::readRows(db);
    ASSERT_EQ(rows.size(), 6u);
    const std::string html = writeReport(db, dir.file("r.html"));
    const std::string s = section(html, "genset-1");
    EXPECT_EQ(capture(s, "data-count=\"rounds\">(\\d+)<"), "6");
    EXPECT_NE(s.find("<tr><th>data id</th><td>5001</td></tr>"), std::string::npos);
    EXPECT_NE(s.find("<tr><th>runs</th><td>2: started"), std::string::npos);
    for (const auto& [signal, code, text] :
         {std::tuple<const char*, const char*, const char*>{"a_7", "05010", "低油压告警"},
          {"b_2", "05029", "频率低告警"}}) {
        const std::string row =
            capture(s, std::string("(<tr data-signal=\"") + signal + "\">.*?</tr>)");
        EXPECT_NE(row.find(std::string("<td>") + code + "</td><td>" + text + "</td><td>" +
                           keltool::isoMillis(rows[0].time_ms) + "</td><td>" +
                           keltool::isoMillis(rows[3].time_ms) + "</td>"),
                  std::string::npos)
            << row;
    }
    const std::string frequency = capture(s, "(<tr data-value=\"frequency\">.*?</tr>)");
    EXPECT_NE(frequency.find("class=\"num min\">47.5<"), std::string::npos) << frequency;
    EXPECT_NE(frequency.find("class=\"num max\">50.1<"), std::string::npos) << frequency;
}

}  // namespace
}  // namespace toolstest
