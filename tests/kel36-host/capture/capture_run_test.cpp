// --capture on a paced simulated line shared by two devices: every request
// and reply of every round is in the file, with its device, address and
// register, beside the markers; a capture that cannot be written is said to
// be incomplete at once and at the end.

#include <gtest/gtest.h>

#include <map>

#include "capture_reader.h"
#include "host_process.h"
#include "kel36-host/output/protocol_view.h"

namespace capturetest {
namespace {

using toolstest::examplePath;
using toolstest::pluginPath;
using toolstest::runHost;

uint32_t number(const std::string& payload, std::size_t at = 0)
{
    uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i)
        v = (v << 8) | static_cast<unsigned char>(payload[at + i]);
    return v;
}

const auto* bytesOf(const std::string& s)
{
    return reinterpret_cast<const unsigned char*>(s.data());
}

TEST(CaptureRun, PacedSharedLineHoldsEveryFrameAndMarker)
{
    toolstest::TempDir dir;
    const std::string path = dir.file("bus.pcapng");
    // A dropped reply makes a stall, and its marker.
    const toolstest::HostRun run = runHost(
        {"--plugin", pluginPath(), "--config", examplePath("bus.json"), "--simulate", "--sim-pace",
         "--rounds", "2", "--interval", "0", "--timeout", "100", "--sim-fault", "drop=0.01",
         "--json", "--capture", path});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const ReadCapture c = readCapture(path);
    ASSERT_TRUE(c.ok) << c.error;
    EXPECT_EQ(c.application.rfind("kel36-host ", 0), 0u) << c.application;
    ASSERT_EQ(c.interfaces.size(), 1u);
    EXPECT_EQ(c.interfaces[0].name.rfind("/dev/pts/", 0), 0u);
    EXPECT_EQ(c.interfaces[0].description, "19200 baud 8N1, polled by kel36-host");
    EXPECT_EQ(c.interfaces[0].comments,
              (std::vector<std::string>{"device 0 north address 1 data-id 5001",
                                        "device 1 south address 2 data-id 5002"}));

    struct Round {
        int requests = 0;
        std::size_t reply_bytes = 0;
        bool published = false;
        bool stalled = false;
    };
    std::map<std::pair<int, uint32_t>, Round> rounds;  // (device, round)
    std::map<int, uint32_t> current;
    std::vector<const ReadPacket*> stalls;
    int awaited = -1;
    uint64_t last_ns = 0;
    for (const ReadPacket& p : c.packets) {
        EXPECT_EQ(p.version, 1);
        EXPECT_GE(p.monotonic_ns, last_ns);
        last_ns = p.monotonic_ns;
        ASSERT_LE(p.device, 1) << "kind " << p.kind;
        EXPECT_EQ(p.address, p.device + 1);
        if (p.kind == 16) {
            current[p.device] = number(p.payload);
            rounds[{p.device, current[p.device]}];
            continue;
        }
        ASSERT_TRUE(current.count(p.device)) << "kind " << p.kind << " before a round";
        Round& r = rounds[{p.device, current[p.device]}];
        if (p.kind == 1) {
            keltool::DecodedRequest q;
            ASSERT_TRUE(keltool::decodeRequest(bytesOf(p.payload), p.payload.size(), &q));
            EXPECT_EQ(q.address, p.address);
            EXPECT_EQ(q.reg, p.reg);
            awaited = p.reg;
            ++r.requests;
        } else if (p.kind == 2 && !(p.flags & 1)) {
            EXPECT_EQ(p.reg, awaited) << "a reply names the register it answers";
            r.reply_bytes += p.payload.size();
        } else if (p.kind == 17) {
            ASSERT_EQ(p.payload.size(), 104u);
            EXPECT_EQ(number(p.payload), current[p.device]);
            r.published = true;
        } else if (p.kind == 18) {
            EXPECT_EQ(number(p.payload), current[p.device]);
            r.stalled = true;
            stalls.push_back(&p);
        }
    }
    int completed = 0;
    for (const auto& [key, r] : rounds) {
        EXPECT_NE(r.published, r.stalled) << "device " << key.first << " round " << key.second;
        if (r.published) {
            ++completed;
            EXPECT_EQ(r.requests, 63) << "device " << key.first << " round " << key.second;
            EXPECT_EQ(r.reply_bytes, 63u * 4) << "device " << key.first << " round " << key.second;
        }
    }
    EXPECT_EQ(completed, 4);
    // The stall markers are the stalls the run reported, with their register and step.
    const std::vector<Json::Value> reported = run.events("stall");
    ASSERT_FALSE(reported.empty()) << "the fault made no stall";
    ASSERT_EQ(stalls.size(), reported.size());
    for (std::size_t i = 0; i < stalls.size(); ++i) {
        EXPECT_EQ(stalls[i]->reason, 1);
        EXPECT_EQ(stalls[i]->reg, reported[i]["register"].asInt());
        EXPECT_EQ(static_cast<int>(static_cast<unsigned char>(stalls[i]->payload[4]) << 8 |
                                   static_cast<unsigned char>(stalls[i]->payload[5])),
                  reported[i]["step"].asInt());
    }
}

TEST(CaptureRun, UnwritableCaptureIsSaidIncomplete)
{
    const toolstest::HostRun run =
        runHost({"--plugin", pluginPath(), "--rounds", "1", "--interval", "0", "--service",
                 "--capture", "/dev/full"});
    // The polling went well, and the exit status says so; the capture's loss
    // is said twice: when it happened and at the end.
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.err.find("<3>kel36-host: capture /dev/full: cannot write: No space left on "
                           "device; capturing stopped, the capture is incomplete\n"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("<3>kel36-host: capture /dev/full is incomplete: "), std::string::npos)
        << run.err;
    toolstest::TempDir dir;
    const toolstest::HostRun refused = runHost(
        {"--plugin", pluginPath(), "--rounds", "1", "--capture", dir.file("no/such/dir.pcapng")});
    EXPECT_EQ(refused.exit_code, 2);
    EXPECT_NE(refused.err.find("capture " + dir.file("no/such/dir.pcapng") +
                               ": No such file or directory"),
              std::string::npos)
        << refused.err;
}

}  // namespace
}  // namespace capturetest
