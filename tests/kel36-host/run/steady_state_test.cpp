// In the steady state a polling round allocates nothing on the host's side:
// every global operator new of this process is replaced by one that counts
// the calls made on the polling thread (the simulated controller's own
// thread is not the host's). Built as its own executable so the replacement
// touches no other suite.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "host/plugin_loader.h"
#include "kel36-host/line/line_bus.h"
#include "kel36-host/run/device_runner.h"
#include "kel36-host/run/event_loop.h"
#include "kel36-host/output/line_trace.h"
#include "kel36-host/output/outputs.h"
#include "kel36-host/cache/record_store.h"
#include "kel36-host/store/history_writer.h"
#include "kel36-host/web/live_state.h"
#include "host_process.h"
#include "simulator.h"

namespace {

thread_local bool t_counting = false;
thread_local long t_allocations = 0;

void* counted(std::size_t size)
{
    if (t_counting)
        ++t_allocations;
    void* p = std::malloc(size == 0 ? 1 : size);
    if (!p)
        throw std::bad_alloc();
    return p;
}

}  // namespace

void* operator new(std::size_t size)
{
    return counted(size);
}
void* operator new[](std::size_t size)
{
    return counted(size);
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace keltool {
namespace {

// Passes everything on to the real output and counts completed rounds.
class RoundCounter : public OutputSink {
public:
    explicit RoundCounter(OutputSink& inner) : inner_(inner) {}
    int rounds = 0;
    void round(const RoundReport& r) override
    {
        inner_.round(r);
        ++rounds;
    }
    void stall(const StallReport& r) override { inner_.stall(r); }
    void event(const EventReport& e) override { inner_.event(e); }
    void summary(const DeviceSpec* const* d, const DeviceStats* const* s, std::size_t n) override
    {
        inner_.summary(d, s, n);
    }
    TimePoint wakeAt() const override { return inner_.wakeAt(); }
    void onWake(TimePoint now) override { inner_.onWake(now); }

private:
    OutputSink& inner_;
};

// With `live_view`, the reports also feed the web view's live state (--http).
void pollWithOutput(OutputMode mode, bool live_view = false)
{
    toolstest::TempDir dir;
    const kelhost::Plugin plugin = kelhost::Plugin::load(toolstest::pluginPath());
    const std::unique_ptr<kelsim::Simulator> controller = kelsim::startOnPty(kelsim::Options{});
    std::FILE* sink_file = std::fopen("/dev/null", "w");
    ASSERT_NE(sink_file, nullptr);
    const std::unique_ptr<OutputSink> output = makeOutput(mode, sink_file);
    DeviceSpec device_spec;
    device_spec.name = "gen";
    device_spec.port = controller->devicePath();
    LiveState live({device_spec});
    const std::unique_ptr<OutputSink> fed = feedLiveState(live, *output);
    RoundCounter counter(live_view ? *fed : *output);
    LineTrace trace(sink_file);
    HistoryWriter history(dir.file("history.db"));
    RecordCache cache(dir.file("cache"));

    RunSettings settings;
    settings.interval_ms = 0;
    settings.timeout_ms = 1000;
    settings.rounds = 12;
    RunServices services{&counter, &trace, &history, &cache};
    DeviceRunner runner(plugin, device_spec, settings, services);
    live.setKey(0, &runner.device_spec());
    LineBus line(device_spec.port, {&runner}, settings);
    line.open(true);  // waits for replies in read(), as a run with one line does
    const StopSignals signals;
    line.start(SteadyClock::now());

    long allocations = -1;
    runEventLoop({&line}, signals, &counter, [&] {
        // Rounds 1-2 warm up (buffers reach their size); 3-12 are counted.
        if (counter.rounds == 2 && !t_counting) {
            t_allocations = 0;
            t_counting = true;
        }
        if (counter.rounds == 12 && t_counting) {
            t_counting = false;
            allocations = t_allocations;
        }
        return false;
    });
    std::fclose(sink_file);
    EXPECT_EQ(runner.stats().rounds, 12u);
    EXPECT_EQ(allocations, 0) << "allocations on the polling thread over 10 rounds";
    if (live_view) {
        EXPECT_EQ(live.status(0).rounds, 12u) << "the live state saw every round";
    }
}

TEST(SteadyState, TheCounterSeesAllocationsOfThisThread)
{
    t_allocations = 0;
    t_counting = true;
    const std::string text(100, 'x');
    t_counting = false;
    EXPECT_EQ(t_allocations, 1) << text;
}

TEST(SteadyState, PollingRoundsWithJsonOutputTraceHistoryAndCacheAllocateNothing)
{
    pollWithOutput(OutputMode::Json);
}

TEST(SteadyState, PollingRoundsWithHumanOutputAllocateNothing)
{
    pollWithOutput(OutputMode::Human);
}

TEST(SteadyState, PollingRoundsWithTheLiveViewAllocateNothing)
{
    pollWithOutput(OutputMode::Watch);
}

TEST(SteadyState, PollingRoundsFeedingTheWebViewAllocateNothing)
{
    pollWithOutput(OutputMode::Json, true);
}

}  // namespace
}  // namespace keltool
