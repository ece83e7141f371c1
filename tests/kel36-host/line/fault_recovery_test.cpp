// Faults on the line: rounds stall, the host starts the next one, and no
// published record ever carries a value the scenario does not hold.

#include <gtest/gtest.h>

#include "host_process.h"
#include "scenario_oracle.h"
#include "simulator.h"

namespace toolstest {
namespace {

struct FaultCase {
    const char* kind;
    std::vector<std::string> args;
    const char* stall_reason;  // the reason at least one stall must give
};

std::ostream& operator<<(std::ostream& out, const FaultCase& c)
{
    return out << c.kind;
}

class UnderFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(UnderFaults, RoundsStallAndRecoverAndPublishOnlyTheScenariosValues)
{
    const FaultCase& c = GetParam();
    std::vector<std::string> args = {"--plugin", pluginPath(), "--json", "--simulate", "--interval",
                                     "0",        "--rounds",   "6",      "--sim-seed", "3"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const HostRun run = runHost(args, std::chrono::seconds(40));
    ASSERT_EQ(run.exit_code, 0) << run.err;

    const auto rounds = run.events("round");
    ASSERT_EQ(rounds.size(), 6u);
    for (const Json::Value& round : rounds)
        EXPECT_EQ(checkRoundAgainst(round, kelsim::defaultScenario()), 0);

    const auto stalls = run.events("stall");
    const auto summary = run.events("summary");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_GE(stalls.size(), 1u) << "the fault never made a round stall";
    EXPECT_EQ(summary[0]["stalls"].asUInt(), stalls.size());
    bool reason_seen = false;
    for (const Json::Value& stall : stalls)
        reason_seen |= stall["reason"].asString() == c.stall_reason;
    EXPECT_TRUE(reason_seen) << "no stall with reason " << c.stall_reason;
}

INSTANTIATE_TEST_SUITE_P(
    EachKind, UnderFaults,
    ::testing::Values(
        FaultCase{"drop", {"--sim-fault", "drop=0.01", "--timeout", "60"}, "no_reply"},
        // Chunks 2..15 ms apart: a time-out shorter than that stalls the round,
        // and the late chunks must not leak into the next one.
        FaultCase{"split", {"--sim-fault", "split=0.02", "--timeout", "8"}, "no_reply"},
        FaultCase{"overlong", {"--sim-fault", "overlong=0.01", "--timeout", "300"}, "refused"},
        FaultCase{"garble", {"--sim-fault", "garble=0.01", "--timeout", "300"}, "refused"},
        // Replies later than the time-out arrive while the next round waits.
        FaultCase{"delay",
                  {"--sim-fault", "delay=0.01", "--sim-delay", "80", "--timeout", "50"},
                  "no_reply"}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.kind); });

TEST(SplitReplies, AreGatheredWithoutStallWhenTheyCompleteWithinTheTimeOut)
{
    const HostRun run =
        runHost({"--plugin", pluginPath(), "--json", "--simulate", "--interval", "0", "--rounds",
                 "3", "--timeout", "500", "--sim-fault", "split=0.3"},
                std::chrono::seconds(30));
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.events("stall").size(), 0u);
    for (const Json::Value& round : run.events("round"))
        EXPECT_EQ(checkRoundAgainst(round, kelsim::defaultScenario()), 0);
}

// Stalls are reported edge-triggered: one warning when the third stall in a
// row comes, one line at the first round after such a run, nothing between.
TEST(StallReporting, WarnsOnceAfterThreeStallsInARowAndOnceWhenAnsweringAgain)
{
    const HostRun run =
        runHost({"--plugin", pluginPath(), "--json", "--simulate", "--interval", "0", "--rounds",
                 "8", "--timeout", "40", "--sim-fault", "drop=0.02", "--sim-seed", "5"},
                std::chrono::seconds(40));
    ASSERT_EQ(run.exit_code, 0) << run.err;
    int run_length = 0;
    int warnings = 0;
    int recoveries = 0;
    bool warned = false;
    for (const Json::Value& line : run.jsonLines()) {
        const std::string event = line["event"].asString();
        if (event == "stall") {
            ++run_length;
            EXPECT_EQ(line["consecutive"].asInt(), run_length);
        } else if (event == "not_answering") {
            ++warnings;
            EXPECT_EQ(run_length, 3) << "the warning comes with the third stall in a row, once";
            EXPECT_FALSE(warned);
            warned = true;
        } else if (event == "answering_again") {
            ++recoveries;
            EXPECT_TRUE(warned);
            EXPECT_GE(run_length, 3);
            warned = false;
        } else if (event == "round") {
            EXPECT_FALSE(warned) << "a round after a warning must be announced";
            EXPECT_EQ(line["stalls_before"].asInt(), run_length);
            run_length = 0;
        }
    }
    EXPECT_GE(warnings, 1) << "seed 5 gives at least one run of three stalls";
    EXPECT_EQ(recoveries, warnings);
}

}  // namespace
}  // namespace toolstest
