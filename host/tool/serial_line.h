#pragma once
// Opening a device's serial line for the event loop and for the scan.

#include <optional>
#include <string>

#include "cli/rs485.h"

namespace keltool {

struct LineSettings {
    int baud = 19200;
    bool rtscts = false;                         // hardware flow control
    std::optional<kelcli::Rs485Settings> rs485;  // the kernel's RS-485 mode, when set
};

// Opens the line raw, 8N1, non-blocking, with hardware flow control and
// RS-485 mode only when asked for. Reads on it return -1/EAGAIN when no byte
// is waiting and 0 only at a hang-up. Returns -1 with "<path>: <reason>" in
// *error (a path that is no terminal, a port without RS-485 mode, ...).
int openLine(const std::string& path, const LineSettings& settings, std::string* error);

}  // namespace keltool
