#include "kel36-host/line/serial_line.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "host/serial_port.h"
#include "kel36-host/output/protocol_view.h"

namespace keltool {
namespace {

std::string systemReason(const std::string& path, const char* what)
{
    return path + ": " + what + ": " + std::strerror(errno);
}

bool fail(OpenedLine* line, std::string* error, std::string reason)
{
    const int saved = errno;
    closeLine(line);
    errno = saved;
    if (error)
        *error = std::move(reason);
    return false;
}

}  // namespace

bool openLine(const std::string& path, const LineOptions& options, OpenedLine* line,
              std::string* error)
{
    line->fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line->fd < 0) {
        if (errno == EBUSY)
            return fail(line, error, path + ": in use: another program holds the line exclusively");
        return fail(line, error, "cannot open " + path + ": " + std::strerror(errno));
    }
    // A regular file or a pipe would fail on its first line setting with a
    // message about ioctls; say what is wrong instead.
    if (::isatty(line->fd) != 1)
        return fail(line, error, path + ": not a serial line (not a terminal device)");
    // The lock before anything else: a refused open must leave the line,
    // its settings among them, to the program that holds it.
    if (::flock(line->fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK)
            return fail(line, error, systemReason(path, "cannot lock the line"));
        errno = EBUSY;
        return fail(line, error,
                    path + ": in use: another program (another kel36-host?) holds its lock");
    }
    kelhost::SerialSettings settings;
    settings.baud = options.baud;
    settings.hardware_flow_control = options.rtscts;
    std::string why;
    if (!kelhost::configureRaw(line->fd, settings, &why))
        return fail(line, error, path + ": " + why);
    if (options.rs485 && !kelcli::enableRs485(line->fd, *options.rs485, &why))
        return fail(line, error, path + ": " + why);
    // A whole reply wakes the reader, not each of its characters; with VMIN
    // above 0 a non-blocking read of an empty line is EAGAIN, not the 0 of a
    // hang-up. A reply that stays short is bounded by the reply time-out.
    termios tio{};
    if (tcgetattr(line->fd, &tio) != 0)
        return fail(line, error, systemReason(path, "cannot read line settings"));
    tio.c_cc[VMIN] = static_cast<cc_t>(options.wake_per_byte ? 1 : kReplyLength);
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(line->fd, TCSANOW, &tio) != 0)
        return fail(line, error, systemReason(path, "cannot set line settings"));
    if (options.wait_reader) {
        line->wait_fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
        if (line->wait_fd < 0)
            return fail(line, error, systemReason(path, "cannot open a second reader"));
    }
    // After our own opens: later ones are refused (privileged programs excepted).
    if (::ioctl(line->fd, TIOCEXCL) != 0)
        return fail(line, error, systemReason(path, "cannot take the line exclusively"));
    return true;
}

void closeLine(OpenedLine* line)
{
    if (line->fd >= 0) {
        ::ioctl(line->fd, TIOCNXCL);
        ::close(line->fd);
    }
    if (line->wait_fd >= 0)
        ::close(line->wait_fd);
    line->fd = -1;
    line->wait_fd = -1;
}

}  // namespace keltool
