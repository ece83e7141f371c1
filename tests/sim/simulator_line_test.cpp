// The simulator serving a real pseudo-terminal: a test plays the poller on the
// device path and checks what comes back on the wire.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>

#include <chrono>
#include <functional>
#include <thread>

#include "line_client.h"
#include "protocol.h"
#include "scenario.h"
#include "simulator.h"

namespace kelsim {
namespace {

using namespace std::chrono_literals;
using testing::dataByte;
using testing::LineClient;
using testing::request;
using Clock = std::chrono::steady_clock;

Options withFaults(const Faults& faults)
{
    Options options;
    options.controllers[0].faults = faults;
    return options;
}

TEST(SimulatorOverPty, AnswersEveryRegisterOfTheScenario)
{
    auto sim = startOnPty(Options{});
    LineClient line(sim->devicePath());
    ASSERT_TRUE(line.isOpen()) << sim->devicePath();
    const Scenario expected = defaultScenario();
    for (int reg = 0; reg < kRegisterCount; ++reg) {
        ASSERT_TRUE(line.write(request(65, static_cast<uint8_t>(reg))));
        const std::string reply = line.read(4);
        ASSERT_EQ(reply.size(), 4u) << "register " << reg;
        EXPECT_EQ(dataByte(reply), expected.registers[reg]) << "register " << reg;
        EXPECT_EQ(std::stoi(reply.substr(2), nullptr, 16), reg ^ kXorMask);
    }
    EXPECT_TRUE(line.read(1, 100ms).empty()) << "more than one reply per request";
    const Stats stats = sim->stats();
    EXPECT_EQ(stats.requests, 65u);
    EXPECT_EQ(stats.replies, 65u);
    EXPECT_EQ(stats.malformed, 0u);
}

TEST(SimulatorOverPty, GathersARequestSplitAcrossWrites)
{
    auto sim = startOnPty(Options{});
    LineClient line(sim->devicePath());
    ASSERT_TRUE(line.write("|D"));
    std::this_thread::sleep_for(30ms);
    ASSERT_TRUE(line.write("F569"));
    std::this_thread::sleep_for(30ms);
    EXPECT_TRUE(line.read(1, 50ms).empty()) << "answered an incomplete frame";
    ASSERT_TRUE(line.write("E"));
    EXPECT_EQ(line.read(4), "9F9E");  // register 0 of the default scenario is 1
}

TEST(SimulatorOverPty, StaysSilentForOtherAddressesAndGarbage)
{
    Options options;
    options.controllers[0].address = 66;
    auto sim = startOnPty(options);
    LineClient line(sim->devicePath());
    ASSERT_TRUE(line.write(request(65, 0) + "junk\r\n" + request(67, 0) + "|DC57"));
    EXPECT_TRUE(line.read(1, 200ms).empty());
    ASSERT_TRUE(line.write(request(66, 29)));
    const std::string reply = line.read(4);
    ASSERT_EQ(reply.size(), 4u);
    EXPECT_EQ(dataByte(reply), 138);  // 27.6 V / 0.2
    const Stats stats = sim->stats();
    EXPECT_EQ(stats.requests, 3u);
    EXPECT_EQ(stats.other_address, 2u);
    EXPECT_EQ(stats.malformed, 2u);
    EXPECT_EQ(stats.replies, 1u);
}

TEST(SimulatorOverPty, KeepsServingWhenThePollerReopensTheLine)
{
    auto sim = startOnPty(Options{});
    {
        LineClient first(sim->devicePath());
        ASSERT_TRUE(first.write(request(65, 0)));
        EXPECT_EQ(first.read(4).size(), 4u);
    }
    LineClient second(sim->devicePath());
    ASSERT_TRUE(second.write(request(65, 10)));
    const std::string reply = second.read(4);
    ASSERT_EQ(reply.size(), 4u);
    EXPECT_EQ(dataByte(reply), 231);
}

TEST(SimulatorFaultsOnTheLine, DropSendsNothingAndIsCounted)
{
    Faults f;
    f.drop = 1;
    auto sim = startOnPty(withFaults(f));
    LineClient line(sim->devicePath());
    ASSERT_TRUE(line.write(request(65, 0) + request(65, 2)));
    EXPECT_TRUE(line.read(1, 200ms).empty());
    const Stats stats = sim->stats();
    EXPECT_EQ(stats.dropped, 2u);
    EXPECT_EQ(stats.replies, 0u);
}

TEST(SimulatorFaultsOnTheLine, SplitAndOverlongStillCarryTheReplyFirst)
{
    Faults f;
    f.split = 1;
    f.overlong = 1;
    auto sim = startOnPty(withFaults(f));
    LineClient line(sim->devicePath());
    ASSERT_TRUE(line.write(request(65, 0)));
    const std::string bytes = line.read(7, 500ms);
    ASSERT_GE(bytes.size(), 5u);
    EXPECT_EQ(bytes.substr(0, 4), "9F9E");
    EXPECT_EQ(sim->stats().split, 1u);
    EXPECT_EQ(sim->stats().overlong, 1u);
}

TEST(SimulatorFaultsOnTheLine, GarbledReplyHasANonHexDataPair)
{
    Faults f;
    f.garble = 1;
    auto sim = startOnPty(withFaults(f));
    LineClient line(sim->devicePath());
    ASSERT_TRUE(line.write(request(65, 0)));
    const std::string reply = line.read(4);
    ASSERT_EQ(reply.size(), 4u);
    EXPECT_TRUE(hexDigitValue(reply[0], false) < 0 || hexDigitValue(reply[1], false) < 0) << reply;
    EXPECT_EQ(reply.substr(2), "9E");
}

TEST(SimulatorFaultsOnTheLine, DelayHoldsTheReplyBack)
{
    Faults f;
    f.delay = 1;
    f.delay_ms = 300;
    auto sim = startOnPty(withFaults(f));
    LineClient line(sim->devicePath());
    ASSERT_TRUE(line.write(request(65, 0)));
    EXPECT_TRUE(line.read(1, 150ms).empty());
    EXPECT_EQ(line.read(4, 3000ms), "9F9E");
    EXPECT_EQ(sim->stats().delayed, 1u);
}

// The paced line at 2400 baud (4.17 ms per character), turnaround 5 ms: the
// earliest each reply character can reach the poller, counted from before the
// requests were written, and replies that never come in one read. A slow
// machine cannot break the bounds; only a reader more than three characters
// late could see a reply whole. The simulator takes a pseudo-terminal's
// hand-over off both ways (at most 200 us each), so a character may come
// that much before its stop bit would be through.
TEST(PacedLine, EveryCharacterTakesItsTimeOnTheWire)
{
    constexpr Clock::duration ct = std::chrono::nanoseconds(10'000'000'000LL / 2400);
    constexpr Clock::duration ta = 5ms;
    constexpr Clock::duration lead = 400us;
    const auto single = [=](std::size_t k) {
        return 7 * ct + ta + static_cast<int>(k + 1) * ct - lead;
    };
    struct Case {
        const char* name;
        Faults faults;
        ReplyEcho echo;
        int requests;  // register 0, written at once
        std::string starts_with;
        std::size_t min_bytes, max_bytes;
        std::function<Clock::duration(std::size_t)> earliest;
    };
    Faults delayed;
    delayed.delay = 1;
    delayed.delay_ms = 30;
    Faults overlong;
    overlong.overlong = 1;
    const Case cases[] = {
        {"one request", {}, ReplyEcho::Register, 1, "9F9E", 4, 4, single},
        // The second request is through at 14 characters; its reply waits for it.
        {"two requests at once",
         {},
         ReplyEcho::Register,
         2,
         "9F9E9F9E",
         8,
         8,
         [=](std::size_t k) {
             return k < 4 ? single(k) : 14 * ct + ta + static_cast<int>(k - 3) * ct - lead;
         }},
        {"delayed reply", delayed, ReplyEcho::Register, 1, "9F9E", 4, 4,
         [=](std::size_t k) { return single(k) + 30ms; }},
        {"over-long reply", overlong, ReplyEcho::Register, 1, "9F9E", 5, 7, single},
        {"no echo", {}, ReplyEcho::None, 1, "9F00", 4, 4, single},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Options options = withFaults(c.faults);
        options.controllers[0].echo = c.echo;
        options.line = {true, 2400, 5};
        auto sim = startOnPty(options);
        LineClient line(sim->devicePath());
        const auto start = Clock::now();
        ASSERT_TRUE(line.write(c.requests == 1 ? request(65, 0) : request(65, 0) + request(65, 0)));
        std::string bytes;
        int reads = 0;
        for (std::string chunk; !(chunk = line.readSome(300ms)).empty(); ++reads) {
            for (char byte : chunk) {
                EXPECT_GE(Clock::now() - start, c.earliest(bytes.size()))
                    << "byte " << bytes.size();
                bytes += byte;
            }
        }
        EXPECT_GE(reads, 2 * c.requests) << "replies came whole";
        EXPECT_EQ(bytes.rfind(c.starts_with, 0), 0u) << bytes;
        EXPECT_GE(bytes.size(), c.min_bytes);
        EXPECT_LE(bytes.size(), c.max_bytes);
    }
}

TEST(SimulatorLifecycle, StopInterruptsALongDelayAndIsIdempotent)
{
    Faults f;
    f.delay = 1;
    f.delay_ms = 60'000;
    auto sim = startOnPty(withFaults(f));
    LineClient line(sim->devicePath());
    ASSERT_TRUE(line.write(request(65, 0)));
    std::this_thread::sleep_for(50ms);
    const auto start = Clock::now();
    sim->stop();
    EXPECT_LT(Clock::now() - start, 10s);
    sim->stop();
    EXPECT_EQ(sim->stats().replies, 0u);
    EXPECT_TRUE(sim->failure().empty());
}

TEST(SimulatorLifecycle, RefusesOptionsOutOfRange)
{
    Faults rate;
    rate.drop = 1.5;
    Faults delay;
    delay.delay_ms = -1;
    for (const Faults& f : {rate, delay})
        EXPECT_THROW(startOnPty(withFaults(f)), std::runtime_error);
    Options baud;
    baud.line.baud = 0;
    Options turnaround;
    turnaround.line.turnaround_ms = -1;
    Options nobody;
    nobody.controllers.clear();
    Options twice;
    twice.controllers.push_back(ControllerOptions{});  // address 65 again
    for (const Options& o : {baud, turnaround, nobody, twice})
        EXPECT_THROW(startOnPty(o), std::runtime_error);
}

TEST(SimulatorOnSerialDevice, ServesAnExistingTerminalDevice)
{
    // A pseudo-terminal pair made by the test stands in for a serial adapter:
    // the simulator opens the device side, the test writes on the master.
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string path = ptsname(master);
    auto sim = startOnPort(path, Options{});
    EXPECT_EQ(sim->devicePath(), path);
    {
        LineClient line(master);
        ASSERT_TRUE(line.write(request(65, 5)));
        const std::string reply = line.read(4);
        ASSERT_EQ(reply.size(), 4u);
        EXPECT_EQ(dataByte(reply), defaultScenario().registers[5]);
        EXPECT_TRUE(sim->failure().empty()) << sim->failure();
    }
    // The adapter is gone: the simulator stops serving and says why.
    const auto deadline = Clock::now() + 5s;
    while (sim->failure().empty() && Clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(sim->failure().rfind(path + ": ", 0), 0u) << sim->failure();
    sim->stop();
}

TEST(SimulatorOnSerialDevice, ReportsAPortThatCannotBeOpened)
{
    try {
        startOnPort("/nonexistent/ttyUSB0", Options{});
        FAIL() << "opened a missing device";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "cannot open /nonexistent/ttyUSB0: No such file or directory");
    }
    Options odd;
    odd.line.baud = 12345;
    try {
        startOnPort("/dev/null", odd);
        FAIL() << "accepted an unsupported baud rate";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "/dev/null: unsupported baud rate 12345");
    }
}

}  // namespace
}  // namespace kelsim
