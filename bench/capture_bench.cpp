// What a capture costs the polling thread: one event handed to the writer
// (encoded into its buffer; the disk is the writer thread's), and a whole
// paced round's 128 events. Written to /dev/null, so that the writer thread
// keeps up with a loop that adds millions of events a second (a line adds a
// few hundred): "lost" must stay 0, or the figure is the dropping path's.

#include <benchmark/benchmark.h>


#include "kel36-host/capture/capture_writer.h"

namespace {

using namespace keltool;

CaptureHeader request()
{
    CaptureHeader h;
    h.kind = CaptureKind::Request;
    h.device = 0;
    h.address = 65;
    h.reg = 7;
    return h;
}

void BM_CaptureOneRequest(benchmark::State& state)
{
    {
        CaptureSettings settings;
        settings.path = "/dev/null";
        CaptureWriter writer(settings);
        const uint32_t line = writer.addLine({"/dev/ttyUSB0", "19200 baud 8N1", 19200, {}});
        const unsigned char frame[] = "|DF5699";
        CaptureHeader h = request();
        for (auto _ : state) {
            ++h.monotonic_ns;
            benchmark::DoNotOptimize(writer.add(line, h, WallTime::now(), frame, 7));
        }
        writer.close();
        state.counters["lost"] = static_cast<double>(writer.eventsLost());
    }
}
BENCHMARK(BM_CaptureOneRequest);

void BM_CaptureOneRound(benchmark::State& state)
{
    {
        CaptureSettings settings;
        settings.path = "/dev/null";
        CaptureWriter writer(settings);
        const uint32_t line = writer.addLine({"/dev/ttyUSB0", "19200 baud 8N1", 19200, {}});
        const unsigned char frame[] = "|DF5699";
        const unsigned char reply[] = "9F9E";
        unsigned char record[104] = {};
        CaptureHeader h = request();
        for (auto _ : state) {
            h.kind = CaptureKind::RoundStart;
            writer.add(line, h, WallTime::now(), record, 4);
            for (int i = 0; i < 63; ++i) {
                h.kind = CaptureKind::Request;
                writer.add(line, h, WallTime::now(), frame, 7);
                h.kind = CaptureKind::Reply;
                writer.add(line, h, WallTime::now(), reply, 4);
            }
            h.kind = CaptureKind::RecordPublished;
            writer.add(line, h, WallTime::now(), record, sizeof record);
        }
        writer.close();
        state.counters["lost"] = static_cast<double>(writer.eventsLost());
    }
}
BENCHMARK(BM_CaptureOneRound);

}  // namespace

BENCHMARK_MAIN();
