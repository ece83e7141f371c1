// The device runner driven in-process: what happens when the line goes away.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/plugin_loader.h"
#include "kel36-host/line/line_bus.h"
#include "kel36-host/run/device_runner.h"
#include "kel36-host/run/event_loop.h"
#include "host_process.h"
#include "simulator.h"

namespace keltool {
namespace {

class RecordingSink : public OutputSink {
public:
    int rounds = 0;
    int stalls = 0;
    std::vector<DeviceEvent> events;
    std::vector<std::string> details;

    void round(const RoundReport& report) override
    {
        if (report.source == RecordSource::Poll)
            ++rounds;
    }
    void stall(const StallReport&) override { ++stalls; }
    void event(const EventReport& e) override
    {
        if (e.event == DeviceEvent::Started)
            return;
        events.push_back(e.event);
        details.emplace_back(e.detail);
    }
    void summary(const DeviceSpec* const*, const DeviceStats* const*, std::size_t) override {}
};

TEST(LostLine, IsReportedOnceAndReopenedAfterABackOffNotCountedAsStalls)
{
    const kelhost::Plugin plugin = kelhost::Plugin::load(toolstest::pluginPath());
    std::unique_ptr<kelsim::Simulator> controller = kelsim::startOnPty(kelsim::Options{});
    DeviceSpec device_spec;
    device_spec.name = "gen";
    device_spec.port = controller->devicePath();
    RunSettings settings;
    settings.interval_ms = 0;
    settings.timeout_ms = 100;
    RecordingSink sink;
    RunServices services;
    services.output = &sink;
    DeviceRunner runner(plugin, device_spec, settings, services);
    LineBus line(device_spec.port, {&runner}, settings);
    line.open(false);
    const StopSignals signals;
    line.start(SteadyClock::now());

    const TimePoint give_up = SteadyClock::now() + std::chrono::seconds(10);
    TimePoint lost_at{};
    runEventLoop({&line}, signals, nullptr, [&] {
        if (sink.rounds >= 2 && controller) {
            controller->stop();  // the adapter is unplugged
            controller.reset();
        }
        if (!sink.events.empty() && lost_at == TimePoint{})
            lost_at = SteadyClock::now();
        // Keep running a while after the loss, but stop before the first reopen
        // attempt (100 ms): a parallel test may get the same pseudo-terminal path.
        return SteadyClock::now() > give_up ||
               (lost_at != TimePoint{} &&
                SteadyClock::now() - lost_at > std::chrono::milliseconds(80));
    });

    ASSERT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(sink.events[0], DeviceEvent::PortLost);
    EXPECT_EQ(sink.details[0].rfind(device_spec.port + ": ", 0), 0u) << sink.details[0];
    EXPECT_EQ(sink.stalls, 0);
    EXPECT_GE(sink.rounds, 2);
    EXPECT_EQ(runner.stats().rounds, static_cast<uint64_t>(sink.rounds));
    EXPECT_EQ(line.fd(), -1) << "a lost line is not polled";
    EXPECT_NE(line.deadline(), TimePoint::max()) << "a reopen is scheduled";
    EXPECT_GT(line.deadline(), lost_at) << "with a back-off, not at once";
}

}  // namespace
}  // namespace keltool
