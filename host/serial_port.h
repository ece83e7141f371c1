#pragma once
// Raw serial lines for the stand-in host and the simulator: termios, 8 data
// bits, no parity, 1 stop bit, no flow control unless asked for.

#include <cstddef>
#include <string>

namespace kelhost {

struct SerialSettings {
    int baud = 19200;
    bool hardware_flow_control = false;
};

// The baud rates the line can be set to: 1200 to 115200, the standard steps.
bool isSupportedBaud(int baud);

// Opens and configures the line, non-blocking. Returns the descriptor, or -1
// with a message naming the path and the system error in *error.
int openSerialPort(const std::string& path, const SerialSettings& settings, std::string* error);

// Puts an already open descriptor (a pseudo-terminal, say) into raw 8N1 mode.
bool configureRaw(int fd, const SerialSettings& settings, std::string* error);

// Writes what the line takes at once, never waiting for room: a line whose
// output buffer is full must not hold up its caller. Returns the bytes
// written (short of `length` when the buffer filled up), or -1 with errno set
// when nothing could be written (EAGAIN: the buffer is full).
long writeNow(int fd, const unsigned char* data, std::size_t length);

}  // namespace kelhost
