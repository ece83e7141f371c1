#pragma once
// This host's time value: a packed structure, not an array.

#include <cstdint>

#include <boost/date_time/posix_time/ptime.hpp>

struct __attribute__((packed)) HostClockValue {
    std::uint8_t second;
    std::uint8_t minute;
    std::uint8_t hour;
    std::uint8_t day;
    std::uint8_t month;
    std::uint16_t year;
};

HostClockValue get_ttime(boost::posix_time::ptime local);
