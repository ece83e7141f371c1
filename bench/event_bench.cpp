// What the event hook costs: the hold-off stage's work per round on the
// polling thread (a device with its five alarms, nothing changing), and one
// run of a program that does nothing (fork, exec, wait), the worker's part.

#include <benchmark/benchmark.h>

#include <string>

#include "kel36-host/config/host_config.h"
#include "kel36-host/events/event_hold.h"
#include "kel36-host/events/event_hook.h"

namespace {

using namespace keltool;

class NoOutput : public OutputSink {
public:
    void round(const RoundReport&) override {}
    void stall(const StallReport&) override {}
    void event(const EventReport&) override {}
    void summary(const DeviceSpec* const*, const DeviceStats* const*, std::size_t) override {}
};

class NoListener : public EventListener {
public:
    void announce(const AnnouncedEvent&) override {}
};

void BM_HoldStageRound(benchmark::State& state)
{
    NoOutput next;
    NoListener listener;
    EventHoldStage stage(next, {&listener}, EventHoldTimes{});
    DeviceSpec device;
    const AlarmState alarms[] = {{"a_5", "05004", "高水温告警", false},
                                 {"a_6", "05001", "超速告警", false},
                                 {"a_7", "05010", "低油压告警", true},
                                 {"b_2", "05029", "频率低告警", false},
                                 {"b_6", "05024", "短路告警", false}};
    RoundReport report;
    report.device = &device;
    report.alarms = alarms;
    report.alarm_count = 5;
    for (auto _ : state)
        stage.round(report);
}
BENCHMARK(BM_HoldStageRound);

void BM_HookProgramRun(benchmark::State& state)
{
    EventHookSettings settings;
    settings.command = {"/bin/true"};
    std::FILE* log = std::fopen("/dev/null", "w");
    EventHook hook(settings, log);
    AnnouncedEvent event;
    event.event = DeviceEvent::AlarmRaised;
    event.device = "gen-1";
    event.signal = "a_7";
    for (auto _ : state)
        benchmark::DoNotOptimize(hook.runNow(event));
    hook.finish(std::chrono::milliseconds(0));
    std::fclose(log);
}
BENCHMARK(BM_HookProgramRun)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
