// Makes a history database of DAYS days of DEVICES devices at one record a
// second, through the tool's own writer (the same rows, columns and indexes
// a run writes), for measuring the store at scale by hand:
//
//   kel36_history_year FILE [DAYS [DEVICES]]     (default: 365 days, 1 device)
//
// The records end at the current time, so --keep and the report see a year
// that has just passed. Values drift slowly and an alarm bit comes and goes,
// like a generator set on test. Not run in CI: a year is 31.5 million rows.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "kel36-host/output/record_decoder.h"
#include "kel36-host/store/history_writer.h"
#include "kel36-host/tool_error.h"

namespace {

void putFloat(keltool::RecordBytes& bytes, const char* field, float value)
{
    std::memcpy(bytes.data() + keltool::findField(field)->offset, &value, sizeof value);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: %s FILE [DAYS [DEVICES]]\n", argv[0]);
        return 2;
    }
    const long days = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 365;
    const long devices = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 1;
    if (days < 1 || devices < 1) {
        std::fprintf(stderr, "%s: DAYS and DEVICES are positive numbers\n", argv[0]);
        return 2;
    }
    try {
        keltool::HistoryWriterOptions options;
        options.queue_capacity = 65536;
        options.program = "kel36_history_year";
        keltool::HistoryWriter writer(argv[1], options);
        const long long seconds = days * 86400LL;
        const long long end = keltool::WallTime::now().seconds;
        keltool::RecordBytes record{};
        uint64_t queued = 0;
        for (long long s = 0; s < seconds; ++s) {
            for (long d = 0; d < devices; ++d) {
                const double t = static_cast<double>(s);
                const float drift = static_cast<float>(std::sin(t / 3600.0 + d) * 2.0);
                putFloat(record, "uab", 400.0f + drift);
                putFloat(record, "ubc", 399.5f + drift);
                putFloat(record, "uca", 401.0f - drift);
                putFloat(record, "frequency", 50.0f + drift / 20.0f);
                putFloat(record, "ua", 231.0f + drift);
                putFloat(record, "ub", 230.0f + drift);
                putFloat(record, "uc", 232.0f - drift);
                putFloat(record, "battery_voltage", 27.0f + drift / 10.0f);
                // Low oil pressure for ten minutes every six hours.
                record[keltool::findField("status_a")->offset] = (s % 21600) < 600 ? 0x80 : 0x00;
                const std::string name = "genset-" + std::to_string(d + 1);
                // The writer's queue is bounded: wait for it instead of dropping rows.
                while (queued - writer.rowsWritten() >= options.queue_capacity / 2)
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                writer.record(name, static_cast<uint32_t>(5001 + d), keltool::RecordSource::Poll,
                              record.data(), keltool::kRecordSize,
                              keltool::WallTime{end - seconds + s, 0});
                ++queued;
            }
            if (s % 864000 == 0)
                std::fprintf(stderr, "%lld of %lld days\n", s / 86400, seconds / 86400);
        }
        writer.close();
        std::printf("%llu records in %s (%llu lost)\n",
                    static_cast<unsigned long long>(writer.rowsWritten()), argv[1],
                    static_cast<unsigned long long>(writer.rowsLost()));
        return writer.rowsLost() == 0 ? 0 : 1;
    } catch (const keltool::ToolError& e) {
        std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 2;
    }
}
