#include "kel36-host/store/iso_time.h"

#include <cctype>
#include <cstdio>
#include <ctime>

namespace keltool {
namespace {

// Reads exactly `digits` decimal digits at `at`.
bool readDigits(const std::string& text, std::size_t& at, int digits, int* value)
{
    int v = 0;
    for (int i = 0; i < digits; ++i, ++at) {
        if (at >= text.size() || !std::isdigit(static_cast<unsigned char>(text[at])))
            return false;
        v = v * 10 + (text[at] - '0');
    }
    *value = v;
    return true;
}

bool expect(const std::string& text, std::size_t& at, char c)
{
    if (at < text.size() && text[at] == c) {
        ++at;
        return true;
    }
    return false;
}

bool leapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leapYear(year) ? 29 : days[month - 1];
}

}  // namespace

void formatIsoMillis(int64_t epoch_ms, char* out, std::size_t size)
{
    // Floor division: times before 1970 keep a millisecond part from 0 to 999.
    int64_t seconds = epoch_ms / 1000;
    int millis = static_cast<int>(epoch_ms % 1000);
    if (millis < 0) {
        millis += 1000;
        --seconds;
    }
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    const long offset_min = tm.tm_gmtoff / 60;
    const long abs_min = offset_min < 0 ? -offset_min : offset_min;
    std::snprintf(out, size, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis,
                  offset_min < 0 ? '-' : '+', abs_min / 60, abs_min % 60);
}

std::string isoMillis(int64_t epoch_ms)
{
    char text[40];
    formatIsoMillis(epoch_ms, text, sizeof text);
    return text;
}

bool parseIsoTime(const std::string& text, int64_t* epoch_ms, std::string* error)
{
    *error =
        "expected an ISO 8601 time such as 2026-12-08, 2026-12-08T19:12:51 or "
        "2026-12-08T19:12:51+01:00, got '" +
        text + "'";
    std::size_t at = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
    if (!readDigits(text, at, 4, &year) || !expect(text, at, '-') ||
        !readDigits(text, at, 2, &month) || !expect(text, at, '-') ||
        !readDigits(text, at, 2, &day))
        return false;
    if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
        ++at;
        if (!readDigits(text, at, 2, &hour) || !expect(text, at, ':') ||
            !readDigits(text, at, 2, &minute))
            return false;
        if (expect(text, at, ':')) {
            if (!readDigits(text, at, 2, &second))
                return false;
            if (expect(text, at, '.') || expect(text, at, ',')) {
                int scale = 100;
                std::size_t digits = 0;
                while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
                    millis += (text[at] - '0') * scale;
                    scale /= 10;
                    ++at;
                    ++digits;
                }
                if (digits == 0)
                    return false;
            }
        }
    }
    bool has_offset = false;
    int offset_min = 0;
    if (expect(text, at, 'Z')) {
        has_offset = true;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        const int sign = text[at] == '-' ? -1 : 1;
        ++at;
        int oh = 0, om = 0;
        if (!readDigits(text, at, 2, &oh))
            return false;
        if (at < text.size()) {
            expect(text, at, ':');
            if (!readDigits(text, at, 2, &om))
                return false;
        }
        if (oh > 23 || om > 59)
            return false;
        has_offset = true;
        offset_min = sign * (oh * 60 + om);
    }
    if (at != text.size())
        return false;
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
        minute > 59 || second > 59) {
        *error = "'" + text + "' is not a valid date and time";
        return false;
    }
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    std::time_t seconds;
    if (has_offset) {
        seconds = timegm(&tm) - static_cast<std::time_t>(offset_min) * 60;
    } else {
        tm.tm_isdst = -1;
        seconds = std::mktime(&tm);
    }
    *epoch_ms = static_cast<int64_t>(seconds) * 1000 + millis;
    error->clear();
    return true;
}

}  // namespace keltool
