// Polling-path figures of the driver in kel36.so, loaded through dlopen and
// driven like the host drives it. Run with repetitions and read the medians:
//   kel36_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>

#include <stdexcept>
#include <string>

#include "bench_device.h"
#include "kel36/kel36.h"

namespace {

using kelbench::BenchDevice;
using kelbench::kRepliesPerRound;

// One reply through process: decode the hex pair, store the value as the step
// prescribes, send the stored frame of the next register into the port (none
// open: the send ends at the observer). Cycles through steps 1..63 so every
// kind of store is in the mix; step 64, which completes the round, is the
// full-round benchmark's.
void BM_ProcessOneReply(benchmark::State& state)
{
    BenchDevice bench;
    bench.device().RefreshStatus();
    unsigned index = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(bench.replyAt(index));
        if (++index == kRepliesPerRound - 1)
            index = 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProcessOneReply);

// A whole round: RefreshStatus, 63 replies, and round completion (time stamp,
// SendSP, Reset, five bit alarms and the battery check, analogue and batch
// checks, the "rvSize is" line into a silenced std::cout, history).
void BM_FullRound(benchmark::State& state)
{
    BenchDevice bench;
    kelbench::SilencedCout silenced;
    for (auto _ : state) {
        if (bench.runRound() != 0)
            state.SkipWithError("the round did not complete");
    }
    state.SetItemsProcessed(state.iterations() * kRepliesPerRound);
    state.counters["replies"] = kRepliesPerRound;
}
BENCHMARK(BM_FullRound);

// Configuration: data identifier into the record, address from "appSetting",
// the 65 request frames formatted.
void BM_InitSetting(benchmark::State& state)
{
    BenchDevice bench;
    const Json::Value config = BenchDevice::config("65");
    for (auto _ : state)
        benchmark::DoNotOptimize(bench.device().InitSetting(config));
}
BENCHMARK(BM_InitSetting);

// Value lookup after a completed round: validity, age (one local-time read),
// name match. The first and the last name of the lookup table.
void BM_GetValue(benchmark::State& state, const char* name)
{
    BenchDevice bench;
    {
        kelbench::SilencedCout silenced;
        bench.runRound();
    }
    const std::string signal = name;
    for (auto _ : state)
        benchmark::DoNotOptimize(bench.device().Get_Value(0, signal));
}
BENCHMARK_CAPTURE(BM_GetValue, uab, "uab");
BENCHMARK_CAPTURE(BM_GetValue, uc, "uc");

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::AddCustomContext("plugin", KEL36_PLUGIN_PATH);
    benchmark::AddCustomContext("sizeof(Kel36)", std::to_string(sizeof(Kel36)));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
