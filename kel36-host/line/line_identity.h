#pragma once
// Which device a line's path leads to. A USB adapter unplugged and another
// plugged in may get the same /dev/ttyUSB0: a line reopened by path is
// polled again only when it is the device it was.

#include <string>
#include <sys/types.h>

namespace keltool {

struct LineIdentity {
    // The adapter's own names, empty when the device has none (a
    // pseudo-terminal, an on-board port): its link in /dev/serial/by-id and
    // the USB serial number the kernel read from it ("USB 0403:6001 serial
    // A1B2C3"). udev may add the link a moment after the device appears.
    std::string by_id;
    std::string serial;
    dev_t rdev = 0;  // the device number: all a pseudo-terminal has

    // For messages: the by-id link, the serial number, or "device 136:3".
    std::string describe() const;
};

// The identity of the opened line `fd`. The roots are "/dev" and "/sys" but
// for tests.
LineIdentity identifyLine(int fd, const std::string& dev_root = "/dev",
                          const std::string& sys_root = "/sys");

enum class LineMatch {
    Same,    // the same adapter, or the same device number where none has a name
    Other,   // both have a name of the same kind, and the names differ
    Unsure,  // the device number changed (or a name went) and no name tells
};
LineMatch matchLine(const LineIdentity& before, const LineIdentity& now);

}  // namespace keltool
