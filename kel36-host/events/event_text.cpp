#include "kel36-host/events/event_text.h"

#include <cctype>
#include <cstdio>
#include <ctime>

#include "kel36-host/output/json_line.h"

namespace keltool {
namespace {

bool isAlarm(DeviceEvent event)
{
    return event == DeviceEvent::AlarmRaised || event == DeviceEvent::AlarmCleared;
}

std::string floatText(float value)
{
    char text[32];
    formatShortestFloat(value, text, sizeof text);
    return text;
}

std::string upper(const char* name)
{
    std::string out(name);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

std::string utcIsoTime(const WallTime& when)
{
    const std::time_t seconds = static_cast<std::time_t>(when.seconds);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  when.nanoseconds / 1000000);
    return text;
}

std::vector<std::string> eventEnvironment(const AnnouncedEvent& event)
{
    std::vector<std::string> env = {
        std::string("KEL36_EVENT=") + deviceEventName(event.event),
        "KEL36_DEVICE=" + event.device,
        "KEL36_DATA_ID=" + std::to_string(event.data_id),
        "KEL36_TIME=" + utcIsoTime(event.when),
    };
    if (!event.detail.empty())
        env.push_back("KEL36_DETAIL=" + event.detail);
    if (isAlarm(event.event)) {
        env.push_back("KEL36_SIGNAL=" + event.signal);
        env.push_back("KEL36_CODE=" + event.code);
        env.push_back("KEL36_TEXT=" + event.text);
    }
    for (std::size_t i = 0; i < kValueCount; ++i)
        if (event.values[i].ok)
            env.push_back("KEL36_" + upper(kValueNames[i].name) + "=" +
                          floatText(event.values[i].value));
    if (event.battery_reported)
        env.push_back("KEL36_BATTERY_VOLTAGE=" + floatText(event.battery_voltage));
    if (event.found_at_start)
        env.push_back("KEL36_FOUND_AT_START=1");
    if (event.test)
        env.push_back("KEL36_TEST=1");
    return env;
}

std::string eventJsonLine(const AnnouncedEvent& event)
{
    JsonLine json;
    json.begin();
    json.key("event");
    json.string(deviceEventName(event.event));
    json.key("device");
    json.string(event.device);
    json.key("data_id");
    json.unsignedInteger(event.data_id);
    json.key("time");
    json.string(utcIsoTime(event.when));
    json.key("detail");
    json.string(event.detail);
    if (isAlarm(event.event)) {
        json.key("signal");
        json.string(event.signal);
        json.key("code");
        json.string(event.code);
        json.key("text");
        json.string(event.text);
    }
    json.key("found_at_start");
    json.boolean(event.found_at_start);
    json.key("test");
    json.boolean(event.test);
    json.key("values");
    json.beginObject();
    for (std::size_t i = 0; i < kValueCount; ++i) {
        const ValueReading& v = event.values[i];
        json.key(kValueNames[i].name);
        if (v.ok)
            json.singleFloat(v.value);
        else
            json.null();
    }
    json.key("battery_voltage");
    if (event.battery_reported)
        json.singleFloat(event.battery_voltage);
    else
        json.null();
    json.endObject();
    return json.end();
}

std::string eventLabel(const AnnouncedEvent& event)
{
    std::string label = std::string(deviceEventName(event.event)) + " " + event.device;
    if (isAlarm(event.event))
        label += " " + event.signal;
    return label;
}

}  // namespace keltool
