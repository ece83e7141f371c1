// Fault injection decisions: reproducible for a seed, and each kind does what it says.

#include <gtest/gtest.h>

#include <cctype>
#include <set>

#include "faults.h"

namespace kelsim {
namespace {

const std::array<char, kReplyLength> kReply = {'0', '2', '9', 'B'};

Faults allFaults(uint64_t seed) {
    Faults f;
    f.seed = seed;
    f.drop = f.split = f.overlong = f.garble = f.delay = 0.3;
    f.delay_ms = 40;
    return f;
}

bool samePlan(const ReplyPlan& a, const ReplyPlan& b) {
    if (a.dropped != b.dropped || a.delayed != b.delayed || a.garbled != b.garbled ||
        a.overlong != b.overlong || a.split != b.split || a.delay_ms != b.delay_ms ||
        a.chunks.size() != b.chunks.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.chunks.size(); ++i) {
        if (a.chunks[i].bytes != b.chunks[i].bytes || a.chunks[i].gap_ms != b.chunks[i].gap_ms) return false;
    }
    return true;
}

TEST(FaultPlanning, RepeatsExactlyForTheSameSeed) {
    FaultPlanner first(allFaults(42)), second(allFaults(42)), other(allFaults(43));
    int differences = 0;
    for (int i = 0; i < 500; ++i) {
        const ReplyPlan a = first.plan(kReply);
        ASSERT_TRUE(samePlan(a, second.plan(kReply))) << "reply " << i;
        differences += !samePlan(a, other.plan(kReply));
    }
    EXPECT_GT(differences, 100);
}

TEST(FaultPlanning, KeepsOneKindsDecisionsWhenAnotherRateChanges) {
    Faults only_drop;
    only_drop.seed = 7;
    only_drop.drop = 0.2;
    Faults drop_and_garble = only_drop;
    drop_and_garble.garble = 0.9;
    FaultPlanner a(only_drop), b(drop_and_garble);
    for (int i = 0; i < 300; ++i) EXPECT_EQ(a.plan(kReply).dropped, b.plan(kReply).dropped) << "reply " << i;
}

TEST(FaultPlanning, SendsTheReplyUntouchedWithoutFaults) {
    FaultPlanner planner(Faults{});
    for (int i = 0; i < 100; ++i) {
        const ReplyPlan p = planner.plan(kReply);
        ASSERT_EQ(p.chunks.size(), 1u);
        EXPECT_EQ(p.chunks[0].bytes, "029B");
        EXPECT_EQ(p.chunks[0].gap_ms, 0);
        EXPECT_FALSE(p.dropped || p.delayed || p.garbled || p.overlong || p.split);
    }
}

TEST(FaultPlanning, HitsTheRequestedRate) {
    Faults f;
    f.seed = 99;
    f.drop = 0.25;
    FaultPlanner planner(f);
    int dropped = 0;
    for (int i = 0; i < 10000; ++i) dropped += planner.plan(kReply).dropped;
    EXPECT_GT(dropped, 2300);
    EXPECT_LT(dropped, 2700);
}

class EveryReply : public ::testing::Test {
protected:
    std::vector<ReplyPlan> plans(Faults f, int count = 200) {
        f.seed = 5;
        FaultPlanner planner(f);
        std::vector<ReplyPlan> out;
        for (int i = 0; i < count; ++i) out.push_back(planner.plan(kReply));
        return out;
    }
};

TEST_F(EveryReply, DropSendsNothing) {
    Faults f;
    f.drop = 1;
    f.split = f.garble = 1;  // a dropped reply has no other fault
    for (const auto& p : plans(f)) {
        EXPECT_TRUE(p.dropped);
        EXPECT_TRUE(p.chunks.empty());
        EXPECT_FALSE(p.split || p.garbled);
    }
}

TEST_F(EveryReply, GarbleBreaksOnlyTheDataPair) {
    Faults f;
    f.garble = 1;
    for (const auto& p : plans(f)) {
        const std::string bytes = p.bytes();
        ASSERT_EQ(bytes.size(), 4u);
        EXPECT_TRUE(hexDigitValue(bytes[0], false) < 0 || hexDigitValue(bytes[1], false) < 0) << bytes;
        for (int i = 0; i < 2; ++i) {
            const char c = bytes[i];
            EXPECT_TRUE(c == kReply[i] || (std::isprint(static_cast<unsigned char>(c)) && c != '|')) << bytes;
        }
        EXPECT_EQ(bytes.substr(2), "9B");
        EXPECT_TRUE(p.garbled);
    }
}

TEST_F(EveryReply, OverlongAppendsOneToThreeHexDigits) {
    Faults f;
    f.overlong = 1;
    std::set<std::size_t> lengths;
    for (const auto& p : plans(f)) {
        const std::string bytes = p.bytes();
        ASSERT_GE(bytes.size(), 5u);
        ASSERT_LE(bytes.size(), 7u);
        EXPECT_EQ(bytes.substr(0, 4), "029B");
        for (char c : bytes.substr(4)) EXPECT_GE(hexDigitValue(c, true), 0) << bytes;
        lengths.insert(bytes.size());
    }
    EXPECT_EQ(lengths.size(), 3u);
}

TEST_F(EveryReply, SplitCutsIntoNonEmptyChunksWithShortGaps) {
    Faults f;
    f.split = 1;
    f.overlong = 0.5;
    for (const auto& p : plans(f)) {
        ASSERT_GE(p.chunks.size(), 2u);
        EXPECT_EQ(p.bytes().substr(0, 4), "029B");
        EXPECT_EQ(p.chunks[0].gap_ms, 0);
        for (std::size_t i = 0; i < p.chunks.size(); ++i) {
            EXPECT_FALSE(p.chunks[i].bytes.empty());
            if (i > 0) {
                EXPECT_GE(p.chunks[i].gap_ms, 2);
                EXPECT_LE(p.chunks[i].gap_ms, 15);
            }
        }
    }
}

TEST_F(EveryReply, DelayWaitsTheConfiguredTime) {
    Faults f;
    f.delay = 1;
    f.delay_ms = 250;
    for (const auto& p : plans(f)) {
        EXPECT_TRUE(p.delayed);
        EXPECT_EQ(p.delay_ms, 250);
        EXPECT_EQ(p.bytes(), "029B");
    }
}

}  // namespace
}  // namespace kelsim
