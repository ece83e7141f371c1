// JSON Lines: one object per round, stall, event and device summary, each with
// "event" naming its kind. Round objects carry every decoded record field.

#include "kel36-host/config/host_config.h"
#include "kel36-host/output/json_line.h"
#include "kel36-host/output/outputs.h"

namespace keltool {
namespace {

class JsonOutput : public OutputSink {
public:
    explicit JsonOutput(std::FILE* out) : out_(out) {}

    void round(const RoundReport& r) override
    {
        head("round", r.when, *r.device);
        json_.key("source");
        json_.string(r.source == RecordSource::Poll ? "poll" : "cache");
        json_.key("round");
        json_.unsignedInteger(r.stats->rounds);
        json_.key("duration_ms");
        json_.real(r.duration_ms, 6);
        json_.key("stalls_before");
        json_.unsignedInteger(r.stalls_before);

        json_.key("values");
        json_.beginObject();
        for (const ValueReading& v : r.values) {
            json_.key(v.name);
            if (v.ok)
                json_.singleFloat(v.value);
            else
                json_.null();
        }
        json_.endObject();
        bool refused = false;
        for (const ValueReading& v : r.values)
            refused |= !v.ok;
        if (refused) {
            json_.key("value_errors");
            json_.beginObject();
            for (const ValueReading& v : r.values) {
                if (v.ok)
                    continue;
                json_.key(v.name);
                json_.string(v.error);
            }
            json_.endObject();
        }

        json_.key("battery_voltage");
        if (r.battery_reported)
            json_.singleFloat(r.battery_voltage);
        else
            json_.null();

        json_.key("alarms");
        json_.beginArray();
        for (std::size_t i = 0; i < r.alarm_count; ++i) {
            json_.beginObject();
            json_.key("signal");
            json_.string(r.alarms[i].signal);
            json_.key("code");
            json_.string(r.alarms[i].code);
            json_.key("text");
            json_.string(r.alarms[i].text);
            json_.key("active");
            json_.boolean(r.alarms[i].active);
            json_.endObject();
        }
        json_.endArray();

        json_.key("record");
        json_.beginObject();
        for (std::size_t i = 0; i < recordFieldCount(); ++i) {
            const RecordField& f = recordFields()[i];
            const FieldValue v = decodeField(*r.record, f);
            json_.key(f.name);
            switch (f.kind) {
                case FieldKind::F32:
                    json_.singleFloat(v.real);
                    break;
                case FieldKind::Time: {
                    char text[24];
                    formatRecordTime(v.time, text, sizeof text);
                    json_.string(text);
                    break;
                }
                default:
                    json_.integer(v.integer);
                    break;
            }
        }
        json_.endObject();
        write();
    }

    void stall(const StallReport& r) override
    {
        head("stall", r.when, *r.device);
        json_.key("reason");
        json_.string(stallReasonName(r.reason));
        json_.key("register");
        if (r.awaited_register >= 0)
            json_.integer(r.awaited_register);
        else
            json_.null();
        json_.key("step");
        json_.unsignedInteger(r.poll_step);
        json_.key("elapsed_ms");
        json_.real(r.elapsed_ms, 6);
        json_.key("consecutive");
        json_.unsignedInteger(r.stats->consecutive_stalls);
        json_.key("stalls");
        json_.unsignedInteger(r.stats->stalls);
        write();
    }

    void event(const EventReport& e) override
    {
        head(deviceEventName(e.event), e.when, *e.device);
        json_.key("detail");
        json_.string(e.detail);
        json_.key("consecutive");
        json_.unsignedInteger(e.stats->consecutive_stalls);
        write();
    }

    void summary(const DeviceSpec* const* devices, const DeviceStats* const* stats,
                 std::size_t count) override
    {
        for (std::size_t i = 0; i < count; ++i) {
            head("summary", WallTime::now(), *devices[i]);
            json_.key("rounds");
            json_.unsignedInteger(stats[i]->rounds);
            json_.key("stalls");
            json_.unsignedInteger(stats[i]->stalls);
            json_.key("mean_round_ms");
            json_.real(stats[i]->meanRoundMs(), 6);
            json_.key("max_round_ms");
            json_.real(stats[i]->max_round_ms, 6);
            write();
        }
    }

private:
    void head(const char* event, const WallTime& when, const DeviceSpec& device)
    {
        char stamp[48];
        formatIso(when, stamp, sizeof stamp);
        json_.begin();
        json_.key("event");
        json_.string(event);
        json_.key("time");
        json_.string(stamp);
        json_.key("device");
        json_.string(device.name);
        json_.key("data_id");
        json_.unsignedInteger(device.data_id);
    }

    void write()
    {
        const std::string& line = json_.end();
        std::fwrite(line.data(), 1, line.size(), out_);
        std::fflush(out_);
    }

    std::FILE* out_;
    JsonLine json_;
};

}  // namespace

std::unique_ptr<OutputSink> makeJsonOutput(std::FILE* out)
{
    return std::make_unique<JsonOutput>(out);
}

}  // namespace keltool
