#include "line.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace kelsim {
namespace {

struct BaudRow {
    int baud;
    speed_t speed;
};

constexpr BaudRow kBauds[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},   {19200, B19200},
    {38400, B38400},   {57600, B57600},   {115200, B115200}, {230400, B230400},
};

std::runtime_error systemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

// Raw 8N1, receiver on, modem lines ignored, no flow control of any kind.
bool makeRaw(int fd, speed_t speed) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return false;
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD | CS8;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return false;
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

speed_t speedOf(int baud) {
    for (const auto& row : kBauds) {
        if (row.baud == baud) return row.speed;
    }
    return B0;
}

void closeIfOpen(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

Line::Line(Line&& other) noexcept
    : fd(std::exchange(other.fd, -1)),
      keep_open(std::exchange(other.keep_open, -1)),
      path(std::move(other.path)) {}

Line& Line::operator=(Line&& other) noexcept {
    if (this != &other) {
        closeIfOpen(fd);
        closeIfOpen(keep_open);
        fd = std::exchange(other.fd, -1);
        keep_open = std::exchange(other.keep_open, -1);
        path = std::move(other.path);
    }
    return *this;
}

Line::~Line() {
    closeIfOpen(fd);
    closeIfOpen(keep_open);
}

bool isSupportedBaud(int baud) {
    return speedOf(baud) != B0;
}

Line openPseudoTerminal() {
    Line line;
    line.fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line.fd < 0) throw systemError("posix_openpt");
    if (grantpt(line.fd) != 0) throw systemError("grantpt");
    if (unlockpt(line.fd) != 0) throw systemError("unlockpt");
    char name[128];
    if (ptsname_r(line.fd, name, sizeof name) != 0) throw systemError("ptsname");
    line.path = name;
    // Holding the peer open keeps the master from reporting a hang-up while no
    // poller has it open (poll would otherwise return at once, forever), and
    // lets a poller close and reopen the line. It also sets the terminal raw:
    // a fresh pseudo-terminal echoes, which would bounce requests back.
    line.keep_open = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line.keep_open < 0) throw systemError(line.path);
    if (!makeRaw(line.keep_open, B19200)) throw systemError("configure " + line.path);
    const int flags = fcntl(line.fd, F_GETFL);
    if (flags < 0 || fcntl(line.fd, F_SETFL, flags | O_NONBLOCK) != 0) throw systemError("fcntl");
    return line;
}

Line openSerialDevice(const std::string& path, int baud) {
    const speed_t speed = speedOf(baud);
    if (speed == B0) throw std::runtime_error(path + ": unsupported baud rate " + std::to_string(baud));
    Line line;
    line.path = path;
    line.fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line.fd < 0) throw systemError("cannot open " + path);
    if (!makeRaw(line.fd, speed)) throw systemError("cannot configure " + path);
    tcflush(line.fd, TCIOFLUSH);
    return line;
}

}  // namespace kelsim
