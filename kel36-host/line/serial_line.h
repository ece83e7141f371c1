#pragma once
// Opening a line for the event loop and the scan: raw 8N1 at the device's
// baud rate, non-blocking, held exclusively so that no second host (or other
// program) can share it by mistake.

#include <optional>
#include <string>

#include "cli/rs485.h"

namespace keltool {

struct LineOptions {
    int baud = 19200;
    bool rtscts = false;  // hardware flow control
    // Also open a blocking descriptor of the line for waiting in read(): a
    // run with a single line waits for a reply in one system call.
    bool wait_reader = false;
    // Wake the reader at every byte, not once per reply's length: what
    // arrives is not replies alone (an adapter's echo of each request, a
    // scan's garbage), so a reply's tail may be fewer bytes than that.
    bool wake_per_byte = false;
    std::optional<kelcli::Rs485Settings> rs485;  // the kernel's RS-485 mode, when set
};

// The descriptors of one opened line. `fd` is non-blocking: the loop polls,
// reads and writes it; a read of an empty line returns -1/EAGAIN and 0 only
// at a hang-up. `wait_fd` (or -1) reads the same line, blocking.
struct OpenedLine {
    int fd = -1;
    int wait_fd = -1;
    bool isOpen() const { return fd >= 0; }
};

// Opens the line and takes it exclusively: an advisory lock (flock) that
// another kel36-host or any program locking its serial lines respects, and
// the terminal's exclusive mode (TIOCEXCL), which refuses later opens of
// unprivileged programs. A line another program holds is refused. Every
// reply is awaited as a whole: the line wakes its reader once the reply's
// length has arrived, not once per character. Returns false with
// "<path>: <reason>" in *error and errno set (EBUSY: held by another program;
// a path that is no terminal, or a port without RS-485 mode, say so).
bool openLine(const std::string& path, const LineOptions& options, OpenedLine* line,
              std::string* error);

// Gives up the exclusive mode (a pseudo-terminal whose peer stays open keeps
// it otherwise, and a reopen would be refused) and closes the descriptors.
void closeLine(OpenedLine* line);

}  // namespace keltool
