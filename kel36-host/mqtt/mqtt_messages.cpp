#include "kel36-host/mqtt/mqtt_messages.h"

#include <ctime>

#include "kel36-host/mqtt/topic_names.h"
#include "kel36-host/output/json_line.h"

namespace keltool {
namespace {

std::string finished(JsonLine& json)
{
    std::string text = json.end();
    text.pop_back();  // a message, not a line
    return text;
}

void recordFields(JsonLine& json, const PublishedRecord& r)
{
    json.key("device");
    json.string(r.device);
    json.key("data_id");
    json.unsignedInteger(r.data_id);
    json.key("time");
    json.string(utcIsoMillis(r.time_ms));
    json.key("time_ms");
    json.integer(r.time_ms);
    json.key("seq");
    if (r.seq > 0)
        json.unsignedInteger(r.seq);
    else
        json.null();  // a state with --history: the outbox numbers the records
    json.key("source");
    json.string(r.source == RecordSource::Cache ? "cache" : "poll");
    for (const ValueName& v : kValueNames) {
        json.key(v.name);
        json.singleFloat(readFloat(r.bytes, findField(v.name)->offset));
    }
    json.key("battery_voltage");
    json.singleFloat(readFloat(r.bytes, findField("battery_voltage")->offset));
    json.key("alarms");
    json.beginArray();
    for (const PublishedAlarm& a : r.alarms) {
        json.beginObject();
        json.key("signal");
        json.string(a.signal);
        json.key("code");
        json.string(a.code);
        json.key("text");
        json.string(a.text);
        json.key("active");
        json.boolean(a.active);
        json.endObject();
    }
    json.endArray();
}

struct SensorKind {
    const char* object;
    const char* unit;
    const char* device_class;
};

const SensorKind kSensors[] = {
    {"uab", "V", "voltage"}, {"ubc", "V", "voltage"},         {"uca", "V", "voltage"},
    {"frequency", "Hz", "frequency"}, {"ua", "V", "voltage"}, {"ub", "V", "voltage"},
    {"uc", "V", "voltage"},  {"battery_voltage", "V", "voltage"},
};

void availability(JsonLine& json, const std::string& prefix, const std::string& level)
{
    json.key("availability");
    json.beginArray();
    for (const std::string& topic : {prefix + "/availability", prefix + "/" + level + "/availability"}) {
        json.beginObject();
        json.key("topic");
        json.string(topic);
        json.endObject();
    }
    json.endArray();
    json.key("availability_mode");
    json.string("all");
}

void deviceBlock(JsonLine& json, const std::string& device, const std::string& node)
{
    json.key("device");
    json.beginObject();
    json.key("identifiers");
    json.beginArray();
    json.string(node);
    json.endArray();
    json.key("name");
    json.string(device);
    json.key("manufacturer");
    json.string("kel36");
    json.key("model");
    json.string("generator-set controller (record 5058)");
    json.endObject();
}

}  // namespace

std::vector<PublishedAlarm> alarmsFromBytes(const RecordBytes& bytes,
                                            const std::vector<PublishedAlarm>& named)
{
    std::vector<PublishedAlarm> out;
    for (const AlarmBit& bit : alarmBits()) {
        PublishedAlarm a;
        a.signal = bit.signal;
        a.active = (bytes[bit.offset] & bit.mask) != 0;
        for (const PublishedAlarm& n : named)
            if (n.signal == a.signal) {
                a.code = n.code;
                a.text = n.text;
            }
        out.push_back(std::move(a));
    }
    return out;
}

std::string utcIsoMillis(int64_t epoch_ms)
{
    const int64_t ms = ((epoch_ms % 1000) + 1000) % 1000;
    const std::time_t seconds = static_cast<std::time_t>((epoch_ms - ms) / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
    return text;
}

std::string recordPayload(const PublishedRecord& record)
{
    JsonLine json;
    json.begin();
    recordFields(json, record);
    return finished(json);
}

std::string statePayload(const PublishedRecord* latest, bool answering)
{
    JsonLine json;
    json.begin();
    json.key("answering");
    json.boolean(answering);
    json.key("last_record_time");
    if (latest)
        json.string(utcIsoMillis(latest->time_ms));
    else
        json.null();
    if (latest) {
        recordFields(json, *latest);
        // For templates: each alarm's flag by its signal.
        json.key("alarm_active");
        json.beginObject();
        for (const PublishedAlarm& a : latest->alarms) {
            json.key(a.signal.c_str());
            json.boolean(a.active);
        }
        json.endObject();
    }
    return finished(json);
}

std::string eventPayload(const AnnouncedEvent& e, int64_t time_ms)
{
    JsonLine json;
    json.begin();
    json.key("event");
    json.string(deviceEventName(e.event));
    json.key("device");
    json.string(e.device);
    json.key("data_id");
    json.unsignedInteger(e.data_id);
    json.key("time");
    json.string(utcIsoMillis(time_ms));
    json.key("time_ms");
    json.integer(time_ms);
    json.key("detail");
    json.string(e.detail);
    if (e.event == DeviceEvent::AlarmRaised || e.event == DeviceEvent::AlarmCleared) {
        json.key("signal");
        json.string(e.signal);
        json.key("code");
        json.string(e.code);
        json.key("text");
        json.string(e.text);
        json.key("found_at_start");
        json.boolean(e.found_at_start);
    }
    json.key("test");
    json.boolean(e.test);
    return finished(json);
}

std::vector<TopicMessage> discoveryMessages(const std::string& prefix, const std::string& device,
                                            uint32_t data_id)
{
    const std::string level = topicLevel(device);
    const std::string node = "kel36_" + std::to_string(data_id);
    const std::string state = prefix + "/" + level + "/state";
    std::vector<TopicMessage> out;
    JsonLine json;
    for (const SensorKind& s : kSensors) {
        json.begin();
        json.key("name");
        json.string(s.object);
        json.key("unique_id");
        json.string(node + "_" + s.object);
        json.key("state_topic");
        json.string(state);
        json.key("value_template");
        json.string(std::string("{{ value_json.") + s.object + " }}");
        json.key("unit_of_measurement");
        json.string(s.unit);
        json.key("device_class");
        json.string(s.device_class);
        json.key("state_class");
        json.string("measurement");
        json.key("expire_after");
        json.integer(kFreshSeconds);
        availability(json, prefix, level);
        deviceBlock(json, device, node);
        out.push_back({"homeassistant/sensor/" + node + "/" + s.object + "/config", finished(json)});
    }
    for (const AlarmBit& bit : alarmBits()) {
        json.begin();
        json.key("name");
        json.string(std::string("alarm ") + bit.signal);
        json.key("unique_id");
        json.string(node + "_" + bit.signal);
        json.key("state_topic");
        json.string(state);
        json.key("value_template");
        json.string(std::string("{{ 'ON' if value_json.alarm_active.") + bit.signal +
                    " else 'OFF' }}");
        json.key("payload_on");
        json.string("ON");
        json.key("payload_off");
        json.string("OFF");
        json.key("device_class");
        json.string("problem");
        json.key("expire_after");
        json.integer(kFreshSeconds);
        availability(json, prefix, level);
        deviceBlock(json, device, node);
        out.push_back(
            {"homeassistant/binary_sensor/" + node + "/" + bit.signal + "/config", finished(json)});
    }
    return out;
}

}  // namespace keltool
