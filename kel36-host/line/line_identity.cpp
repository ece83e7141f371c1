#include "kel36-host/line/line_identity.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace keltool {
namespace {

// A sysfs attribute's first line, at most a short one.
std::string readAttribute(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return {};
    char text[128];
    ssize_t n;
    do {
        n = ::read(fd, text, sizeof text);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    std::string value(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    const auto end = value.find('\n');
    return end == std::string::npos ? value : value.substr(0, end);
}

// The link in <dev>/serial/by-id that leads to this device, udev's name for
// the adapter (vendor, product, serial number, interface).
std::string byIdName(dev_t rdev, const std::string& dev_root)
{
    const std::string dir = dev_root + "/serial/by-id";
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return {};
    std::string found;
    while (const dirent* entry = ::readdir(d)) {
        if (entry->d_name[0] == '.')
            continue;
        struct stat st {};
        if (::fstatat(::dirfd(d), entry->d_name, &st, 0) == 0 && S_ISCHR(st.st_mode) &&
            st.st_rdev == rdev) {
            found = entry->d_name;
            break;
        }
    }
    ::closedir(d);
    return found;
}

// The serial number of the USB device the tty belongs to, as the kernel
// read it from the adapter.
std::string usbSerial(dev_t rdev, const std::string& sys_root)
{
    const std::string link =
        sys_root + "/dev/char/" + std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev));
    char resolved[PATH_MAX];
    if (!::realpath(link.c_str(), resolved))
        return {};
    std::string dir = resolved;
    const std::string top = sys_root + "/devices";
    while (dir.size() > top.size() && dir.compare(0, top.size(), top) == 0) {
        const std::string serial = readAttribute(dir + "/serial");
        if (!serial.empty()) {
            const std::string vendor = readAttribute(dir + "/idVendor");
            const std::string product = readAttribute(dir + "/idProduct");
            return "USB " + vendor + ":" + product + " serial " + serial;
        }
        dir.erase(dir.rfind('/'));
    }
    return {};
}

}  // namespace

std::string LineIdentity::describe() const
{
    if (!by_id.empty())
        return by_id;
    if (!serial.empty())
        return serial;
    return "device " + std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev));
}

LineIdentity identifyLine(int fd, const std::string& dev_root, const std::string& sys_root)
{
    LineIdentity id;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return id;
    id.rdev = st.st_rdev;
    const std::string by_id = byIdName(st.st_rdev, dev_root);
    if (!by_id.empty())
        id.by_id = dev_root + "/serial/by-id/" + by_id;
    id.serial = usbSerial(st.st_rdev, sys_root);
    return id;
}

LineMatch matchLine(const LineIdentity& before, const LineIdentity& now)
{
    // The serial number first: it is there as soon as the device is.
    if (!before.serial.empty() && !now.serial.empty())
        return before.serial == now.serial ? LineMatch::Same : LineMatch::Other;
    if (!before.by_id.empty() && !now.by_id.empty())
        return before.by_id == now.by_id ? LineMatch::Same : LineMatch::Other;
    const bool named_before = !before.serial.empty() || !before.by_id.empty();
    const bool named_now = !now.serial.empty() || !now.by_id.empty();
    if (named_before || named_now)
        return LineMatch::Unsure;
    return before.rdev == now.rdev ? LineMatch::Same : LineMatch::Unsure;
}

}  // namespace keltool
