#pragma once
// Opening the simulator's end of a line: a new pseudo-terminal or an existing
// serial device, both raw 8N1 without flow control and non-blocking.

#include <string>

namespace kelsim {

// File descriptors the simulator owns for one line. Closes them on destruction.
struct Line {
    int fd = -1;          // read requests from / write replies to
    int keep_open = -1;   // pseudo-terminal peer held open, see openPseudoTerminal
    std::string path;     // what a poller opens

    Line() = default;
    Line(Line&& other) noexcept;
    Line& operator=(Line&& other) noexcept;
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;
    ~Line();
};

// Creates a pseudo-terminal. The simulator serves its master side; `path` is
// the peer a poller opens. Throws std::runtime_error naming the failed call.
Line openPseudoTerminal();

// Opens and configures a serial device. Throws std::runtime_error naming the
// path and the system error, or the unsupported baud rate.
Line openSerialDevice(const std::string& path, int baud);

bool isSupportedBaud(int baud);

}  // namespace kelsim
