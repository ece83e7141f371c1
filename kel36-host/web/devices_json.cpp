#include "kel36-host/web/devices_json.h"

#include "kel36-host/output/json_line.h"
#include "kel36-host/output/outputs.h"
#include "kel36-host/web/live_state.h"

namespace keltool {
namespace {

// "iso" (local time) and "unix_ms" keys of an open object.
void timeKeys(JsonLine& json, const WallTime& when)
{
    char iso[40];
    formatIso(when, iso, sizeof iso);
    json.key("iso");
    json.string(iso);
    json.key("unix_ms");
    json.integer(static_cast<int64_t>(when.seconds) * 1000 + when.nanoseconds / 1000000);
}

void time(JsonLine& json, const WallTime& when)
{
    json.beginObject();
    timeKeys(json, when);
    json.endObject();
}

// A value as the driver answers it now; a refused one is null with the
// refusal, and with the last value it answered when there was one.
void reading(JsonLine& json, const char* unit, bool ok, float value, const char* error, bool known,
             float last)
{
    json.beginObject();
    json.key("unit");
    json.string(unit);
    json.key("value");
    if (ok)
        json.singleFloat(value);
    else
        json.null();
    if (!ok && *error) {
        json.key("error");
        json.string(error);
    }
    if (!ok && known) {
        json.key("last_value");
        json.singleFloat(last);
    }
    json.endObject();
}

void battery(JsonLine& json, const LiveStatus& s)
{
    // Not answered by Get_Value: the same rules, from the record's time.
    const char* error = !s.has_record ? "数据未就绪" : s.battery_ok && !s.battery_fresh ? "数据已超时" : "";
    reading(json, "V", s.battery_ok && s.battery_fresh, s.battery_voltage, error, s.battery_ok,
            s.battery_voltage);
}

void lastRecord(JsonLine& json, const LiveStatus& s, const WallTime& now)
{
    json.key("last_record");
    if (!s.has_record) {
        json.null();
        return;
    }
    // The time of its values: for a restored record, when it was polled
    // before it went into the cache, not when it was restored.
    json.beginObject();
    if (s.record_polled_known) {
        timeKeys(json, s.record_polled);
        json.key("age_s");
        json.integer(now.seconds - s.record_polled.seconds);
    } else {
        json.key("iso");
        json.null();
        json.key("unix_ms");
        json.null();
        json.key("age_s");
        json.null();
    }
    json.key("source");
    json.string(s.last_source == RecordSource::Poll ? "poll" : "cache");
    json.key("restored");
    json.boolean(s.last_source == RecordSource::Cache);
    if (s.last_source == RecordSource::Cache) {
        json.key("restored_at");
        time(json, s.last_record);
    }
    json.endObject();
}

void status(JsonLine& json, const LiveStatus& s, const WallTime& now)
{
    json.key("state");
    json.string(linkStateName(s.link));
    json.key("rounds");
    json.unsignedInteger(s.rounds);
    json.key("stalls");
    json.unsignedInteger(s.stalls);
    json.key("consecutive_stalls");
    json.unsignedInteger(s.consecutive_stalls);
    json.key("round_ms");
    json.beginObject();
    json.key("last");
    json.real(s.last_round_ms, 6);
    json.key("mean");
    json.real(s.mean_round_ms, 6);
    json.key("max");
    json.real(s.max_round_ms, 6);
    json.endObject();

    lastRecord(json, s, now);
    json.key("values");
    json.beginObject();
    for (const LiveValue& v : s.values) {
        json.key(v.name);
        reading(json, v.unit, v.ok, v.value, v.error, v.known, v.last);
    }
    json.key("battery_voltage");
    battery(json, s);
    json.endObject();
    json.key("alarms");
    json.beginArray();
    for (std::size_t i = 0; i < s.alarm_count; ++i) {
        json.beginObject();
        json.key("signal");
        json.string(s.alarms[i].signal);
        json.key("code");
        json.string(s.alarms[i].code);
        json.key("text");
        json.string(s.alarms[i].text);
        json.key("active");
        json.boolean(s.alarms[i].active);
        json.endObject();
    }
    json.endArray();
    json.key("last_stall");
    if (s.has_stall) {
        json.beginObject();
        json.key("time");
        time(json, s.last_stall);
        json.key("reason");
        json.string(stallReasonText(s.last_stall_reason));
        json.key("register");
        if (s.last_stall_register >= 0)
            json.integer(s.last_stall_register);
        else
            json.null();
        json.endObject();
    } else {
        json.null();
    }
}

// [unix_ms, uab, ubc, uca, frequency, ua, ub, uc, battery_voltage], null where
// the value was refused.
void trend(JsonLine& json, const LiveState& state, std::size_t device, int64_t after)
{
    json.key("trend");
    json.beginArray();
    for (const TrendPoint& p : state.trend(device, after)) {
        json.beginArray();
        json.integer(p.unix_ms);
        for (std::size_t i = 0; i < kTrendSignals; ++i) {
            if (p.ok_mask & (1u << i))
                json.singleFloat(p.values[i]);
            else
                json.null();
        }
        json.endArray();
    }
    json.endArray();
}

}  // namespace

std::string devicesJson(const LiveState& state, std::optional<int64_t> trend_after_unix_ms)
{
    JsonLine json;
    json.begin();
    const WallTime now = WallTime::now();
    json.key("time");
    time(json, now);
    json.key("stale_after_s");
    json.integer(state.staleAfterSeconds());
    if (trend_after_unix_ms) {
        json.key("trend_signals");
        json.beginArray();
        for (const char* name :
             {"uab", "ubc", "uca", "frequency", "ua", "ub", "uc", "battery_voltage"})
            json.string(name);
        json.endArray();
    }
    json.key("devices");
    json.beginArray();
    for (std::size_t i = 0; i < state.deviceCount(); ++i) {
        const LiveIdentity& id = state.identity(i);
        json.beginObject();
        json.key("name");
        json.string(id.name);
        json.key("data_id");
        json.unsignedInteger(id.data_id);
        json.key("line");
        json.string(id.line);
        json.key("simulated");
        json.boolean(id.simulated);
        status(json, state.status(i), now);
        if (trend_after_unix_ms)
            trend(json, state, i, *trend_after_unix_ms);
        json.endObject();
    }
    json.endArray();
    return json.end();
}

}  // namespace keltool
