// The soak's reconciliation of injected faults with round outcomes: if it is
// wrong, the soak either misses a driver fault or fails a correct driver.

#include <gtest/gtest.h>

#include "fault_ledger.h"

namespace {

using soak::Carry;
using soak::judgeRound;
using soak::Lateness;
using soak::Outcome;
using soak::ReplyFaults;
using soak::RoundEnd;

kelsim::ReplyPlan planOf(std::initializer_list<const char*> chunks)
{
    kelsim::ReplyPlan plan;
    for (const char* c : chunks)
        plan.chunks.push_back({c, 0});
    plan.split = plan.chunks.size() > 1;
    return plan;
}

TEST(ReplyClassification, LatenessAgainstTheTimeOutAndBunchedTails)
{
    kelsim::ReplyPlan delayed = planOf({"9F9E"});
    delayed.delayed = true;
    const struct {
        int delay_ms;
        Lateness want;
    } late_cases[] = {{20, Lateness::InTime},
                      {250, Lateness::Unclear},
                      {400, Lateness::Stray},
                      {750, Lateness::NextRound},
                      {870, Lateness::Stray}};
    for (const auto& c : late_cases)
        EXPECT_EQ(soak::classify(delayed, c.delay_ms, 300).lateness, c.want) << c.delay_ms;
    EXPECT_EQ(soak::classify(planOf({"9F9E"}), 750, 300).lateness, Lateness::None);

    kelsim::ReplyPlan across = planOf({"9F9", "EA7"});
    across.overlong = true;
    EXPECT_TRUE(soak::classify(across, 0, 300).tail_bunched);
    kelsim::ReplyPlan cut_at_four = planOf({"9F", "9E", "A7"});
    cut_at_four.overlong = true;
    EXPECT_FALSE(soak::classify(cut_at_four, 0, 300).tail_bunched);
    kelsim::ReplyPlan paced = planOf({"9F9EA7"});  // one character at a time on the line
    paced.overlong = true;
    EXPECT_FALSE(soak::classify(paced, 0, 300).tail_bunched);
    EXPECT_EQ(soak::classify(cut_at_four, 0, 300).bytes, "9F9EA7");
}

ReplyFaults reply(int reg, const char* bytes)
{
    ReplyFaults f;
    f.reg = reg;
    f.bytes = bytes;
    return f;
}

std::vector<ReplyFaults> clean(int n)
{
    std::vector<ReplyFaults> out;
    for (int i = 0; i < n; ++i)
        out.push_back(reply(soak::roundRegisters()[static_cast<std::size_t>(i)], "0000"));
    return out;
}

enum class Fault { None, Dropped, Garbled, Late, Overlong, OverlongBunched };

struct JudgementCase {
    const char* name;
    int replies;
    int fault_at;
    Fault fault;
    Carry carry;
    bool late_garbled;
    int late_reg;
    bool confirmed;
    Outcome outcome;
    bool consistent;
    bool exact;
};

std::vector<ReplyFaults> repliesOf(const JudgementCase& c)
{
    auto r = clean(c.replies);
    if (c.fault == Fault::None)
        return r;
    ReplyFaults& f = r[static_cast<std::size_t>(c.fault_at)];
    f.dropped = c.fault == Fault::Dropped;
    f.garbled = c.fault == Fault::Garbled;
    f.lateness = c.fault == Fault::Late ? Lateness::NextRound : Lateness::None;
    f.overlong = c.fault == Fault::Overlong || c.fault == Fault::OverlongBunched;
    f.tail_bunched = c.fault == Fault::OverlongBunched;
    if (f.overlong)
        f.bytes += "12";
    return r;
}

TEST(RoundJudgement, FollowsTheFaultsOfTheRoundAndWhatCameBefore)
{
    constexpr auto N = Carry::None;
    constexpr auto L = Carry::LateReply;
    constexpr auto U = Carry::Unsettled;
    constexpr auto C = Outcome::Completed;
    constexpr auto X = Outcome::NoReply;
    constexpr auto R = Outcome::Refused;
    const JudgementCase cases[] = {
        {"clean round completes", 63, 0, Fault::None, N, false, 0, true, C, true, true},
        {"clean round never stalls", 11, 0, Fault::None, N, false, 0, true, R, false, true},
        {"drop: no reply there", 11, 10, Fault::Dropped, N, false, 0, true, X, true, true},
        {"drop is no refusal", 11, 10, Fault::Dropped, N, false, 0, true, R, false, true},
        {"drop never completes", 63, 10, Fault::Dropped, N, false, 0, true, C, false, true},
        {"garble: refused there", 4, 3, Fault::Garbled, N, false, 0, false, R, true, true},
        {"garble: not later", 5, 3, Fault::Garbled, N, false, 0, false, R, false, true},
        {"late reply: no reply there", 8, 7, Fault::Late, N, false, 0, true, X, true, true},
        {"tail in the same chunk: refused", 6, 5, Fault::OverlongBunched, N, false, 0, true, R,
         true, true},
        {"tail alone: refused at once", 6, 5, Fault::Overlong, N, false, 0, true, R, true, false},
        {"tail alone: or the next reply", 7, 5, Fault::Overlong, N, false, 0, true, X, true, false},
        {"confirmed: not after the next", 8, 5, Fault::Overlong, N, false, 0, true, R, false,
         false},
        {"confirmed: never completes", 63, 5, Fault::Overlong, N, false, 0, true, C, false, false},
        {"unconfirmed: may complete", 63, 5, Fault::Overlong, N, false, 0, false, C, true, false},
        {"tail of the last reply", 63, 62, Fault::Overlong, N, false, 0, true, C, true, false},
        {"before: late reply for 7, confirmed", 1, 0, Fault::None, L, false, 7, true, R, true,
         true},
        {"confirmed never takes it", 63, 0, Fault::None, L, false, 7, true, C, false, true},
        {"unconfirmed takes it", 63, 0, Fault::None, L, false, 7, false, C, true, false},
        {"late reply for 0 answers 0", 63, 0, Fault::None, L, false, 0, true, C, true, false},
        {"late and garbled", 1, 0, Fault::None, L, true, 7, false, R, true, true},
        {"unsettled: anything", 30, 0, Fault::None, U, false, 0, true, X, true, false},
    };
    for (const JudgementCase& c : cases) {
        SCOPED_TRACE(c.name);
        ReplyFaults late = reply(c.late_reg, "1234");
        late.garbled = c.late_garbled;
        const RoundEnd end{c.outcome, c.replies - 1};
        const auto v = judgeRound(repliesOf(c), c.carry, late, c.confirmed, end);
        EXPECT_EQ(v.consistent, c.consistent) << v.why;
        EXPECT_EQ(v.exact, c.exact);
    }
}

TEST(RoundJudgement, AMisframedReplyThatEchoesAllTheSameMayCarryOn)
{
    // One extra digit: the driver reads "9" and the next reply's first three.
    ReplyFaults overlong = reply(4, "0A9A9");
    overlong.overlong = true;
    const ReplyFaults next = reply(5, "429B");
    EXPECT_FALSE(soak::misframedReplyEchoes(overlong, next));               // "942": bytes 2-3 "29"
    const ReplyFaults echoing_by_chance = reply(5, "9B9B");                 // register 5 holds 5
    EXPECT_FALSE(soak::misframedReplyEchoes(overlong, echoing_by_chance));  // "99B9"
    ReplyFaults two_extra = reply(4, "0A9A77");
    two_extra.overlong = true;
    // "77" + "9B9B": the value pair of the next reply lands where its echo
    // belongs, and 9B is register 5's field.
    EXPECT_TRUE(soak::misframedReplyEchoes(two_extra, echoing_by_chance));

    auto replies = clean(63);
    replies[3] = two_extra;  // register 4
    replies[4] = echoing_by_chance;
    const auto v = judgeRound(replies, Carry::None, ReplyFaults{}, true, RoundEnd{});
    EXPECT_TRUE(v.consistent) << v.why;
    EXPECT_TRUE(v.may_complete);
}

TEST(FaultLedgerReplay, CarriesLateRepliesAndConfirmsOnlyAnEchoingController)
{
    soak::LineSetup late_setup;
    late_setup.faults.delay = 1.0;
    late_setup.faults.delay_ms = 750;
    late_setup.timeout_ms = 300;
    soak::FaultLedger late(late_setup, kelsim::defaultScenario());
    EXPECT_TRUE(late.round(Outcome::NoReply, 0).consistent);
    EXPECT_FALSE(late.round(Outcome::Completed, -1).consistent);  // the next must stall at 0
    EXPECT_EQ(late.lateReplies(), 1u);
    EXPECT_EQ(late.totals().requests, 1u + 63u);
    EXPECT_EQ(late.totals().delayed, 64u);

    soak::LineSetup quiet_setup;
    soak::FaultLedger echoing(quiet_setup, kelsim::defaultScenario());
    EXPECT_TRUE(echoing.round(Outcome::Completed, -1, false).consistent);
    EXPECT_FALSE(echoing.confirmed()) << "a wrong record is no round of echoing replies";
    EXPECT_TRUE(echoing.round(Outcome::Completed, -1).consistent);
    EXPECT_TRUE(echoing.confirmed());
    EXPECT_FALSE(echoing.round(Outcome::Refused, 1).consistent);   // never requested
    EXPECT_FALSE(echoing.round(Outcome::Refused, 52).consistent);  // no fault to stall on

    quiet_setup.echo = kelsim::ReplyEcho::None;
    soak::FaultLedger silent(quiet_setup, kelsim::defaultScenario());
    EXPECT_TRUE(silent.round(Outcome::Completed, -1).consistent);
    EXPECT_FALSE(silent.confirmed());
}

TEST(FaultLedgerReplay, RoundRegistersSkipOneAndFiftyOne)
{
    const auto& regs = soak::roundRegisters();
    ASSERT_EQ(regs.size(), 63u);
    EXPECT_EQ(regs.front(), 0);
    EXPECT_EQ(regs[1], 2);
    EXPECT_EQ(soak::replyIndexOf(50), 49);
    EXPECT_EQ(soak::replyIndexOf(52), 50);
    EXPECT_EQ(soak::replyIndexOf(51), -1);
    EXPECT_EQ(soak::replyIndexOf(64), 62);
}

}  // namespace
