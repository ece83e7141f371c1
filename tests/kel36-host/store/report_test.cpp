// `kel36-host report`: the numbers, alarm periods, gaps and plots of the HTML
// report agree with the stored rows, for a history made to measure through
// the store's API and for one polled from a simulated controller's timeline.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <thread>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/history_rows.h"
#include "kel36-host/output/record_decoder.h"
#include "kel36-host/report/html_report.h"
#include "kel36-host/store/history_writer.h"
#include "kel36-host/store/iso_time.h"
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

// A time as the report's text shows it (a span no line breaks).
std::string shownTime(int64_t ms)
{
    return "<span class=\"t\">" + keltool::isoMillis(ms) + "</span>";
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

// A run polled from a timeline: the line voltage and frequency ramp down, low
// oil pressure comes and goes. The report's numbers are the rows' numbers as
// sqlite computes them, its alarm period starts and ends at the rows where
// the bit changes, and its plots carry the ramp.
TEST(ReportFromPolling, ATimelineRunsRampAndAlarmPeriodMatchTheRows)
{
    TempDir dir;
    const std::string scenario = dir.file("drill.json");
    std::ofstream(scenario) << R"({"uab": 400.0, "ubc": 400.0, "uca": 400.0, "frequency": 50.0,
        "ua": 231, "ub": 231, "uc": 231, "battery_voltage": 27.6, "registers": {"0": 1},
        "timeline": {"steps": [
          {"at": 0.4, "over": 1, "ramp": {"uab": 380.0, "frequency": 49.0}},
          {"at": 0.8, "set": {"a_7": true}},
          {"at": 1.6, "set": {"a_7": false}}]}})";
    const std::string db = dir.file("h.db");
    const HostRun run = runHost({"--plugin", pluginPath(), "--name", "genset-1", "--scenario",
                                 scenario, "--rounds", "50", "--interval", "40", "--history", db});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const auto rows = historytest::readRows(db);
    ASSERT_EQ(rows.size(), 50u);
    const std::string s = section(writeReport(db, dir.file("r.html")), "genset-1");
    ASSERT_FALSE(s.empty());
    EXPECT_EQ(capture(s, "data-count=\"rounds\">(\\d+)<"), "50");

    // The ramp is in the rows, and every value's statistics are sqlite's.
    EXPECT_EQ(historytest::queryValue(db, "SELECT min(uab) FROM records"), "380.0");
    for (const char* value :
         {"uab", "ubc", "uca", "frequency", "ua", "ub", "uc", "battery_voltage"}) {
        const auto sql = historytest::query(db, std::string("SELECT min(") + value + "), avg(" +
                                                    value + "), max(" + value + ") FROM records");
        const std::string row =
            capture(s, std::string("(<tr data-value=\"") + value + "\">.*?</tr>)");
        const auto cell = [&](const char* name) {
            return std::stod(capture(row, std::string("class=\"num ") + name + "\">([^<]+)<"));
        };
        EXPECT_EQ(static_cast<float>(cell("min")), std::stof(sql[0][0])) << value;
        // The mean is shown to one decimal more than the values carry.
        const std::string mean = capture(row, "class=\"num mean\">([^<]+)<");
        const std::size_t point = mean.find('.');
        const double unit =
            point == std::string::npos ? 1.0 : std::pow(10.0, -double(mean.size() - point - 1));
        EXPECT_NEAR(cell("mean"), std::stod(sql[0][1]), unit / 2 + 1e-9) << value;
        EXPECT_EQ(static_cast<float>(cell("max")), std::stof(sql[0][2])) << value;
    }

    // The alarm period: from the first row with a_7 to the first without it after.
    std::size_t onset = 0;
    while (onset < rows.size() && !(rows[onset].status_a & 0x80))
        ++onset;
    std::size_t clear = onset;
    while (clear < rows.size() && (rows[clear].status_a & 0x80))
        ++clear;
    ASSERT_LT(clear, rows.size()) << "the alarm never came and went";
    const std::string a7 = capture(s, "(<tr data-signal=\"a_7\">.*?</tr>)");
    EXPECT_NE(
        a7.find("<td>05010</td><td class=\"alarm-text\">低油压告警</td><td class=\"t\">" +
                keltool::isoMillis(rows[onset].time_ms) + "</td><td class=\"t\">" +
                keltool::isoMillis(rows[clear].time_ms) + "</td>"),
        std::string::npos)
        << a7;
    const std::string line_plot = plot(s, "Line voltages");
    const std::string band =
        capture(line_plot, "(<rect class=\"alarm\"[^>]*data-signal=\"a_7\"[^>]*>)");
    EXPECT_EQ(attribute(band, "data-from"), std::to_string(rows[onset].time_ms)) << band;
    EXPECT_EQ(attribute(band, "data-to"), std::to_string(rows[clear].time_ms)) << band;

    // The plots hold every row (too few to decimate), the ramp's ends included.
    const std::vector<double> uab = plottedValues(line_plot, "uab");
    ASSERT_EQ(uab.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        EXPECT_NEAR(uab[i], rows[i].values[0], pixelTolerance(line_plot)) << i;
    const std::string frequency_plot = plot(s, "Frequency");
    const std::vector<double> frequency = plottedValues(frequency_plot, "frequency");
    ASSERT_EQ(frequency.size(), rows.size());
    EXPECT_NEAR(*std::min_element(frequency.begin(), frequency.end()), 49.0,
                pixelTolerance(frequency_plot) + 1e-4);
}

// Rows a report cannot place (a source neither poll nor cache, a time before
// 1970 or after 9999, as a damaged or hand-edited file holds them) are left
// out and counted, never drawn past the plot's columns.
TEST(ReportOfStrangeRows, RowsThatFitNoAxisAreSkippedAndCounted)
{
    TempDir dir;
    const std::string db = dir.file("h.db");
    constexpr int64_t kStart = 1767225600000;
    {
        keltool::HistoryWriter writer(db);
        keltool::RecordBytes record{};
        for (int s = 0; s < 20; ++s) {
            putFloat(record, "uab", 400.0f + s);
            writer.record("gen-a", 5001, keltool::RecordSource::Poll, record.data(), 100,
                          keltool::WallTime{kStart / 1000 + s, 0});
        }
    }
    const std::string blob = "zeroblob(100)";
    ASSERT_TRUE(historytest::execute(
        db, "PRAGMA ignore_check_constraints = 1; INSERT INTO records (time_ms, device, data_id, "
            "source, record, status_a, status_b) VALUES "
            "(1000, 'gen-a', 5001, 'bogus', " + blob + ", 0, 0), "
            "(" + std::to_string(kStart + 5000) + ", 'gen-a', 5001, '', " + blob + ", 0, 0), "
            "(9000000000000000000, 'gen-a', 5001, 'poll', " + blob + ", 0, 0), "
            "(-86400000000, 'gen-a', 5001, 'poll', " + blob + ", 0, 0)"));
    const HostRun run = runHost({"report", db, "-o", dir.file("r.html")});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("4 stored rows left out"), std::string::npos) << run.out;
    const std::string a = section(readFile(dir.file("r.html")), "gen-a");
    EXPECT_EQ(capture(a, "data-count=\"rounds\">(\\d+)<"), "20");
    EXPECT_EQ(capture(a, "data-count=\"skipped\">(\\d+)<"), "4");
    EXPECT_NE(a.find(shownTime(kStart) + " to " + shownTime(kStart + 19000)),
              std::string::npos);
    const std::vector<double> uab = plottedValues(plot(a, "Line voltages"), "uab");
    ASSERT_EQ(uab.size(), 20u);
    EXPECT_NEAR(uab.front(), 400.0, 0.05);
    EXPECT_NEAR(uab.back(), 419.0, 0.05);
}

// A report made while kel36-host writes the same history (a documented use)
// reads one snapshot: its counts agree with the rows it drew from, whatever
// was committed meanwhile. Run under the ASan build too.
TEST(ReportBesideAWriter, EachReportIsOneConsistentSnapshot)
{
    TempDir dir;
    const std::string db = dir.file("h.db");
    HostProcess host({"--plugin", pluginPath(), "--name", "genset-1", "--json", "--interval", "0",
                      "--timeout", "300", "--history", db});
    ASSERT_TRUE(host.waitForLines(20, std::chrono::seconds(20))) << host.errorSoFar();
    uint64_t previous = 0;
    for (int i = 0; i < 20; ++i) {
        host.drain();
        const std::string html_path = dir.file("r" + std::to_string(i) + ".html");
        const HostRun run = runHost({"report", db, "-o", html_path});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        const std::string s = section(readFile(html_path), "genset-1");
        ASSERT_FALSE(s.empty()) << run.out;
        const std::string rounds = capture(s, "data-count=\"rounds\">(\\d+)<");
        const std::string uab_row = capture(s, "(<tr data-value=\"uab\">.*?</tr>)");
        EXPECT_EQ(capture(uab_row, "<td class=\"num\">(\\d+)</td></tr>"), rounds) << i;
        EXPECT_EQ(s.find("data-count=\"skipped\""), std::string::npos);
        EXPECT_GE(std::stoull(rounds), previous);
        previous = std::stoull(rounds);
    }
    host.signal(SIGINT);
    EXPECT_NE(host.finish().exit_code, -1);
}

// The report never replaces its input: not by the same name, nor by another
// name of the same file, nor the history's log, nor any other SQLite file.
TEST(ReportOutputPath, TheHistoryOrAnyDatabaseIsRefusedAndLeftAsItIs)
{
    TempDir dir;
    const std::string db = dir.file("h.db");
    {
        keltool::HistoryWriter writer(db);
        keltool::RecordBytes record{};
        writer.record("gen-a", 5001, keltool::RecordSource::Poll, record.data(), 100,
                      keltool::WallTime{1767225600, 0});
    }
    const std::string other = dir.file("shop.db");
    ASSERT_TRUE(historytest::execute(other, "CREATE TABLE t (x); INSERT INTO t VALUES (1)"));
    ASSERT_EQ(::link(db.c_str(), dir.file("hard.html").c_str()), 0);
    ASSERT_EQ(::symlink(db.c_str(), dir.file("soft.html").c_str()), 0);
    const std::string before = readFile(db);
    const std::string other_before = readFile(other);
    for (const std::string& output :
         {db, dir.path() + "/./h.db", dir.file("hard.html"), dir.file("soft.html"), other}) {
        const HostRun run = runHost({"report", db, "-o", output});
        EXPECT_EQ(run.exit_code, 2) << output;
        EXPECT_NE(run.err.find(output == other ? "is an SQLite database; it is left as it is"
                                               : "is the history file"),
                  std::string::npos)
            << run.err;
        EXPECT_EQ(run.out, "") << output;
    }
    EXPECT_EQ(readFile(db), before);
    EXPECT_EQ(readFile(other), other_before);
    EXPECT_EQ(historytest::queryValue(db, "SELECT count(*) FROM records"), "1");
    // A new name beside them still works.
    EXPECT_EQ(runHost({"report", db, "-o", dir.file("r.html")}).exit_code, 0);
}

// The device that never answered is the one a test report most needs: found
// in stalls (or events, in a history that has them) without any record, it
// gets its own section that says so, with its stalls by reason.
TEST(ReportOfSilentDevices, ADeviceWithoutRecordsGetsASectionSayingItNeverAnswered)
{
    TempDir dir;
    const std::string db = dir.file("h.db");
    constexpr int64_t kStart = 1767225600;
    {
        keltool::HistoryWriter writer(db);
        for (int s = 0; s < 4; ++s)
            writer.stall("gen-b", s == 3 ? keltool::StallReason::Refused
                                         : keltool::StallReason::NoReply,
                         13, keltool::WallTime{kStart + s, 0});
    }
    // A history of stalls only.
    HostRun run = runHost({"report", db, "-o", dir.file("stalls.html")});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("1 device,"), std::string::npos) << run.out;
    std::string b = section(readFile(dir.file("stalls.html")), "gen-b");
    EXPECT_NE(b.find("data-never-answered=\"gen-b\"><strong>gen-b never answered</strong>"),
              std::string::npos)
        << b;
    EXPECT_NE(b.find("4 stalls (3 without a reply in time, 1 refused replies) from " +
                     shownTime(kStart * 1000) + " to " + shownTime((kStart + 3) * 1000)),
              std::string::npos)
        << b;

    // Beside a device that answered, and one known only from an event.
    {
        keltool::HistoryWriter writer(db);
        keltool::RecordBytes record{};
        writer.record("gen-a", 5001, keltool::RecordSource::Poll, record.data(), 100,
                      keltool::WallTime{kStart, 0});
    }
    ASSERT_TRUE(historytest::execute(
        db, "INSERT INTO events (time_ms, device, name, detail) VALUES (" +
                std::to_string(kStart * 1000) + ", 'gen-c', 'port_lost', '/dev/ttyUSB0')"));
    run = runHost({"report", db, "-o", dir.file("all.html")});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("3 devices,"), std::string::npos) << run.out;
    const std::string html = readFile(dir.file("all.html"));
    EXPECT_EQ(section(html, "gen-a").find("never answered"), std::string::npos);
    EXPECT_NE(section(html, "gen-b").find("gen-b never answered"), std::string::npos);
    EXPECT_NE(section(html, "gen-c").find("gen-c never answered</strong>: no polled record. No "
                                          "stall was stored either."),
              std::string::npos);

    // --device naming none of them says which there are.
    run = runHost({"report", db, "-o", dir.file("none.html"), "--device", "gen-x"});
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_NE(run.err.find("holds no device gen-x; it holds gen-a, gen-b, gen-c"),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(std::ifstream(dir.file("none.html")).good());
    run = runHost({"report", db, "-o", dir.file("b.html"), "--device", "gen-b"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(readFile(dir.file("b.html")).find("gen-b never answered"), std::string::npos);
}

// kel36-sim on a paced pseudo-terminal, with live control on a socket.
class PacedSim {
public:
    explicit PacedSim(const TempDir& dir) : socket_(dir.file("sim.sock")), out_(dir.file("sim.out"))
    {
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, STDOUT_FILENO);
            execl(KEL36_SIM_PATH, KEL36_SIM_PATH, "--pty", "--pace", "--control", socket_.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && (port_.empty() || port_.back() != '\n'); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            port_ = readFile(out_);
        }
        if (!port_.empty() && port_.back() == '\n')
            port_.pop_back();
    }
    ~PacedSim()
    {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    const std::string& port() const { return port_; }
    bool send(const std::string& command) const
    {
        const std::string shell = std::string(KEL36_SIM_PATH) + " --send " + socket_ + " '" +
                                  command + "' > /dev/null";
        return std::system(shell.c_str()) == 0;
    }

private:
    std::string socket_, out_, port_;
    pid_t pid_ = -1;
};

// The line lost during an alarm and again just before the run ends: the
// alarm period says how much of it had no data, and the period runs to the
// run's end with a gap that says why, instead of ending at the last record.
TEST(ReportOfALostLine, GapsRunToTheRunsEndWithTheirReasonAndAlarmsCountTimeWithoutData)
{
    TempDir dir;
    const PacedSim sim(dir);
    ASSERT_FALSE(sim.port().empty());
    const std::string db = dir.file("h.db");
    HostProcess host({"--plugin", pluginPath(), "--port", sim.port(), "--name", "genset-1",
                      "--interval", "100", "--timeout", "200", "--json", "--history", db});
    ASSERT_TRUE(host.waitForLines(6, std::chrono::seconds(20))) << host.errorSoFar();
    const auto pause = [&](int ms) {
        for (int waited = 0; waited < ms; waited += 100) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            host.drain();
        }
    };
    ASSERT_TRUE(sim.send("alarm a_7 on"));
    pause(1500);
    ASSERT_TRUE(sim.send("fault drop 1"));
    pause(3000);
    ASSERT_TRUE(sim.send("fault drop 0"));
    pause(1500);
    ASSERT_TRUE(sim.send("alarm a_7 off"));
    pause(1500);
    ASSERT_TRUE(sim.send("fault drop 1"));
    pause(3000);
    host.signal(SIGINT);
    host.finish();

    const int64_t ended = std::stoll(historytest::queryValue(db, "SELECT ended_ms FROM runs"));
    const int64_t last = std::stoll(historytest::queryValue(db, "SELECT max(time_ms) FROM records"));
    ASSERT_GT(ended - last, 2000);
    const std::string s = section(writeReport(db, dir.file("r.html")), "genset-1");
    EXPECT_EQ(capture(s, "data-count=\"gaps\">(\\d+)<"), "2") << s;
    EXPECT_NE(s.find(" to " + shownTime(ended) + " ("), std::string::npos);
    EXPECT_NE(s.find("; last record " + shownTime(last)), std::string::npos);
    const auto gaps = elements(
        s, "<tr><td class=\"t\">[^<]*</td><td class=\"t\">[^<]*</td><td>[^<]*</td><td "
           "class=\"why\">[^<]*");
    ASSERT_EQ(gaps.size(), 2u);
    EXPECT_NE(gaps[0].find("<td class=\"why\">stalls: "), std::string::npos) << gaps[0];
    EXPECT_NE(gaps[1].find(keltool::isoMillis(last) + "</td><td class=\"t\">" +
                           keltool::isoMillis(ended) + "</td>"),
              std::string::npos)
        << gaps[1];
    EXPECT_NE(gaps[1].find("why\">no record up to the end of the run; stalls: "),
              std::string::npos)
        << gaps[1];
    EXPECT_NE(gaps[1].find(" without a reply in time"), std::string::npos) << gaps[1];
    // The first gap lies inside the alarm period: all of it is time without data.
    const std::string first_gap = capture(gaps[0], "</td><td>([^<]*)</td><td class=\"why\">");
    const std::string a7 = capture(s, "(<tr data-signal=\"a_7\">.*?</tr>)");
    EXPECT_NE(a7.find("no-data\"><span class=\"warn\">" + first_gap + " ("), std::string::npos)
        << a7 << " / " << first_gap;
}

// The time axis has a bounded number of ticks at any span: whole months for
// a season, whole years for centuries, and no tick per week of 800 years.
TEST(ReportTimeAxis, TicksAreFewAndRoundFromMonthsToCenturies)
{
    TempDir dir;
    const std::string db = dir.file("h.db");
    {
        keltool::HistoryWriter writer(db);
        keltool::RecordBytes record{};
        for (const int64_t seconds : {int64_t{31536000}, int64_t{25297200000}})  // 1971, 2771
            writer.record("ages", 5001, keltool::RecordSource::Poll, record.data(), 100,
                          keltool::WallTime{seconds, 0});
        for (int day = 0; day <= 90; day += 10)  // a season of 2026
            writer.record("season", 5001, keltool::RecordSource::Poll, record.data(), 100,
                          keltool::WallTime{1767225600 + day * 86400, 0});
    }
    const std::string html = writeReport(db, dir.file("r.html"));
    EXPECT_LT(html.size(), 400000u);
    const std::map<std::string, std::string> label_of = {{"ages", "\\d{4}"},
                                                         {"season", "\\d{4}-\\d{2}"}};
    for (const auto& [device, label] : label_of) {
        const std::string svg = plot(section(html, device), "Frequency");
        const auto ticks = elements(svg, "<text class=\"tick\"[^>]*middle\">[^<]*<");
        EXPECT_GE(ticks.size(), 2u) << device;
        EXPECT_LE(ticks.size(), 10u) << device;
        for (const std::string& tick : ticks) {
            const std::string text = capture(tick, ">([^<]*)<");
            EXPECT_TRUE(std::regex_match(text, std::regex(label)))
                << device << ": " << text;
        }
    }
}

// One rule per value: minimum and maximum with the decimals its values
// carry, the mean with one decimal more, never "392" beside "391.7".
TEST(ReportNumbers, MinimumAndMaximumCarryTheValuesDecimalsAndTheMeanOneMore)
{
    TempDir dir;
    const std::string db = dir.file("h.db");
    {
        keltool::HistoryWriter writer(db);
        keltool::RecordBytes record{};
        const float uab[] = {391.7f, 392.0f, 391.8f};
        const float frequency[] = {50.0f, 50.0f, 50.1f};
        const float battery[] = {27.25f, 27.5f, 27.5f};
        for (int i = 0; i < 3; ++i) {
            putFloat(record, "uab", uab[i]);
            putFloat(record, "frequency", frequency[i]);
            putFloat(record, "battery_voltage", battery[i]);
            putFloat(record, "ua", -0.001f * i);
            writer.record("gen-a", 5001, keltool::RecordSource::Poll, record.data(), 100,
                          keltool::WallTime{1767225600 + i, 0});
        }
    }
    const std::string a = section(writeReport(db, dir.file("r.html")), "gen-a");
    const auto cells = [&](const char* value) {
        const std::string row = capture(a, std::string("(<tr data-value=\"") + value + "\">.*?</tr>)");
        return capture(row, "num min\">([^<]*)<") + " " + capture(row, "num mean\">([^<]*)<") +
               " " + capture(row, "num max\">([^<]*)<");
    };
    EXPECT_EQ(cells("uab"), "391.7 391.83 392.0");
    EXPECT_EQ(cells("frequency"), "50.0 50.03 50.1");
    EXPECT_EQ(cells("battery_voltage"), "27.25 27.417 27.50");
    EXPECT_EQ(cells("ub"), "0 0.0 0");
    EXPECT_EQ(cells("ua"), "-0.002 -0.0010 0.000");
}

}  // namespace
}  // namespace toolstest
