#pragma once
// The kernel's RS-485 mode of a serial port: the UART drives RTS to switch a
// half-duplex transceiver between sending and receiving. Shared by both tools
// (kel36-sim --rs485, kel36-host --rs485).

#include <string>

namespace kelcli {

struct Rs485Settings {
    bool rts_high_on_send = true;  // RTS level while sending; the other level after
    unsigned delay_before_ms = 0;  // RTS switched this long before the first bit
    unsigned delay_after_ms = 0;   // and held this long after the last one
};

// The kernel caps both delays at 100 ms.
constexpr unsigned kMaxRs485DelayMs = 100;

// Turns RS-485 mode on for the open serial port `fd`. On failure returns
// false and sets `error` to one line without the port's name, such as
// "RS-485 mode is not supported by this port (Inappropriate ioctl for
// device)" for a driver without it (a pseudo-terminal, most USB adapters).
bool enableRs485(int fd, const Rs485Settings& settings, std::string* error);

// "BEFORE,AFTER" in milliseconds, each 0..kMaxRs485DelayMs. False for
// anything else.
bool parseRs485Delays(const std::string& text, Rs485Settings* settings);

}  // namespace kelcli
