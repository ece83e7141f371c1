#pragma once
// Opening a device's serial line for the event loop.

#include <string>

namespace keltool {

// Opens the line raw, 8N1, at `baud`, non-blocking, with hardware flow
// control only when asked for. Reads on it return -1/EAGAIN when no byte is
// waiting and 0 only at a hang-up. Returns -1 with "<path>: <reason>" in *error.
int openLine(const std::string& path, int baud, bool rtscts, std::string* error);

}  // namespace keltool
