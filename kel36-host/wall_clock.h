#pragma once
// Time stamps for output: the local wall-clock time, formatted into caller
// buffers so that reporting a round allocates nothing.

#include <chrono>
#include <cstddef>

namespace keltool {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;

struct WallTime {
    long long seconds = 0;  // since the epoch
    long nanoseconds = 0;
    static WallTime now();
};

// "12:00:01.234" (millis) or "12:00:01.234567" (micros).
void formatClock(const WallTime& t, char* out, std::size_t size, bool micros = false);
// "2024-05-01T12:00:01.234+0200"
void formatIso(const WallTime& t, char* out, std::size_t size);

inline double millisBetween(TimePoint from, TimePoint to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

}  // namespace keltool
