#include "kel36-host/wall_clock.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
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

// "HH:MM:SS.mmm" or "HH:MM:SS.uuuuuu" by hand: every output line has one.
void formatClock(const WallTime& t, char* out, std::size_t size, bool micros)
{
    const std::tm tm = localOf(t);
    char text[16];
    const auto digits = [&text](std::size_t at, long value, int count) {
        for (int i = count - 1; i >= 0; --i, value /= 10)
            text[at + static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 10);
    };
    digits(0, tm.tm_hour, 2);
    text[2] = ':';
    digits(3, tm.tm_min, 2);
    text[5] = ':';
    digits(6, tm.tm_sec, 2);
    text[8] = '.';
    const std::size_t length = micros ? 15 : 12;
    digits(9, micros ? t.nanoseconds / 1000 : t.nanoseconds / 1000000, micros ? 6 : 3);
    if (size == 0)
        return;
    const std::size_t shown = std::min(length, size - 1);
    std::memcpy(out, text, shown);
    out[shown] = '\0';
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
