// Which device a line's path leads to, read as udev and the kernel publish
// it: the /dev/serial/by-id link and the USB serial number in sysfs (here a
// tree of their shape over real pseudo-terminals).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "host_process.h"
#include "kel36-host/line/line_identity.h"

namespace toolstest {
namespace {

namespace fs = std::filesystem;
using keltool::identifyLine;
using keltool::LineMatch;
using keltool::matchLine;

struct Pty {
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0)
            path = ptsname(master);
        line = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~Pty()
    {
        close(line);
        close(master);
    }
    dev_t rdev() const
    {
        struct stat st {};
        fstat(line, &st);
        return st.st_rdev;
    }
    int master = -1;
    int line = -1;
    std::string path;
};

void writeText(const fs::path& file, const std::string& text)
{
    std::ofstream(file) << text << "\n";
}

// A USB adapter with `serial` whose tty is `pty`, under `root`/dev and `root`/sys.
void plugAdapter(const fs::path& root, const Pty& pty, const std::string& serial)
{
    const fs::path usb = root / "sys/devices/pci0000:00/usb1/1-1";
    const fs::path tty = usb / "1-1:1.0/ttyUSB0/tty/ttyUSB0";
    fs::create_directories(tty);
    fs::create_directories(root / "sys/dev/char");
    fs::create_directories(root / "dev/serial/by-id");
    writeText(usb / "serial", serial);
    writeText(usb / "idVendor", "0403");
    writeText(usb / "idProduct", "6001");
    fs::create_symlink(
        tty, root / "sys/dev/char" /
                 (std::to_string(major(pty.rdev())) + ":" + std::to_string(minor(pty.rdev()))));
    fs::create_symlink(pty.path, root / ("dev/serial/by-id/usb-FTDI_FT232R_" + serial + "-if00"));
}

TEST(LineIdentity, NamesTheAdapterAndTellsAnotherOneFromANumberThatChanged)
{
    TempDir dir;
    const fs::path root = fs::canonical(dir.path());
    Pty first, second;
    ASSERT_GE(first.line, 0);
    ASSERT_GE(second.line, 0);
    plugAdapter(root / "a", first, "A1B2C3");
    plugAdapter(root / "b", second, "Z9Y8X7");

    const auto a = identifyLine(first.line, root / "a/dev", root / "a/sys");
    EXPECT_EQ(a.serial, "USB 0403:6001 serial A1B2C3");
    EXPECT_EQ(a.by_id, (root / "a/dev/serial/by-id/usb-FTDI_FT232R_A1B2C3-if00").string());
    EXPECT_EQ(a.describe(), a.by_id);
    const auto b = identifyLine(second.line, root / "b/dev", root / "b/sys");
    EXPECT_EQ(b.serial, "USB 0403:6001 serial Z9Y8X7");
    EXPECT_EQ(matchLine(a, b), LineMatch::Other);
    // The same adapter under another device number (replugged), also before
    // udev has made its link.
    auto replugged = identifyLine(second.line, root / "none", root / "a/sys");
    EXPECT_TRUE(replugged.serial.empty()) << "no sysfs entry for this number";
    replugged.serial = a.serial;
    EXPECT_EQ(matchLine(a, replugged), LineMatch::Same);

    // Pseudo-terminals have no names: only the device number tells.
    const auto bare_first = identifyLine(first.line, root / "none", root / "none");
    const auto bare_second = identifyLine(second.line, root / "none", root / "none");
    EXPECT_TRUE(bare_first.serial.empty() && bare_first.by_id.empty());
    EXPECT_EQ(bare_first.describe(), "device " + std::to_string(major(first.rdev())) + ":" +
                                         std::to_string(minor(first.rdev())));
    EXPECT_EQ(matchLine(bare_first, bare_first), LineMatch::Same);
    EXPECT_EQ(matchLine(bare_first, bare_second), LineMatch::Unsure);
    EXPECT_EQ(matchLine(a, bare_second), LineMatch::Unsure);
}

}  // namespace
}  // namespace toolstest
