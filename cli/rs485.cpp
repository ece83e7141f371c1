#include "cli/rs485.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace kelcli {
namespace {

bool parseDelay(const std::string& text, unsigned* out)
{
    if (text.empty() || text.size() > 3)
        return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > kMaxRs485DelayMs)
        return false;
    *out = value;
    return true;
}

}  // namespace

bool enableRs485(int fd, const Rs485Settings& settings, std::string* error)
{
    serial_rs485 wanted{};
    wanted.flags = SER_RS485_ENABLED |
                   (settings.rts_high_on_send ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND);
    wanted.delay_rts_before_send = settings.delay_before_ms;
    wanted.delay_rts_after_send = settings.delay_after_ms;
    if (::ioctl(fd, TIOCSRS485, &wanted) != 0) {
        const int e = errno;
        // ENOTTY: the driver has no RS-485 support at all; EOPNOTSUPP and
        // EINVAL: it has some, but not for this port or these settings.
        if (e == ENOTTY || e == EOPNOTSUPP)
            *error =
                std::string("RS-485 mode is not supported by this port (") + std::strerror(e) + ")";
        else if (e == EINVAL)
            *error = "the port's driver refused these RS-485 settings (Invalid argument)";
        else
            *error = std::string("cannot turn on RS-485 mode: ") + std::strerror(e);
        return false;
    }
    // The driver hands back what it took: unsupported bits come back cleared.
    serial_rs485 taken{};
    if (::ioctl(fd, TIOCGRS485, &taken) == 0 && !(taken.flags & SER_RS485_ENABLED)) {
        *error = "RS-485 mode is not supported by this port (the driver left it off)";
        return false;
    }
    return true;
}

bool parseRs485Delays(const std::string& text, Rs485Settings* settings)
{
    const auto comma = text.find(',');
    if (comma == std::string::npos)
        return false;
    unsigned before = 0, after = 0;
    if (!parseDelay(text.substr(0, comma), &before) || !parseDelay(text.substr(comma + 1), &after))
        return false;
    settings->delay_before_ms = before;
    settings->delay_after_ms = after;
    return true;
}

}  // namespace kelcli
