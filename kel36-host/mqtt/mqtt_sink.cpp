#include "kel36-host/mqtt/mqtt_sink.h"

#include <unordered_map>

#include "kel36-host/config/host_config.h"
#include "kel36-host/run/event_loop.h"

namespace keltool {
namespace {

class MqttSink : public OutputSink {
public:
    MqttSink(MqttPublisher& publisher, OutputSink& inner) : publisher_(publisher), inner_(inner) {}

    void round(const RoundReport& r) override
    {
        publisher_.recordPolled(indexOf(r.device), r);
        inner_.round(r);
    }
    void stall(const StallReport& r) override { inner_.stall(r); }
    void event(const EventReport& e) override
    {
        if (e.event == DeviceEvent::NotAnswering || e.event == DeviceEvent::PortLost ||
            e.event == DeviceEvent::GaveUp)
            publisher_.answering(indexOf(e.device), false);
        inner_.event(e);
    }
    void summary(const DeviceSpec* const* devices, const DeviceStats* const* stats,
                 std::size_t count) override
    {
        inner_.summary(devices, stats, count);
    }
    TimePoint wakeAt() const override { return inner_.wakeAt(); }
    void onWake(TimePoint now) override { inner_.onWake(now); }

private:
    // The runner's own device description stays put for the run: looked up by name once.
    std::size_t indexOf(const DeviceSpec* device)
    {
        const auto at = known_.find(device);
        if (at != known_.end())
            return at->second;
        const std::size_t index = device ? publisher_.deviceIndex(device->name) : std::string::npos;
        known_.emplace(device, index);
        return index;
    }

    MqttPublisher& publisher_;
    OutputSink& inner_;
    std::unordered_map<const DeviceSpec*, std::size_t> known_;
};

}  // namespace

std::unique_ptr<OutputSink> publishToMqtt(MqttPublisher& publisher, OutputSink& inner)
{
    return std::make_unique<MqttSink>(publisher, inner);
}

std::unique_ptr<MqttPublisher> startMqtt(const ToolOptions& options,
                                         const std::vector<DeviceSpec>& devices, std::FILE* err)
{
    if (!options.mqtt.any())
        return nullptr;
    const MqttSettings settings = resolveMqttSettings(options.mqtt);
    std::vector<MqttDevice> named;
    for (const DeviceSpec& d : devices)
        named.push_back(MqttDevice{d.name, d.data_id});
    auto publisher = std::make_unique<MqttPublisher>(settings, std::move(named),
                                                     options.history_path, err, options.service);
    const SignalsKeptFromNewThreads signals_stay_here;  // the publisher thread
    publisher->start();
    return publisher;
}

bool finishMqtt(MqttPublisher& publisher, std::FILE* err, bool service)
{
    publisher.stop();
    const bool lost = publisher.recordsLost() > 0;
    for (const std::string& line : publisher.closingLines())
        std::fprintf(err, "%skel36-host: mqtt: %s\n", service ? (lost ? "<3>" : "<4>") : "",
                     line.c_str());
    return lost;
}

}  // namespace keltool
