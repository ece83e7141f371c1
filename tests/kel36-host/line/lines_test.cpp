// kel36-host on its lines: a hung line stalls only its own device, devices
// sharing a line take turns, lines are held exclusively, a device that never
// answers ends the run with its own status, and rounds can keep a period.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <map>
#include <sstream>

#include "host_process.h"
#include "scenario_oracle.h"
#include "simulator.h"

namespace toolstest {
namespace {

constexpr int kNeverAnswered = 3;
constexpr int kGaveUp = 4;

std::vector<std::string> hostArgs(std::vector<std::string> extra)
{
    std::vector<std::string> args = {"--plugin", pluginPath()};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

// A configuration of `count` simulated devices g0, g1, ...
std::string simulatedDevices(const TempDir& dir, int count)
{
    std::string devices;
    for (int i = 0; i < count; ++i)
        devices += std::string(i ? "," : "") + "{\"name\": \"g" + std::to_string(i) +
                   "\", \"dataId\": " + std::to_string(i + 1) + "}";
    return dir.write("devices.json", "[" + devices + "]");
}

std::vector<Json::Value> ofDevice(const std::vector<Json::Value>& lines, const std::string& name)
{
    std::vector<Json::Value> out;
    for (const Json::Value& line : lines)
        if (line["device"].asString() == name)
            out.push_back(line);
    return out;
}

// A pseudo-terminal whose far end never reads: its buffer is full before
// the host opens it, so the host's first request cannot be written. The
// filling descriptor stays open: the last close of a pseudo-terminal's
// side empties the buffer again.
class HungLine {
public:
    HungLine()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[64] = "";
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
            ptsname_r(master_, name, sizeof name) != 0)
            ADD_FAILURE() << "no pseudo-terminal";
        path_ = name;
        filler_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios tio{};
        tcgetattr(filler_, &tio);
        cfmakeraw(&tio);
        tcsetattr(filler_, TCSANOW, &tio);
        // The far end's line discipline takes bytes in behind the writer's
        // back: fill until a pause frees no more room.
        const char block[64] = {};
        for (bool wrote = true; wrote; usleep(20'000)) {
            wrote = false;
            while (::write(filler_, block, sizeof block) > 0)
                wrote = true;
        }
    }
    ~HungLine()
    {
        ::close(filler_);
        ::close(master_);
    }
    const std::string& path() const { return path_; }

private:
    int master_ = -1;
    int filler_ = -1;
    std::string path_;
};

TEST(HungLine, StallsOnlyItsOwnDeviceAtOnceWhileTheOthersPollOn)
{
    TempDir dir;
    const HungLine hung;
    const std::string config =
        dir.write("hung.json", "[{\"name\": \"hung\", \"dataId\": 1, \"port\": \"" + hung.path() +
                                   "\"}, {\"name\": \"healthy\", \"dataId\": 2}]");
    const HostRun run = runHost(hostArgs({"--config", config, "--json", "--sim-pace", "--interval",
                                          "0", "--timeout", "300", "--give-up", "2"}));
    EXPECT_EQ(run.exit_code, kNeverAnswered) << run.err;

    const auto hung_stalls = ofDevice(run.events("stall"), "hung");
    ASSERT_FALSE(hung_stalls.empty());
    EXPECT_EQ(hung_stalls[0]["reason"].asString(), "write_blocked");
    EXPECT_EQ(hung_stalls[0]["register"].asInt(), 0);
    EXPECT_LT(hung_stalls[0]["elapsed_ms"].asDouble(), 300.0) << "a stall at once, not a wait";
    ASSERT_EQ(ofDevice(run.events("gave_up"), "hung").size(), 1u);

    // Had a request write waited for room, the healthy device's replies
    // would have waited with it past their time-out.
    EXPECT_TRUE(ofDevice(run.events("stall"), "healthy").empty());
    EXPECT_GE(ofDevice(run.events("round"), "healthy").size(), 2u);
}

// Two controllers on one simulated line, each with its own address and
// scenario; late replies (delayed past the time-out) are the faults.
TEST(SharedLine, DevicesTakeTurnsInWholeRoundsAndNeverTakeAnothersReply)
{
    TempDir dir;
    const std::string config = dir.write("bus.json", R"([
        {"name": "a", "dataId": 1, "port": "bus", "device": {"appSetting": {"addr": "1"}}},
        {"name": "b", "dataId": 2, "port": "bus", "device": {"appSetting": {"addr": "2"}},
         "scenario": ")" + examplePath("scenario-alarms.json") +
                                                         R"("}])");
    const HostRun run =
        runHost(hostArgs({"--config", config, "--simulate", "--sim-pace", "--json", "--trace",
                          "--interval", "0", "--timeout", "100", "--rounds", "3", "--sim-fault",
                          "delay=0.02", "--sim-delay", "150", "--sim-seed", "4"}),
                std::chrono::seconds(60));
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const std::map<std::string, kelsim::Scenario> scenarios = {
        {"a", kelsim::defaultScenario()},
        {"b", kelsim::loadScenarioFile(examplePath("scenario-alarms.json"))}};
    for (const auto& [name, scenario] : scenarios) {
        const auto rounds = ofDevice(run.events("round"), name);
        ASSERT_EQ(rounds.size(), 3u) << name;
        for (const Json::Value& round : rounds)
            EXPECT_EQ(checkRoundAgainst(round, scenario), 0) << name;
    }
    EXPECT_FALSE(run.events("stall").empty()) << "the late replies made no round stall";
    const auto started = run.events("started");
    ASSERT_EQ(started.size(), 2u);
    EXPECT_EQ(started[0]["detail"].asString().substr(0, 12),
              started[1]["detail"].asString().substr(0, 12))
        << "one line for both";

    // In the trace, a device's requests carry its address, and the other
    // device's turn comes only once a round has ended: register 64
    // answered, or a stall. A reply may come in more than one chunk.
    std::istringstream trace(run.err);
    std::string line;
    std::string in_round;  // device whose round is running, or ran last
    int last_register = -1;
    int chunks_since_request = 0;
    int requests = 0;
    while (std::getline(trace, line)) {
        std::istringstream words(line);
        std::string stamp, device, direction;
        words >> stamp >> device >> direction;
        if (direction == ">") {
            ++requests;
            const auto at = line.find("register ");
            ASSERT_NE(at, std::string::npos) << line;
            const int reg = std::stoi(line.substr(at + 9));
            if (reg == 0)
                EXPECT_TRUE(in_round.empty() || (last_register == 64 && chunks_since_request > 0))
                    << "overlap: " << line;
            else
                EXPECT_EQ(in_round, device) << "overlap: " << line;
            in_round = device;
            last_register = reg;
            chunks_since_request = 0;
            EXPECT_NE(line.find(device == "a" ? "address 1" : "address 2"), std::string::npos)
                << line;
        } else if (direction == "<" && line.find("discarded") == std::string::npos) {
            EXPECT_EQ(device, in_round) << line;
            ++chunks_since_request;
        } else if (direction == "--" && line.find("stall:") != std::string::npos) {
            EXPECT_EQ(device, in_round) << line;
            in_round.clear();
        }
    }
    EXPECT_GE(requests, 6 * 63);
}

TEST(ExclusiveLine, ASecondHostIsRefusedAndTheLineIsFreeAgainOnceTheFirstEnds)
{
    const std::unique_ptr<kelsim::Simulator> controller = kelsim::startOnPty(kelsim::Options{});
    const std::string port = controller->devicePath();
    HostProcess first(hostArgs({"--port", port, "--json", "--interval", "100"}));
    ASSERT_TRUE(first.waitForLines(2, std::chrono::seconds(10))) << "the first host polls";

    const HostRun second = runHost(hostArgs({"--port", port, "--rounds", "1"}));
    EXPECT_EQ(second.exit_code, 2);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, "kel36-host: device kel36: " + port +
                              ": in use: another program (another kel36-host?) holds its lock\n");

    first.signal(SIGINT);
    const HostRun first_run = first.finish();
    EXPECT_EQ(first_run.exit_code, 0) << first_run.err;
    EXPECT_TRUE(first_run.events("port_lost").empty()) << "the refused host took nothing away";
    const HostRun third = runHost(hostArgs({"--port", port, "--rounds", "1", "--interval", "0"}));
    EXPECT_EQ(third.exit_code, 0) << third.err;
}

TEST(NeverAnswered, GivingUpAndCtrlCBeforeTheFirstRoundExitWithTheirOwnStatus)
{
    const HostRun gave_up = runHost(hostArgs(
        {"--sim-fault", "drop=1", "--json", "--sim-pace", "--timeout", "100", "--give-up", "1"}));
    EXPECT_EQ(gave_up.exit_code, kNeverAnswered) << gave_up.err;
    ASSERT_EQ(gave_up.events("gave_up").size(), 1u);
    EXPECT_EQ(gave_up.events("gave_up")[0]["detail"].asString(), "no completed round for 1 s");
    ASSERT_EQ(gave_up.events("summary").size(), 1u);
    EXPECT_EQ(gave_up.events("summary")[0]["rounds"].asUInt(), 0u);

    HostProcess interrupted(hostArgs({"--sim-fault", "drop=1", "--sim-pace", "--json"}));
    ASSERT_TRUE(interrupted.waitForLines(1, std::chrono::seconds(10)));
    interrupted.signal(SIGINT);
    const HostRun run = interrupted.finish();
    EXPECT_EQ(run.exit_code, kNeverAnswered) << run.err;
    ASSERT_EQ(run.events("summary").size(), 1u);
    EXPECT_EQ(run.events("summary")[0]["rounds"].asUInt(), 0u);
}

TEST(GiveUp, ADeviceThatFallsSilentAfterAnsweringEndsTheRunWithItsOwnStatus)
{
    const std::unique_ptr<kelsim::Simulator> controller = kelsim::startOnPty(kelsim::Options{});
    HostProcess host(hostArgs({"--port", controller->devicePath(), "--json", "--interval", "50",
                               "--timeout", "100", "--give-up", "1"}));
    ASSERT_TRUE(host.waitForLines(3, std::chrono::seconds(10))) << "started and two rounds";
    controller->stop();  // silent: the line stays, nothing answers
    const HostRun run = host.finish();
    EXPECT_EQ(run.exit_code, kGaveUp) << run.err;
    EXPECT_EQ(run.events("gave_up").size(), 1u);
    EXPECT_GE(run.events("summary")[0]["rounds"].asUInt(), 2u);
}

TEST(DescriptorBudget, ALowSoftLimitIsRaisedAndATooLowHardLimitIsRefusedBeforeAnyOutput)
{
    TempDir dir;
    const std::string config = simulatedDevices(dir, 30);
    const auto limitTo = [](rlim_t soft, rlim_t hard) {
        return [soft, hard] {
            const rlimit limit{soft, hard};
            setrlimit(RLIMIT_NOFILE, &limit);
        };
    };
    const HostRun raised =
        runHost(hostArgs({"--config", config, "--rounds", "1", "--interval", "0", "--json"}),
                std::chrono::seconds(60), limitTo(64, 4096));
    EXPECT_EQ(raised.exit_code, 0) << raised.err;
    EXPECT_EQ(raised.events("round").size(), 30u);

    const HostRun refused = runHost(hostArgs({"--config", config, "--rounds", "1"}),
                                    std::chrono::seconds(30), limitTo(64, 64));
    EXPECT_EQ(refused.exit_code, 2);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err.rfind("kel36-host: the run needs about 136 file descriptors, but the "
                                "hard limit is 64",
                                0),
              0u)
        << refused.err;
}

// Round starts: completion time minus duration.
std::vector<double> roundStartsMs(const HostRun& run)
{
    std::vector<double> starts;
    for (const Json::Value& round : run.events("round")) {
        const std::string time = round["time"].asString();  // ...THH:MM:SS.mmm+zone
        const double h = std::stod(time.substr(11, 2));
        const double m = std::stod(time.substr(14, 2));
        const double s = std::stod(time.substr(17, 6));
        starts.push_back(((h * 60 + m) * 60 + s) * 1000 - round["duration_ms"].asDouble());
    }
    return starts;
}

TEST(Period, RoundsStartOnAFixedRateAndAnOverrunningRoundIsFollowedAtOnce)
{
    // Paced, a round takes a few hundred milliseconds: a period of 900 ms
    // leaves a pause that --interval semantics would add after the round.
    const HostRun steady = runHost(
        hostArgs({"--sim-pace", "--json", "--period", "900", "--rounds", "4", "--timeout", "300"}),
        std::chrono::seconds(30));
    ASSERT_EQ(steady.exit_code, 0) << steady.err;
    const std::vector<double> starts = roundStartsMs(steady);
    ASSERT_EQ(starts.size(), 4u);
    for (std::size_t i = 1; i < starts.size(); ++i)
        EXPECT_NEAR(starts[i] - starts[i - 1], 900.0, 100.0) << "round " << i + 1;

    const HostRun overrun = runHost(
        hostArgs({"--sim-pace", "--json", "--period", "20", "--rounds", "3", "--timeout", "300"}),
        std::chrono::seconds(30));
    ASSERT_EQ(overrun.exit_code, 0) << overrun.err;
    const std::vector<double> back_to_back = roundStartsMs(overrun);
    const auto rounds = overrun.events("round");
    ASSERT_EQ(back_to_back.size(), 3u);
    for (std::size_t i = 1; i < back_to_back.size(); ++i)
        EXPECT_NEAR(back_to_back[i] - back_to_back[i - 1], rounds[i - 1]["duration_ms"].asDouble(),
                    25.0)
            << "the next round starts when the last one ends";
}

// 8 devices whose replies are often garbled stall many times a second; the
// live view still draws at most ten frames a second.
TEST(LiveView, DrawsAtMostTenFramesASecondHoweverOftenDevicesStall)
{
    TempDir dir;
    const std::string config = simulatedDevices(dir, 8);
    const auto started = std::chrono::steady_clock::now();
    HostProcess host(hostArgs({"--config", config, "--watch", "--sim-pace", "--sim-fault",
                               "garble=0.05", "--timeout", "50", "--interval", "0"}));
    ASSERT_TRUE(host.waitForLines(1, std::chrono::seconds(10)));
    usleep(2'000'000);
    host.signal(SIGINT);
    const HostRun run = host.finish();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // Garbled this often, a device may not complete a round in the time.
    EXPECT_TRUE(run.exit_code == 0 || run.exit_code == kNeverAnswered) << run.err;
    int frames = 0;
    for (std::size_t pos = run.out.find("\x1b[H"); pos != std::string::npos;
         pos = run.out.find("\x1b[H", pos + 1))
        ++frames;
    int stall_lines = 0;
    for (std::size_t pos = run.out.find("last stall"); pos != std::string::npos;
         pos = run.out.find("last stall", pos + 1))
        ++stall_lines;
    EXPECT_GT(stall_lines, 0) << "the devices stalled";
    EXPECT_GE(frames, 2);
    // The first frame at once, then at most one per 100 ms, and the last one.
    EXPECT_LE(frames, 3 + static_cast<int>(seconds * 10)) << seconds << " s";
}

}  // namespace
}  // namespace toolstest
