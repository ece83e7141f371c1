// What keeping the history costs: the polling thread's part (queueing a
// record), the writer thread's part (rows into SQLite, committed), and a
// report over a day of one record a second.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "kel36-host/output/record_decoder.h"
#include "kel36-host/report/html_report.h"
#include "kel36-host/report/report_model.h"
#include "kel36-host/report/svg_plot.h"
#include "kel36-host/store/history_reader.h"
#include "kel36-host/store/history_writer.h"

namespace {

using keltool::HistoryWriter;
using keltool::RecordBytes;

std::string freshPath(const char* name)
{
    char dir[] = "/tmp/kel36-history-bench-XXXXXX";
    const char* made = ::mkdtemp(dir);
    return std::string(made ? made : "/tmp") + "/" + name;
}

void removeDatabase(const std::string& path)
{
    for (const char* suffix : {"", "-wal", "-shm"})
        ::unlink((path + suffix).c_str());
    ::rmdir(path.substr(0, path.rfind('/')).c_str());
}

RecordBytes sampleRecord(int second)
{
    RecordBytes r{};
    const auto put = [&r](const char* field, float v) {
        std::memcpy(&r[keltool::findField(field)->offset], &v, 4);
    };
    put("uab", 400.0f + 8.0f * std::sin(second / 3000.0f) + (second % 13) * 0.1f);
    put("frequency", 50.0f + 0.3f * std::sin(second / 900.0f));
    put("battery_voltage", 27.0f - second / 86400.0f);
    r[keltool::findField("status_a")->offset] = second > 30000 && second < 32000 ? 0x80 : 0;
    return r;
}

// The polling thread's cost per stored record: into the queue, no waiting.
void BM_QueueOneRecord(benchmark::State& state)
{
    const std::string path = freshPath("queue.db");
    {
        HistoryWriter writer(path);
        const RecordBytes record = sampleRecord(1);
        const std::string device = "genset-1";
        for (auto _ : state)
            benchmark::DoNotOptimize(writer.record(device, 5001, keltool::RecordSource::Poll,
                                                   record.data(), 100, keltool::WallTime::now()));
        state.counters["dropped"] = static_cast<double>(writer.rowsDropped());
    }
    removeDatabase(path);
}
// Fewer than the queue holds, so none is dropped.
BENCHMARK(BM_QueueOneRecord)->Iterations(8000);

// Rows through the writer thread into the database, as many per transaction
// as the argument, committed (time per row, the whole process's CPU).
void BM_WriteRows(benchmark::State& state)
{
    const int rows = static_cast<int>(state.range(0));
    const RecordBytes record = sampleRecord(1);
    for (auto _ : state) {
        state.PauseTiming();
        const std::string path = freshPath("rows.db");
        state.ResumeTiming();
        {
            HistoryWriter writer(path);
            for (int i = 0; i < rows; ++i)
                writer.record("g" + std::to_string(i % 64), 5000 + i % 64,
                              keltool::RecordSource::Poll, record.data(), 100,
                              keltool::WallTime::now());
        }  // closing writes every queued row
        state.PauseTiming();
        removeDatabase(path);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * rows);
}
BENCHMARK(BM_WriteRows)->Arg(4096)->MeasureProcessCPUTime()->UseRealTime()->Unit(
    benchmark::kMillisecond);

// A report over a day of one device at one record a second.
void BM_ReportOfADay(benchmark::State& state)
{
    const std::string path = freshPath("day.db");
    {
        keltool::HistoryWriterOptions options;
        options.queue_capacity = 86400;
        HistoryWriter writer(path, options);
        for (int s = 0; s < 86400; ++s) {
            const RecordBytes record = sampleRecord(s);
            writer.record("genset-1", 5001, keltool::RecordSource::Poll, record.data(), 100,
                          keltool::WallTime{1767225600LL + s, 0});
        }
    }
    std::size_t bytes = 0;
    for (auto _ : state) {
        const keltool::HistoryReader reader(path);
        keltool::ReportDocument doc;
        keltool::HistoryFilter filter;
        filter.device = "genset-1";
        doc.devices.push_back(keltool::buildDeviceReport(reader, filter, keltool::kPlotColumns));
        bytes = keltool::renderHtmlReport(doc).size();
    }
    state.counters["html_bytes"] = static_cast<double>(bytes);
    removeDatabase(path);
}
BENCHMARK(BM_ReportOfADay)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
