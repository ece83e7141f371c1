#include "host/tool/serial_line.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "host/serial_port.h"

namespace keltool {
namespace {

bool setReadMode(int fd, const std::string& path, std::string* error)
{
    // With VMIN 0 a non-blocking read of an empty line returns 0, which would
    // look like a hang-up; VMIN 1 makes it EAGAIN.
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        if (tcsetattr(fd, TCSANOW, &tio) == 0)
            return true;
    }
    *error = "cannot set line settings of " + path + ": " + std::strerror(errno);
    return false;
}

}  // namespace

int openLine(const std::string& path, const LineSettings& settings, std::string* error)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return -1;
    }
    // A regular file or a pipe would fail on its first line setting with a
    // message about ioctls; say what is wrong instead.
    if (::isatty(fd) != 1) {
        *error = path + ": not a serial line (not a terminal device)";
        ::close(fd);
        return -1;
    }
    kelhost::SerialSettings serial;
    serial.baud = settings.baud;
    serial.hardware_flow_control = settings.rtscts;
    std::string why;
    if (!kelhost::configureRaw(fd, serial, &why)) {
        *error = path + ": " + why;
        ::close(fd);
        return -1;
    }
    if (settings.rs485 && !kelcli::enableRs485(fd, *settings.rs485, &why)) {
        *error = path + ": " + why;
        ::close(fd);
        return -1;
    }
    if (!setReadMode(fd, path, error)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace keltool
