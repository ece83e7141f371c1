#include "kel36-host/store/history_export.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "kel36-host/output/json_line.h"
#include "kel36-host/output/record_decoder.h"
#include "kel36-host/store/iso_time.h"
#include "kel36-host/tool_error.h"

namespace keltool {

const char* const kExportColumns[] = {
    "time", "device", "data_id", "source",          "uab",      "ubc",      "uca", "frequency",
    "ua",   "ub",     "uc",      "battery_voltage", "status_a", "status_b", "a_5", "a_6",
    "a_7",  "b_2",    "b_6",     "record"};
const std::size_t kExportColumnCount = sizeof(kExportColumns) / sizeof(kExportColumns[0]);

namespace {

constexpr std::size_t kFirstValue = 4;  // uab
constexpr std::size_t kValueColumns = 8;

std::string hex(const RecordBytes& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * bytes.size());
    for (const unsigned char b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0F]);
    }
    return out;
}

// RFC 4180: a field with a comma, a quote or a line break is quoted, quotes doubled.
std::string csvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"')
            out.push_back('"');
        out.push_back(c);
    }
    return out + "\"";
}

std::string floatText(float value)
{
    if (!std::isfinite(value))
        return "";
    char text[40];
    formatShortestFloat(value, text, sizeof text);
    return text;
}

float valueOf(const RecordBytes& bytes, std::size_t column)
{
    return readFloat(bytes, findField(kExportColumns[column])->offset);
}

uint8_t statusOf(const RecordBytes& bytes, const char* name)
{
    return bytes[findField(name)->offset];
}

void writeCsv(const StoredRecord& r, std::string& line)
{
    line = isoMillis(r.time_ms) + "," + csvField(r.device) + "," + std::to_string(r.data_id) +
           (r.source == RecordSource::Cache ? ",cache" : ",poll");
    for (std::size_t i = 0; i < kValueColumns; ++i)
        line += "," + floatText(valueOf(r.bytes, kFirstValue + i));
    line += "," + std::to_string(statusOf(r.bytes, "status_a"));
    line += "," + std::to_string(statusOf(r.bytes, "status_b"));
    for (const AlarmBit& bit : alarmBits())
        line += (r.bytes[bit.offset] & bit.mask) ? ",1" : ",0";
    line += "," + hex(r.bytes) + "\r\n";
}

void writeJson(const StoredRecord& r, JsonLine& json)
{
    json.begin();
    json.key("time");
    json.string(isoMillis(r.time_ms));
    json.key("device");
    json.string(r.device);
    json.key("data_id");
    json.unsignedInteger(r.data_id);
    json.key("source");
    json.string(r.source == RecordSource::Cache ? "cache" : "poll");
    for (std::size_t i = 0; i < kValueColumns; ++i) {
        json.key(kExportColumns[kFirstValue + i]);
        json.singleFloat(valueOf(r.bytes, kFirstValue + i));
    }
    json.key("status_a");
    json.unsignedInteger(statusOf(r.bytes, "status_a"));
    json.key("status_b");
    json.unsignedInteger(statusOf(r.bytes, "status_b"));
    json.key("alarms");
    json.beginObject();
    for (const AlarmBit& bit : alarmBits()) {
        json.key(bit.signal);
        json.boolean((r.bytes[bit.offset] & bit.mask) != 0);
    }
    json.endObject();
    json.key("record");
    json.string(hex(r.bytes));
}

}  // namespace

std::size_t exportHistory(const HistoryReader& reader, const HistoryFilter& filter,
                          ExportFormat format, std::FILE* out)
{
    std::size_t rows = 0;
    std::string line;
    JsonLine json;
    if (format == ExportFormat::Csv) {
        for (std::size_t i = 0; i < kExportColumnCount; ++i)
            line += std::string(i ? "," : "") + kExportColumns[i];
        line += "\r\n";
        std::fputs(line.c_str(), out);
    }
    reader.forEachRecord(filter, [&](const StoredRecord& r) {
        if (format == ExportFormat::Csv) {
            writeCsv(r, line);
            std::fwrite(line.data(), 1, line.size(), out);
        } else {
            writeJson(r, json);
            const std::string& text = json.end();
            std::fwrite(text.data(), 1, text.size(), out);
        }
        ++rows;
        // A closed pipe or a full disk ends the export at once.
        return std::ferror(out) == 0;
    });
    return rows;
}

int runHistoryExport(const HistoryQueryOptions& query, std::FILE* out)
{
    const HistoryReader reader(query.path);
    HistoryFilter filter;
    filter.device = query.device;
    filter.from_ms = query.from_ms;
    filter.to_ms = query.to_ms;
    if (!filter.device.empty()) {
        const std::vector<std::string> known = reader.knownDevices();
        if (std::find(known.begin(), known.end(), filter.device) == known.end()) {
            // A file of many devices is named in part.
            constexpr std::size_t kNamed = 20;
            std::string names;
            for (std::size_t i = 0; i < known.size() && i < kNamed; ++i)
                names += (i ? ", " : "") + known[i];
            if (known.size() > kNamed)
                names += " and " + std::to_string(known.size() - kNamed) + " more";
            throw ToolError("history file " + query.path + " has no device " + filter.device +
                            (known.empty() ? " (it holds no device yet)" : "; it knows: " + names));
        }
    }
    exportHistory(reader, filter, query.json ? ExportFormat::JsonLines : ExportFormat::Csv, out);
    return 0;
}

}  // namespace keltool
