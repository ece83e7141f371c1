#pragma once
// The host's 7-byte time value that records carry in their last bytes.

#include <array>

#include <boost/date_time/posix_time/ptime.hpp>

using ttime_t = std::array<unsigned char, 7>;

ttime_t get_ttime(boost::posix_time::ptime when);
