#include "host/tool/wall_clock.h"

#include <cstdio>
#include <ctime>

namespace keltool {

WallTime WallTime::now()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return WallTime{static_cast<long long>(ts.tv_sec), ts.tv_nsec};
}

namespace {
// Many lines share a second; the local time is worked out once per second.
std::tm localOf(const WallTime& t)
{
    thread_local long long cached_seconds = -1;
    thread_local std::tm cached{};
    if (t.seconds != cached_seconds) {
        const std::time_t secs = static_cast<std::time_t>(t.seconds);
        localtime_r(&secs, &cached);
        cached_seconds = t.seconds;
    }
    return cached;
}
}  // namespace

void formatClock(const WallTime& t, char* out, std::size_t size, bool micros)
{
    const std::tm tm = localOf(t);
    if (micros)
        std::snprintf(out, size, "%02d:%02d:%02d.%06ld", tm.tm_hour, tm.tm_min, tm.tm_sec,
                      t.nanoseconds / 1000);
    else
        std::snprintf(out, size, "%02d:%02d:%02d.%03ld", tm.tm_hour, tm.tm_min, tm.tm_sec,
                      t.nanoseconds / 1000000);
}

void formatIso(const WallTime& t, char* out, std::size_t size)
{
    const std::tm tm = localOf(t);
    char zone[8] = "";
    std::strftime(zone, sizeof zone, "%z", &tm);
    std::snprintf(out, size, "%04d-%02d-%02dT%02d:%02d:%02d.%03ld%s", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  t.nanoseconds / 1000000, zone);
}

}  // namespace keltool
