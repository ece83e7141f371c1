// The soak's reconciliation of injected faults with round outcomes: if it is
// wrong, the soak either misses a driver fault or fails a correct driver.

#include <gtest/gtest.h>

#include "fault_ledger.h"

namespace {

using soak::judgeRound;
using soak::Outcome;
using soak::ReplyFaults;

kelsim::ReplyPlan planOf(std::initializer_list<const char*> chunks)
{
    kelsim::ReplyPlan plan;
    for (const char* c : chunks)
        plan.chunks.push_back({c, 0});
    return plan;
}

TEST(ReplyClassification, OverlongTailIsSeparableOnlyWhenAChunkEndsAfterTheReply)
{
    kelsim::ReplyPlan whole = planOf({"9F9EA"});
    whole.overlong = true;
    EXPECT_FALSE(soak::classify(whole).tail_separable);

    kelsim::ReplyPlan cut_at_four = planOf({"9F", "9E", "A7"});
    cut_at_four.overlong = cut_at_four.split = true;
    EXPECT_TRUE(soak::classify(cut_at_four).tail_separable);

    kelsim::ReplyPlan cut_elsewhere = planOf({"9F9", "EA7"});
    cut_elsewhere.overlong = cut_elsewhere.split = true;
    EXPECT_FALSE(soak::classify(cut_elsewhere).tail_separable);

    kelsim::ReplyPlan plain_split = planOf({"9", "F9E"});
    plain_split.split = true;
    const ReplyFaults f = soak::classify(plain_split);
    EXPECT_FALSE(f.tail_separable);
    EXPECT_TRUE(f.split);
}

std::vector<ReplyFaults> clean(int n) { return std::vector<ReplyFaults>(static_cast<std::size_t>(n)); }

ReplyFaults dropped()
{
    ReplyFaults f;
    f.dropped = true;
    return f;
}
ReplyFaults garbled()
{
    ReplyFaults f;
    f.garbled = true;
    return f;
}
ReplyFaults overlong(bool separable)
{
    ReplyFaults f;
    f.overlong = true;
    f.split = separable;
    f.tail_separable = separable;
    return f;
}

std::vector<ReplyFaults> withFault(int n, int at, ReplyFaults fault)
{
    auto r = clean(n);
    r[static_cast<std::size_t>(at)] = fault;
    return r;
}

TEST(RoundJudgement, CleanAndHarmlessFaultsComplete)
{
    auto replies = clean(63);
    replies[3].split = true;
    replies[40].delayed = true;
    const auto v = judgeRound(replies, Outcome::Completed);
    EXPECT_TRUE(v.consistent) << v.why;
    EXPECT_FALSE(v.must_stall);
    EXPECT_FALSE(v.ambiguous);
    EXPECT_FALSE(judgeRound(clean(62), Outcome::Completed).consistent);
    EXPECT_FALSE(judgeRound(clean(10), Outcome::Refused).consistent);
}

TEST(RoundJudgement, DropStallsWithNoReplyAtThatReply)
{
    EXPECT_TRUE(judgeRound(withFault(11, 10, dropped()), Outcome::NoReply).consistent);
    EXPECT_TRUE(judgeRound(withFault(11, 10, dropped()), Outcome::NoReply).must_stall);
    EXPECT_FALSE(judgeRound(withFault(11, 10, dropped()), Outcome::Refused).consistent);
    EXPECT_FALSE(judgeRound(withFault(63, 10, dropped()), Outcome::Completed).consistent);
}

TEST(RoundJudgement, GarbleAndWholeOverlongAreRefusedAtThatReply)
{
    EXPECT_TRUE(judgeRound(withFault(1, 0, garbled()), Outcome::Refused).consistent);
    EXPECT_FALSE(judgeRound(withFault(1, 0, garbled()), Outcome::NoReply).consistent);
    EXPECT_TRUE(judgeRound(withFault(6, 5, overlong(false)), Outcome::Refused).consistent);
    auto later = withFault(7, 5, overlong(false));
    EXPECT_FALSE(judgeRound(later, Outcome::Refused).consistent);
    EXPECT_FALSE(judgeRound(withFault(63, 62, overlong(false)), Outcome::Completed).consistent);
}

TEST(RoundJudgement, SeparableOverlongTailSpoilsTheNextReply)
{
    EXPECT_TRUE(judgeRound(withFault(6, 5, overlong(true)), Outcome::Refused).consistent);
    EXPECT_TRUE(judgeRound(withFault(7, 5, overlong(true)), Outcome::Refused).consistent);
    auto next_dropped = withFault(7, 5, overlong(true));
    next_dropped[6] = dropped();
    EXPECT_TRUE(judgeRound(next_dropped, Outcome::NoReply).consistent);
    EXPECT_FALSE(judgeRound(withFault(7, 5, overlong(true)), Outcome::NoReply).consistent);
    EXPECT_FALSE(judgeRound(withFault(8, 5, overlong(true)), Outcome::Refused).consistent);
    EXPECT_FALSE(judgeRound(withFault(63, 61, overlong(true)), Outcome::Completed).consistent);
}

TEST(RoundJudgement, SeparableOverlongLastReplyMayEitherComplete)
{
    const auto completed = judgeRound(withFault(63, 62, overlong(true)), Outcome::Completed);
    EXPECT_TRUE(completed.consistent) << completed.why;
    EXPECT_TRUE(completed.ambiguous);
    EXPECT_FALSE(completed.must_stall);
    const auto stalled = judgeRound(withFault(63, 62, overlong(true)), Outcome::Refused);
    EXPECT_TRUE(stalled.consistent) << stalled.why;
    EXPECT_TRUE(stalled.ambiguous);
}

TEST(RoundJudgement, OnlyTheFirstFaultCounts)
{
    auto replies = withFault(4, 3, garbled());
    replies[1] = dropped();
    EXPECT_FALSE(judgeRound(replies, Outcome::Refused).consistent);
}

TEST(FaultLedgerReplay, FollowsTheSimulatorsDecisions)
{
    kelsim::Faults every_reply_dropped;
    every_reply_dropped.drop = 1.0;
    soak::FaultLedger dropping(every_reply_dropped, kelsim::defaultScenario());
    EXPECT_TRUE(dropping.round(Outcome::NoReply, 0).consistent);
    EXPECT_FALSE(dropping.round(Outcome::Completed, -1).consistent);
    EXPECT_EQ(dropping.totals().requests, 1u + 63u);
    EXPECT_EQ(dropping.totals().dropped, 64u);
    EXPECT_EQ(dropping.stalls(), 1u);
    EXPECT_EQ(dropping.mustStall(), 2u);

    soak::FaultLedger quiet(kelsim::Faults{}, kelsim::defaultScenario());
    EXPECT_TRUE(quiet.round(Outcome::Completed, -1).consistent);
    EXPECT_FALSE(quiet.round(Outcome::Refused, 1).consistent);  // never requested
    EXPECT_FALSE(quiet.round(Outcome::Refused, 52).consistent);  // no fault to stall on
    EXPECT_EQ(quiet.totals().requests, 63u + 51u);
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
