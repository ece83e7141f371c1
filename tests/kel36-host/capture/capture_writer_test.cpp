// The capture writer: its blocks read back (with tshark and field by field),
// rotation keeps N files that each read alone, and a failed write is
// reported and counted, never taken for a whole capture.

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <sys/stat.h>

#include "capture_reader.h"
#include "host_process.h"
#include "kel36-host/capture/capture_writer.h"
#include "kel36-host/tool_error.h"

namespace capturetest {
namespace {

using keltool::CaptureHeader;
using keltool::CaptureKind;
using keltool::CaptureLine;
using keltool::CaptureSettings;
using keltool::CaptureWriter;
using keltool::WallTime;

CaptureSettings settingsFor(const std::string& path, uint64_t limit = 0, unsigned files = 5)
{
    CaptureSettings s;
    s.path = path;
    s.limit_bytes = limit;
    s.files = files;
    s.buffer_bytes = 1 << 16;
    s.application = "kel36-host 1.2.3";
    s.os = "Linux test";
    return s;
}

CaptureLine line(const std::string& name, std::vector<std::string> devices)
{
    return CaptureLine{name, "19200 baud 8N1, polled by kel36-host", 19200, std::move(devices)};
}

// Event `n`: a request frame carrying its number in the monotonic clock.
void addNumbered(CaptureWriter& w, uint32_t iface, uint64_t n)
{
    CaptureHeader h;
    h.kind = CaptureKind::Request;
    h.device = 0;
    h.address = 65;
    h.monotonic_ns = n;
    h.reg = 7;
    const unsigned char frame[] = "|DF5699";
    ASSERT_TRUE(w.add(iface, h, WallTime{1700000000, static_cast<long>(n * 1000)}, frame, 7));
}

std::vector<std::string> tsharkLengths(const std::string& path)
{
    std::istringstream in(commandOutput("tshark -r '" + path + "' -T fields -e frame.len 2>/dev/null"));
    std::vector<std::string> lengths;
    for (std::string l; std::getline(in, l);)
        lengths.push_back(l);
    return lengths;
}

TEST(CaptureWriter, BlocksReadBackWithEveryField)
{
    toolstest::TempDir dir;
    const std::string path = dir.file("line.pcapng");
    {
        CaptureWriter w(settingsFor(path));
        const uint32_t a = w.addLine(line("/dev/ttyUSB0", {"device 0 genset-1 address 65 data-id 5001",
                                                           "device 1 genset-2 address 66 data-id 5002"}));
        CaptureHeader stall;
        stall.kind = CaptureKind::Stall;
        stall.device = 1;
        stall.address = 66;
        stall.monotonic_ns = 0x0102030405060708ull;
        stall.reg = 300;
        stall.flags = keltool::kFlagDiscarded | keltool::kFlagSniffed;
        stall.stall_reason = 2;
        const unsigned char round[] = {0, 0, 0, 9};
        const unsigned char step[] = {0, 12};
        EXPECT_TRUE(w.add(a, stall, WallTime{1700000000, 123456789}, round, 4, step, 2));
        const uint32_t b = w.addLine(line("/dev/pts/9", {}));
        addNumbered(w, b, 5);
        w.close();
        EXPECT_EQ(w.eventsWritten(), 2u);
        EXPECT_EQ(w.lossLine(), "");
    }
    const ReadCapture c = readCapture(path);
    ASSERT_TRUE(c.ok) << c.error;
    EXPECT_EQ(c.application, "kel36-host 1.2.3");
    EXPECT_EQ(c.os, "Linux test");
    ASSERT_EQ(c.interfaces.size(), 2u);
    const ReadInterface& i = c.interfaces[0];
    EXPECT_EQ(i.link_type, 147);
    EXPECT_EQ(i.name, "/dev/ttyUSB0");
    EXPECT_EQ(i.description, "19200 baud 8N1, polled by kel36-host");
    EXPECT_EQ(i.speed, 19200u);
    EXPECT_EQ(i.tsresol, 6);
    EXPECT_EQ(i.comments, (std::vector<std::string>{"device 0 genset-1 address 65 data-id 5001",
                                                     "device 1 genset-2 address 66 data-id 5002"}));
    ASSERT_EQ(c.packets.size(), 2u);
    const ReadPacket& s = c.packets[0];
    EXPECT_EQ(s.interface, 0u);
    EXPECT_EQ(s.micros, 1700000000123456ull);
    EXPECT_EQ(s.version, 1);
    EXPECT_EQ(s.kind, 18);
    EXPECT_EQ(s.device, 1);
    EXPECT_EQ(s.address, 66);
    EXPECT_EQ(s.monotonic_ns, 0x0102030405060708ull);
    EXPECT_EQ(s.reg, 300);
    EXPECT_EQ(s.flags, 3);
    EXPECT_EQ(s.reason, 2);
    EXPECT_EQ(s.payload, std::string("\0\0\0\x09\0\x0c", 6));
    EXPECT_EQ(c.packets[1].interface, 1u);
    EXPECT_EQ(c.packets[1].payload, "|DF5699");
    // Another reader agrees: two frames of 16 + 6 and 16 + 7 bytes.
    EXPECT_EQ(tsharkLengths(path), (std::vector<std::string>{"22", "23"}));
    EXPECT_NE(commandOutput("capinfos -c '" + path + "'").find("Number of packets:   2"),
              std::string::npos);
}

TEST(CaptureWriter, RotationKeepsNFilesThatEachReadAlone)
{
    toolstest::TempDir dir;
    const std::string path = dir.file("line.pcapng");
    CaptureWriter w(settingsFor(path, 2000, 3));
    const uint32_t iface = w.addLine(line("/dev/ttyUSB0", {"device 0 g address 65 data-id 1"}));
    constexpr uint64_t kEvents = 300;
    for (uint64_t n = 0; n < kEvents; ++n)
        addNumbered(w, iface, n);
    w.close();
    EXPECT_EQ(w.eventsWritten(), kEvents);
    struct stat st{};
    EXPECT_NE(::stat((path + ".3").c_str(), &st), 0) << "more than 3 files kept";
    // Oldest first: the numbers run on from file to file and end with the last event.
    uint64_t next = 0;
    bool oldest = true;
    for (const std::string& f : {path + ".2", path + ".1", path}) {
        ASSERT_EQ(::stat(f.c_str(), &st), 0) << f;
        EXPECT_LE(st.st_size, 2000) << f;
        const ReadCapture c = readCapture(f);
        ASSERT_TRUE(c.ok) << f << ": " << c.error;
        EXPECT_EQ(c.sections, 1);
        ASSERT_EQ(c.interfaces.size(), 1u) << f;
        EXPECT_EQ(c.interfaces[0].comments.size(), 1u);
        ASSERT_FALSE(c.packets.empty()) << f;
        if (oldest) {
            EXPECT_GT(c.packets.front().monotonic_ns, 0u) << "the oldest files were not deleted";
            next = c.packets.front().monotonic_ns;
        }
        oldest = false;
        for (const ReadPacket& p : c.packets)
            EXPECT_EQ(p.monotonic_ns, next++) << f;
        EXPECT_EQ(tsharkLengths(f).size(), c.packets.size()) << f;
    }
    EXPECT_EQ(next, kEvents);
}

TEST(CaptureWriter, FailedWritesAreReportedOnceAndCounted)
{
    toolstest::TempDir dir;
    // A file that cannot be created is refused before anything is polled.
    EXPECT_THROW(CaptureWriter(settingsFor(dir.file("missing/x.pcapng"))), keltool::ToolError);
    // Nor can a device be rotated.
    EXPECT_THROW(CaptureWriter(settingsFor("/dev/full", 1000000)), keltool::ToolError);

    // A full disk: every event is lost, said once at once and at the end.
    std::FILE* report = std::tmpfile();
    ASSERT_NE(report, nullptr);
    CaptureSettings settings = settingsFor("/dev/full");
    settings.report = report;
    settings.report_prefix = "<3>";
    CaptureWriter w(settings);
    const uint32_t iface = w.addLine(line("/dev/ttyUSB0", {}));
    for (uint64_t n = 0; n < 50; ++n) {
        CaptureHeader h;
        w.add(iface, h, WallTime{}, nullptr, 0);
    }
    w.close();
    EXPECT_EQ(w.eventsWritten(), 0u);
    EXPECT_EQ(w.eventsLost(), 50u);
    EXPECT_EQ(w.lossLine(),
              "capture /dev/full is incomplete: 50 of 50 events not written "
              "(cannot write: No space left on device)");
    std::rewind(report);
    char text[512] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, report);
    std::fclose(report);
    EXPECT_EQ(std::string(text, n),
              "<3>kel36-host: capture /dev/full: cannot write: No space left on device; capturing "
              "stopped, the capture is incomplete\n");
}

}  // namespace
}  // namespace capturetest
