#include "host/tool/serial_line.h"

#include <cerrno>
#include <cstring>
#include <termios.h>
#include <unistd.h>

#include "host/serial_port.h"

namespace keltool {

int openLine(const std::string& path, int baud, bool rtscts, std::string* error)
{
    kelhost::SerialSettings settings;
    settings.baud = baud;
    settings.hardware_flow_control = rtscts;
    const int fd = kelhost::openSerialPort(path, settings, error);
    if (fd < 0)
        return -1;
    // With VMIN 0 a non-blocking read of an empty line returns 0, which would
    // look like a hang-up; VMIN 1 makes it EAGAIN.
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        if (tcsetattr(fd, TCSANOW, &tio) == 0)
            return fd;
    }
    if (error)
        *error = "cannot set line settings of " + path + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
}

}  // namespace keltool
