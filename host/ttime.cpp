// The stand-in host's 7-byte time value: year as 16-bit little-endian, then
// month (1-12), day (1-31), hour, minute and second, each one byte.

#include "framework/ttime.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/device_observer.h"

ttime_t get_ttime(boost::posix_time::ptime when)
{
    if (kelhost::DeviceObserver* observer = kelhost::defaultObserver())
        observer->onGetTtime(when);
    ttime_t out{};
    if (when.is_special())
        return out;  // not-a-date-time and infinities have no calendar value
    const auto date = when.date();
    const auto time = when.time_of_day();
    const unsigned year = static_cast<unsigned>(date.year());
    out[0] = static_cast<unsigned char>(year & 0xFF);
    out[1] = static_cast<unsigned char>(year >> 8);
    out[2] = static_cast<unsigned char>(date.month().as_number());
    out[3] = static_cast<unsigned char>(date.day().as_number());
    out[4] = static_cast<unsigned char>(time.hours());
    out[5] = static_cast<unsigned char>(time.minutes());
    out[6] = static_cast<unsigned char>(time.seconds());
    return out;
}
