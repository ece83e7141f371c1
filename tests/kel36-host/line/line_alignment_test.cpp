// Late and over-long replies on the paced line, where a reply's bytes arrive
// one at a time: a reply the host gave up on, or the extra digits of an
// over-long one, line up with the next request, and every reply after it
// answers the request before. No round built from such replies may be
// published: every published record equals the scenario.

#include <gtest/gtest.h>

#include "host_process.h"
#include "scenario_oracle.h"
#include "simulator.h"

namespace toolstest {
namespace {

struct MisalignedLine {
    const char* name;
    std::vector<std::string> args;
    const char* evidence;  // on stderr (--trace) when the line did misalign
};

std::ostream& operator<<(std::ostream& out, const MisalignedLine& c)
{
    return out << c.name;
}

// The published rounds whose record differs from the scenario, each with its
// first wrong field: one line, however many rounds went wrong.
std::string wrongRounds(const std::vector<Json::Value>& rounds)
{
    const auto expected = expectedFields(kelsim::defaultScenario());
    std::string wrong;
    for (const Json::Value& round : rounds) {
        const Json::Value& record = round["record"];
        for (const auto& [name, value] : expected) {
            if (!record.isMember(name) || record[name].asFloat() != static_cast<float>(value)) {
                wrong += " round " + round["round"].asString() + " (" + name + " " +
                         record[name].asString() + ", scenario " + std::to_string(value) + ")";
                break;
            }
        }
    }
    return wrong;
}

class OnThePacedLine : public ::testing::TestWithParam<MisalignedLine> {};

TEST_P(OnThePacedLine, NoRoundIsPublishedFromRepliesForOtherRegisters)
{
    const MisalignedLine& c = GetParam();
    std::vector<std::string> args = {"--plugin", pluginPath(), "--json", "--trace"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const HostRun run = runHost(args, std::chrono::seconds(90));
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const auto rounds = run.events("round");
    ASSERT_EQ(rounds.size(), 12u);
    EXPECT_EQ(wrongRounds(rounds), "") << "published from replies for other registers";
    EXPECT_NE(run.err.find(c.evidence), std::string::npos) << "the line never misaligned";
}

// The command lines of the field report, with their seeds.
INSTANTIATE_TEST_SUITE_P(
    FieldReport, OnThePacedLine,
    ::testing::Values(
        // Replies 250 ms late against a 100 ms time-out come while the next
        // round awaits register 0. At this rate (more than one late reply a
        // round, rounds back to back) a shifted round leaves its last reply
        // to the next one, so no round ever echoes whole and "auto" would
        // never confirm the controller: it is declared as echoing.
        MisalignedLine{"late_replies",
                       {"--reply-echo", "on", "--rounds", "12", "--interval", "0", "--sim-pace",
                        "--sim-fault",
                        "delay=0.02", "--sim-delay", "250", "--timeout", "100", "--sim-seed", "5"},
                       ", awaited 0"},
        MisalignedLine{"overlong_replies",
                       {"--sim-pace", "--sim-fault", "overlong=0.01", "--sim-seed", "2", "--rounds",
                        "12", "--interval", "200"},
                       "stall: reply refused by the driver"}),
    [](const ::testing::TestParamInfo<MisalignedLine>& info) {
        return std::string(info.param.name);
    });

// A controller whose replies never echo the register cannot be checked, and
// must not be stalled by its replies' bytes 2-3 either.
TEST(NonEchoingController, IsPolledWithoutStallsAndWithoutMarks)
{
    const HostRun run = runHost({"--plugin", pluginPath(), "--json", "--trace", "--sim-echo",
                                 "none", "--rounds", "3", "--interval", "0"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const auto rounds = run.events("round");
    ASSERT_EQ(rounds.size(), 3u);
    for (const Json::Value& round : rounds)
        EXPECT_EQ(checkRoundAgainst(round, kelsim::defaultScenario()), 0);
    EXPECT_TRUE(run.events("stall").empty());
    EXPECT_NE(run.err.find("\"9F00\""), std::string::npos) << "replies echoed after all";
    EXPECT_EQ(run.err.find("answers register"), std::string::npos);
}

}  // namespace
}  // namespace toolstest
