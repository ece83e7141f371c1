// What the simulated line does beyond answering one frozen controller: live
// control, several controllers on one line, and an adapter's local echo.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "line_client.h"
#include "protocol.h"
#include "scenario.h"
#include "simulator.h"

namespace kelsim {
namespace {

using namespace std::chrono_literals;
using testing::ask;
using testing::LineClient;
using testing::request;
using Clock = std::chrono::steady_clock;

TEST(LiveControl, HeldValuesReachTheNextReplyAndRefusedCommandsChangeNothing)
{
    auto sim = startOnPty(Options{});
    LineClient line(sim->devicePath());
    ASSERT_TRUE(line.isOpen());
    const std::pair<const char*, const char*> commands[] = {
        {"set uab 380", "ok @65 uab 380 V held"},
        {"alarm a_7 on", "ok @65 a_7 on held"},
        {"set reg13 0x2A", "ok @65 reg13 42 held"},
        {"set b_6 on", "ok @65 b_6 on held"},
        {"release b_6", "ok @65 b_6 follows the timeline"},
        // Refused: each leaves everything as it was.
        {"set uab 380.005", "error uab: 380.005 V is not a multiple of 0.01 V"},
        {"set ua 256", "error ua: 256 V is out of range 0..255 V"},
        {"set ua x", "error ua: \"x\" is not a number"},
        {"set reg65 1", "error set: unknown name \"reg65\""},
        {"set reg13 256", "error reg13: \"256\" is not a register value 0..255"},
        {"alarm a_7 maybe", "error a_7: \"maybe\" is not on or off"},
        {"alarm uab on", "error alarm: unknown alarm \"uab\""},
        {"fault drop 1.5", "error fault drop: \"1.5\" is not a probability 0..1"},
        {"fault jitter 0.1", "error fault: unknown kind \"jitter\""},
        {"release uab now", "error usage: release NAME|all"},
        {"@66 set uab 1", "error no controller at address 66 on this line (addresses 65)"},
        {"@x1 state", "error \"@x1\" is not an address @0..@255"},
        {"fly \x01", "error unknown command \"fly\" (try help)"},
        {"   ", "error empty command"},
    };
    for (const auto& [command, answer] : commands) {
        SCOPED_TRACE(command);
        const std::string got = sim->control(command);
        EXPECT_EQ(got.rfind(answer, 0), 0u) << got;
        EXPECT_EQ(got.find('\n'), std::string::npos);
    }
    EXPECT_EQ(ask(line, 65, 5) * 256 + ask(line, 65, 2), 38000);
    EXPECT_EQ(ask(line, 65, 34), 0x80);
    EXPECT_EQ(ask(line, 65, 35), 0);
    EXPECT_EQ(ask(line, 65, 13), 42);
    EXPECT_EQ(ask(line, 65, 10), 231);  // ua untouched by the refused command
    const ControllerReport report = sim->report().at(0);
    EXPECT_EQ(report.held, (std::vector<std::string>{"uab", "a_7", "reg13"}));
    EXPECT_EQ(report.faults.drop, 0.0);
    const std::string state = sim->control("state");
    EXPECT_NE(state.find("uab 380.00 V"), std::string::npos) << state;
    EXPECT_NE(state.find("alarms: a_7"), std::string::npos) << state;
    EXPECT_NE(state.find("registers 01 00 70 2C B8 94"), std::string::npos) << state;

    EXPECT_EQ(sim->control("fault drop 1"), "ok @65 faults: drop 1, seed 1");
    EXPECT_EQ(ask(line, 65, 0), -1);
    EXPECT_EQ(sim->control("fault drop 0").rfind("ok", 0), 0u);
    EXPECT_EQ(sim->control("release all"), "ok @65 all values follow the timeline");
    EXPECT_EQ(ask(line, 65, 34), 0);
}

TEST(LiveControl, PauseHoldsTheTimelineWhereItIsAndResumeGoesOnFromThere)
{
    Options options;
    options.controllers[0].timeline = parseTimeline(
        R"({"ua": 100, "timeline": {"steps": [{"at": 0.4, "set": {"ua": 200}}]}})", "t.json");
    auto sim = startOnPty(options);
    LineClient line(sim->devicePath());
    EXPECT_EQ(sim->control("pause").rfind("ok @65 paused at 0.", 0), 0u);
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(ask(line, 65, 10), 100);
    EXPECT_TRUE(sim->report().at(0).paused);
    EXPECT_LT(sim->report().at(0).elapsed_s, 0.4);
    EXPECT_EQ(sim->control("resume").rfind("ok @65 running from 0.", 0), 0u);
    const auto deadline = Clock::now() + 5s;
    int ua = 0;
    while ((ua = ask(line, 65, 10)) == 100 && Clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(ua, 200);
    EXPECT_GE(sim->report().at(0).elapsed_s, 0.4);
}

TEST(SeveralControllersOnOneLine, EachAnswersItsOwnAddressAndOthersStayUnanswered)
{
    Options options;
    options.controllers[0].address = 1;
    ControllerOptions second;
    second.address = 7;
    second.echo = ReplyEcho::None;
    second.timeline = Timeline(parseScenario(R"({"ua": 100})", "b.json"));
    options.controllers.push_back(second);
    auto sim = startOnPty(options);
    LineClient line(sim->devicePath());
    ASSERT_TRUE(line.write(request(1, 10) + request(7, 10) + request(9, 10) + request(1, 11)));
    // 231, 100 without echo (bytes 2-3 the plain register number), 230; none for 9.
    EXPECT_EQ(line.read(12),
              "7994"
              "FA0A"
              "7895");
    EXPECT_TRUE(line.read(1, 200ms).empty());
    EXPECT_EQ(sim->control("@7 set ua 50"), "ok @7 ua 50 V held");
    EXPECT_EQ(ask(line, 7, 10), 50);
    EXPECT_EQ(ask(line, 1, 10), 231);
    const auto reports = sim->report();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].stats.requests, 3u);
    EXPECT_EQ(reports[1].stats.requests, 2u);
    EXPECT_EQ(reports[1].held, std::vector<std::string>{"ua"});
    const Stats line_stats = sim->stats();
    EXPECT_EQ(line_stats.requests, 6u);
    EXPECT_EQ(line_stats.other_address, 1u);
    EXPECT_EQ(line_stats.replies, 5u);
}

// The adapter hears the poller: the request comes back first, then the
// reply. Paced at 2400 baud, each echoed character arrives on its own, no
// sooner than it has crossed the line.
TEST(LocalEcho, ThePollersBytesComeBackBeforeTheReply)
{
    for (bool pace : {false, true}) {
        SCOPED_TRACE(pace ? "paced" : "unpaced");
        Options options;
        options.local_echo = true;
        options.line = {pace, 2400, 5};
        auto sim = startOnPty(options);
        LineClient line(sim->devicePath());
        const auto start = Clock::now();
        ASSERT_TRUE(line.write(request(65, 0)));
        std::string bytes;
        const auto char_time = std::chrono::nanoseconds(10'000'000'000LL / 2400);
        auto last_byte_at = start;
        for (std::string chunk; !(chunk = line.readSome(300ms)).empty();) {
            last_byte_at = Clock::now();
            // A byte is never early (but for the pseudo-terminal's hand-over
            // the paced line takes off, at most 200 us each way); a loaded
            // reader may of course be late and take several at once, so only
            // lower bounds are checked.
            if (pace && bytes.size() < 7) {
                EXPECT_GE(last_byte_at - start,
                          static_cast<int>(bytes.size() + 1) * char_time - 400us);
            }
            bytes += chunk;
        }
        EXPECT_EQ(bytes, request(65, 0) + "9F9E");
        if (pace) {
            EXPECT_GE(last_byte_at - start, 11 * char_time + 5ms - 400us)
                << "echo or reply came bunched";
        }
        EXPECT_EQ(sim->stats().echoed, 7u);
    }
}

}  // namespace
}  // namespace kelsim
