#include "kel36-host/web/metrics_text.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "kel36-host/output/json_line.h"
#include "kel36-host/web/live_state.h"

namespace keltool {

std::string escapeLabelValue(const std::string& value)
{
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

namespace {

struct Device {
    const LiveIdentity* identity;
    LiveStatus status;
    std::string label;  // device="..."
};

class Exposition {
public:
    void family(const char* name, const char* type, const char* help)
    {
        text_ += "# HELP ";
        text_ += name;
        text_ += ' ';
        text_ += help;
        text_ += "\n# TYPE ";
        text_ += name;
        text_ += ' ';
        text_ += type;
        text_ += '\n';
    }
    // name{labels} value; `labels` already escaped and joined.
    void sample(const char* name, const std::string& labels, const char* value)
    {
        text_ += name;
        text_ += '{';
        text_ += labels;
        text_ += "} ";
        text_ += value;
        text_ += '\n';
    }
    void sample(const char* name, const std::string& labels, uint64_t value)
    {
        char buf[24];
        std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(value));
        sample(name, labels, buf);
    }
    void sampleFloat(const char* name, const std::string& labels, float value)
    {
        char buf[40];
        formatShortestFloat(value, buf, sizeof buf);
        sample(name, labels, buf);
    }
    void sampleDouble(const char* name, const std::string& labels, double value, const char* format)
    {
        char buf[48];
        std::snprintf(buf, sizeof buf, format, value);
        sample(name, labels, buf);
    }
    std::string take() { return std::move(text_); }

private:
    std::string text_;
};

std::string with(const std::string& device_label, const char* key, const std::string& value)
{
    return device_label + ',' + key + "=\"" + escapeLabelValue(value) + '"';
}

// The values' units choose their metric: volts or hertz.
void valuesIn(Exposition& out, const char* metric, const char* unit, const Device& d)
{
    for (const LiveValue& v : d.status.values)
        if (v.ok && std::strcmp(v.unit, unit) == 0)
            out.sampleFloat(metric, with(d.label, "signal", v.name), v.value);
}

}  // namespace

std::string metricsText(const LiveState& state)
{
    std::vector<Device> devices;
    for (std::size_t i = 0; i < state.deviceCount(); ++i) {
        const LiveIdentity& id = state.identity(i);
        devices.push_back({&id, state.status(i), "device=\"" + escapeLabelValue(id.name) + '"'});
    }
    Exposition out;
    const auto forEach = [&devices](const std::function<void(const Device&)>& f) {
        for (const Device& d : devices)
            f(d);
    };

    out.family("kel36_device_info", "gauge",
               "Polled devices: their data identifier and serial line (always 1).");
    forEach([&](const Device& d) {
        out.sample("kel36_device_info",
                   with(with(d.label, "data_id", std::to_string(d.identity->data_id)), "line",
                        d.identity->line),
                   "1");
    });

    out.family("kel36_voltage_volts", "gauge",
               "Voltages of the last record: line (uab, ubc, uca) and phase (ua, ub, uc) "
               "voltages as the driver answers them, and the battery voltage handed to the "
               "threshold check; absent while the driver refuses them (no record for 60 s).");
    forEach([&](const Device& d) {
        valuesIn(out, "kel36_voltage_volts", "V", d);
        if (d.status.battery_ok && d.status.battery_fresh)
            out.sampleFloat("kel36_voltage_volts", with(d.label, "signal", "battery_voltage"),
                            d.status.battery_voltage);
    });

    out.family("kel36_frequency_hertz", "gauge",
               "Generator frequency of the last record, as the driver answers it; absent while "
               "refused.");
    forEach([&](const Device& d) { valuesIn(out, "kel36_frequency_hertz", "Hz", d); });

    out.family("kel36_alarm_active", "gauge",
               "Alarm states of the last record as the driver checked them (1 active, 0 clear), "
               "kept at their last known state while the device does not answer.");
    forEach([&](const Device& d) {
        for (std::size_t a = 0; a < d.status.alarm_count; ++a) {
            const LiveAlarm& alarm = d.status.alarms[a];
            out.sample("kel36_alarm_active",
                       with(with(d.label, "signal", alarm.signal), "code", alarm.code),
                       alarm.active ? "1" : "0");
        }
    });

    out.family("kel36_answering", "gauge",
               "1 while the device answers; 0 before its first round, after 3 stalls in a row "
               "and while its line is lost.");
    forEach([&](const Device& d) {
        out.sample("kel36_answering", d.label, d.status.link == LinkState::Answering ? "1" : "0");
    });

    out.family("kel36_rounds_total", "counter", "Completed polling rounds.");
    forEach([&](const Device& d) { out.sample("kel36_rounds_total", d.label, d.status.rounds); });

    out.family("kel36_stalls_total", "counter",
               "Stalled polling rounds (no reply within the time-out, or a reply the driver "
               "refused).");
    forEach([&](const Device& d) { out.sample("kel36_stalls_total", d.label, d.status.stalls); });

    out.family("kel36_round_duration_seconds", "histogram",
               "Duration of completed polling rounds, from RefreshStatus to the published record.");
    forEach([&](const Device& d) {
        uint64_t cumulative = 0;
        for (std::size_t b = 0; b < d.status.round_buckets.size(); ++b) {
            cumulative += d.status.round_buckets[b];
            char le[16] = "+Inf";
            if (b < kRoundSecondsBuckets.size())
                std::snprintf(le, sizeof le, "%g", kRoundSecondsBuckets[b]);
            out.sample("kel36_round_duration_seconds_bucket", with(d.label, "le", le), cumulative);
        }
        out.sampleDouble("kel36_round_duration_seconds_sum", d.label, d.status.round_seconds_sum,
                         "%.9g");
        out.sample("kel36_round_duration_seconds_count", d.label, cumulative);
    });

    out.family("kel36_last_record_timestamp_seconds", "gauge",
               "Unix time at which the values of the last record were polled (for a record "
               "restored from the cache, when it was polled before it was cached).");
    forEach([&](const Device& d) {
        if (d.status.has_record && d.status.record_polled_known)
            out.sampleDouble(
                "kel36_last_record_timestamp_seconds", d.label,
                static_cast<double>(d.status.record_polled.seconds) +
                    static_cast<double>(d.status.record_polled.nanoseconds / 1000000) / 1000.0,
                "%.3f");
    });

    out.family("kel36_record_restored", "gauge",
               "1 while the last record is the one restored from the cache at start-up (not a "
               "live reading), 0 once a round has been polled.");
    forEach([&](const Device& d) {
        if (d.status.has_record)
            out.sample("kel36_record_restored", d.label,
                       d.status.last_source == RecordSource::Cache ? "1" : "0");
    });
    return out.take();
}

}  // namespace keltool
