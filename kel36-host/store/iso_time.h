#pragma once
// Times of the history: UTC milliseconds since the epoch in the database,
// ISO 8601 text for people and scripts.

#include <cstddef>
#include <cstdint>
#include <string>

namespace keltool {

// "2026-12-08T19:12:51.744+01:00": the local time with its offset from UTC.
// `out` must hold 30 bytes.
void formatIsoMillis(int64_t epoch_ms, char* out, std::size_t size);
std::string isoMillis(int64_t epoch_ms);

// Reads an ISO 8601 date and time: "2026-12-08", "2026-12-08T19:12",
// "2026-12-08T19:12:51", "2026-12-08 19:12:51.5", each optionally followed by
// "Z", "+01:00", "+0100" or "+01". Without an offset the time is local; a date
// alone means its midnight. False, with `error` saying why, for anything else.
bool parseIsoTime(const std::string& text, int64_t* epoch_ms, std::string* error);

}  // namespace keltool
