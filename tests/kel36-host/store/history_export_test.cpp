// `kel36-host history FILE (--csv | --json)`: the exported rows give back
// every stored value, time and record byte, and the range options select
// exactly the rows they name.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <sstream>

#include <json/reader.h>

#include "support/history_rows.h"
#include "kel36-host/output/record_decoder.h"
#include "kel36-host/store/history_export.h"
#include "kel36-host/store/history_writer.h"
#include "kel36-host/store/iso_time.h"
#include "host_process.h"

namespace toolstest {
namespace {

using historytest::HistoryRow;

// RFC 4180 records: fields split at commas outside quotes, "" inside quotes
// is one quote, lines end in CRLF.
std::vector<std::vector<std::string>> parseCsv(const std::string& text)
{
    std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        std::string& field = rows.back().back();
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"')
                field.push_back(text[++i]);
            else if (c == '"')
                quoted = false;
            else
                field.push_back(c);
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            rows.back().emplace_back();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            ++i;
            rows.emplace_back(1);
        } else {
            field.push_back(c);
        }
    }
    if (rows.back().size() == 1 && rows.back()[0].empty())
        rows.pop_back();
    return rows;
}

std::string hexOf(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

int64_t timeOf(const std::string& iso)
{
    int64_t ms = 0;
    std::string error;
    EXPECT_TRUE(keltool::parseIsoTime(iso, &ms, &error)) << error;
    return ms;
}

// One exported row, as text by column name, against the stored row.
void expectExported(const std::map<std::string, std::string>& got, const HistoryRow& row)
{
    keltool::RecordBytes bytes{};
    std::copy(row.record.begin(), row.record.end(), bytes.begin());
    EXPECT_EQ(timeOf(got.at("time")), row.time_ms);
    EXPECT_EQ(got.at("device"), row.device);
    EXPECT_EQ(got.at("data_id"), std::to_string(row.data_id));
    EXPECT_EQ(got.at("source"), row.source);
    for (const char* name : {"uab", "ubc", "uca", "frequency", "ua", "ub", "uc", "battery_voltage"})
        EXPECT_EQ(std::strtof(got.at(name).c_str(), nullptr),
                  keltool::readFloat(bytes, keltool::findField(name)->offset))
            << name << " " << got.at(name);
    EXPECT_EQ(got.at("status_a"), std::to_string(row.status_a));
    EXPECT_EQ(got.at("status_b"), std::to_string(row.status_b));
    for (const keltool::AlarmBit& bit : keltool::alarmBits())
        EXPECT_EQ(got.at(bit.signal), (bytes[bit.offset] & bit.mask) ? "1" : "0") << bit.signal;
    EXPECT_EQ(got.at("record"), hexOf(row.record));
}

class HistoryExport : public ::testing::Test {
protected:
    void SetUp() override
    {
        const HostRun run =
            runHost({"--plugin", pluginPath(), "--config", examplePath("host.json"), "--rounds",
                     "3", "--interval", "0", "--timeout", "300", "--history", db_});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        // A name that needs quoting, and values with many digits, through the store's API.
        keltool::HistoryWriter writer(db_);
        keltool::RecordBytes record{};
        const float odd[] = {0.1f, 1e-7f, 123456.7f, 3.4e38f};
        for (std::size_t i = 0; i < 4; ++i)
            std::memcpy(&record[keltool::findField("uab")->offset + 4 * i], &odd[i], 4);
        record[keltool::findField("status_b")->offset] = 0x44;
        writer.record("gen \"7\", east", 7, keltool::RecordSource::Cache, record.data(), 100,
                      keltool::WallTime::now());
    }

    TempDir dir_;
    const std::string db_ = dir_.file("h.db");
};

TEST_F(HistoryExport, CsvAndJsonLinesGiveBackEveryStoredValueTimeAndByte)
{
    const std::vector<HistoryRow> rows = historytest::readRows(db_);
    ASSERT_EQ(rows.size(), 7u);

    const HostRun csv = runHost({"history", db_, "--csv"});
    ASSERT_EQ(csv.exit_code, 0) << csv.err;
    const auto table = parseCsv(csv.out);
    ASSERT_EQ(table.size(), rows.size() + 1);
    const std::vector<std::string> header(keltool::kExportColumns,
                                          keltool::kExportColumns + keltool::kExportColumnCount);
    EXPECT_EQ(table[0], header);
    // Oldest first: the order stored, as every row came later than the last.
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(table[i + 1].size(), header.size());
        std::map<std::string, std::string> got;
        for (std::size_t c = 0; c < header.size(); ++c)
            got[header[c]] = table[i + 1][c];
        expectExported(got, rows[i]);
    }

    const HostRun json = runHost({"history", db_, "--json"});
    ASSERT_EQ(json.exit_code, 0) << json.err;
    const auto objects = json.jsonLines();
    ASSERT_EQ(objects.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        std::map<std::string, std::string> got;
        for (const std::string& key : objects[i].getMemberNames())
            if (key != "alarms")
                got[key] = objects[i][key].isString() ? objects[i][key].asString()
                                                      : objects[i][key].toStyledString();
        for (const std::string& key : objects[i]["alarms"].getMemberNames())
            got[key] = objects[i]["alarms"][key].asBool() ? "1" : "0";
        for (auto& [key, value] : got)
            if (!value.empty() && value.back() == '\n')
                value.pop_back();
        expectExported(got, rows[i]);
    }
}

TEST_F(HistoryExport, DeviceAndTimeRangeSelectExactlyTheirRows)
{
    const std::vector<HistoryRow> rows = historytest::readRows(db_);
    ASSERT_EQ(rows.size(), 7u);
    const HostRun device = runHost({"history", db_, "--csv", "--device", "genset-2"});
    ASSERT_EQ(device.exit_code, 0) << device.err;
    const auto table = parseCsv(device.out);
    ASSERT_EQ(table.size(), 4u);
    for (std::size_t i = 1; i < table.size(); ++i)
        EXPECT_EQ(table[i][1], "genset-2");

    // Inclusive at both ends, in UTC or with the local offset alike.
    const std::string from = keltool::isoMillis(rows[2].time_ms);
    char to_utc[40];
    const std::time_t to_seconds = rows[4].time_ms / 1000;
    std::tm tm{};
    gmtime_r(&to_seconds, &tm);
    std::strftime(to_utc, sizeof to_utc, "%Y-%m-%dT%H:%M:%S", &tm);
    const std::string to =
        std::string(to_utc) + "." + std::to_string(1000 + rows[4].time_ms % 1000).substr(1) + "Z";
    const HostRun range = runHost({"history", db_, "--json", "--from", from, "--to", to});
    ASSERT_EQ(range.exit_code, 0) << range.err;
    std::size_t expected = 0;
    for (const HistoryRow& row : rows)
        expected += row.time_ms >= rows[2].time_ms && row.time_ms <= rows[4].time_ms;
    EXPECT_EQ(range.jsonLines().size(), expected);
    EXPECT_GE(expected, 3u);
}

}  // namespace
}  // namespace toolstest
