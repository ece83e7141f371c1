#include "host/serial_port.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace kelhost {
namespace {

speed_t speedFor(int baud)
{
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;
    }
}

}  // namespace

bool isSupportedBaud(int baud)
{
    return speedFor(baud) != B0;
}

bool configureRaw(int fd, const SerialSettings& settings, std::string* error)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        if (error)
            *error = std::string("cannot read line settings: ") + std::strerror(errno);
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    if (settings.hardware_flow_control)
        tio.c_cflag |= CRTSCTS;
    else
        tio.c_cflag &= ~CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    const speed_t speed = speedFor(settings.baud);
    if (speed == B0) {
        if (error)
            *error = "unsupported baud rate " + std::to_string(settings.baud);
        return false;
    }
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        if (error)
            *error = std::string("cannot set line settings: ") + std::strerror(errno);
        return false;
    }
    return true;
}

int openSerialPort(const std::string& path, const SerialSettings& settings, std::string* error)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (error)
            *error = "cannot open " + path + ": " + std::strerror(errno);
        return -1;
    }
    std::string why;
    if (!configureRaw(fd, settings, &why)) {
        ::close(fd);
        if (error)
            *error = path + ": " + why;
        return -1;
    }
    return fd;
}

long writeNow(int fd, const unsigned char* data, std::size_t length)
{
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd, data + done, length - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (done > 0)
            return static_cast<long>(done);
        if (n == 0)
            errno = EAGAIN;  // took nothing, said nothing: as good as full
        return -1;
    }
    return static_cast<long>(done);
}

}  // namespace kelhost
