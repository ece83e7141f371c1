// Replies that arrive outside a round, rounds that stall part-way, and what
// the record and value lookup show meanwhile.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver_fixture.h"

using namespace polltest;

namespace {

using RoundBoundaries = DriverTest;

// Replies that no step awaits are discarded whatever they hold: hex or not,
// echoing or not. None of them may stall (Reset, return 0).
const std::vector<std::string> kStrayReplies = {
    reply(0x77), echoReply(0x77, 64), "ZZ00", "G1zz", std::string("\0\0\0\0", 4), "\xff\xff|\r",
};

TEST_F(RoundBoundaries, ReplyBeforeAnyRoundIsDiscarded)
{
    const RecordBytes before = record();
    for (const std::string& stray : kStrayReplies)
        EXPECT_EQ(feedBytes(stray), 1) << stray;
    EXPECT_EQ(feedBytes("0"), 1);
    EXPECT_EQ(feedBytes("A1F"), 1);
    EXPECT_EQ(record(), before);
    EXPECT_EQ(device_.poll_step_, 0u);
    EXPECT_EQ(device_.rx_len_, 0u);
    EXPECT_EQ(count("SendData"), 0u);
    EXPECT_EQ(count("SendSP"), 0u);
    EXPECT_EQ(count("Reset"), 0u);
}

TEST_F(RoundBoundaries, ReplyAtAStepWithoutRowIsDiscarded)
{
    // A confirmed controller: discarded replies are not compared either.
    runRound(device_, distinctImage(), Tail::Echo);
    ASSERT_TRUE(device_.echo_confirmed_);
    log_.clear();
    // Step 51 never occurs in a round and steps past 64 never do either; a
    // host that sets the step there must not make the driver index past its map.
    for (uint32_t step : {51u, 65u, 66u, 200u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        for (const std::string& stray : kStrayReplies) {
            device_.poll_step_ = step;
            const RecordBytes before = record();
            EXPECT_EQ(feedBytes(stray), 1) << "step " << step << ", reply " << stray;
            EXPECT_EQ(record(), before) << "step " << step;
            EXPECT_EQ(device_.poll_step_, step);
            EXPECT_EQ(device_.rx_len_, 0u);
        }
    }
    EXPECT_EQ(count("SendData"), 0u);
    EXPECT_EQ(count("SendSP"), 0u);
    EXPECT_EQ(count("Reset"), 0u);
}

TEST_F(RoundBoundaries, ReplyAfterTheLastStepIsDiscardedUntilTheNextRound)
{
    const RegisterImage image = distinctImage();
    runRound(device_, image, Tail::Echo);
    ASSERT_EQ(count("SendSP"), 1u);
    ASSERT_TRUE(device_.echo_confirmed_);
    log_.clear();

    for (const std::string& stray : kStrayReplies) {
        EXPECT_EQ(feedBytes(stray), 1) << stray;
        EXPECT_EQ(device_.data_.reg64, image[64]) << "reg64 overwritten by a stray reply";
        EXPECT_EQ(device_.poll_step_, kLastStep);
    }
    EXPECT_EQ(count("SendSP"), 0u) << "the round was published a second time";
    EXPECT_EQ(count("SaveDeviceHistory"), 0u);
    EXPECT_EQ(count("SendData"), 0u);
    EXPECT_EQ(count("Reset"), 0u) << "a stray reply stalled a finished round";

    // The next round is handled in full again.
    RegisterImage next = image;
    next[64] = 0x01;
    runRound(device_, next, Tail::Echo);
    EXPECT_EQ(count("SendSP"), 1u);
    EXPECT_EQ(device_.data_.reg64, 0x01);
}

// A round that stalls at step k publishes nothing; fields this round wrote
// before k hold the new values, fields written from k on hold the previous
// round's. Fields that were part-way built when the stall came are skipped,
// except that the frequency must never be seen half-built.
class StallAtStep : public DriverTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(StallAtStep, LeavesEarlierFieldsNewLaterFieldsOldAndPublishesNothing)
{
    const unsigned stall = GetParam();
    const RegisterImage first = distinctImage();
    const RegisterImage second = filledImage(0x3B);
    runRound(device_, first);
    const RecordBytes old_record = record();
    const RecordBytes new_record = expectedRecord(second, 0);
    log_.clear();

    device_.RefreshStatus();
    feedUntil(device_, second, stall);
    ASSERT_EQ(device_.poll_step_, stall);
    // Alternate the two ways a reply can stall a round.
    const std::string bad = stall % 2 ? std::string("Q") + hex2(second[stall] ^ kMask) + "0"
                                      : reply(second[stall]) + "0";
    EXPECT_EQ(feedBytes(bad), 0);

    EXPECT_EQ(count("SendSP"), 0u);
    EXPECT_EQ(count("SaveDeviceHistory"), 0u);
    const RecordBytes now = record();
    for (const FieldSpec& field : recordFields()) {
        const RecordBytes* want = nullptr;
        if (field.kind == Kind::Time || field.last_step == 0 || field.first_step >= stall)
            want = &old_record;
        else if (field.last_step < stall)
            want = &new_record;
        if (want) {
            EXPECT_EQ(describe(field, now.data()), describe(field, want->data()))
                << field.name << " after a stall at step " << stall;
        }
    }

    // The next round starts over from register 0 and completes.
    log_.clear();
    runRound(device_, second);
    const auto sends = log_.callsOf("SendSP");
    ASSERT_EQ(sends.size(), 1u);
    for (const FieldSpec& field : recordFields()) {
        if (field.kind == Kind::Time)
            continue;
        EXPECT_EQ(describe(field, sends[0].bytes.data()), describe(field, new_record.data()))
            << field.name << " in the round after the stall";
    }
}

INSTANTIATE_TEST_SUITE_P(EveryStep, StallAtStep, ::testing::ValuesIn(roundSteps()));

TEST_F(RoundBoundaries, FrequencyLookupNeverSeesHalfAValue)
{
    RegisterImage first = filledImage(0);
    first[8] = 49, first[9] = 8;
    runRound(device_, first);
    const float previous = device_.Get_Value(0, "frequency");
    ASSERT_EQ(previous, 49.0f + 8.0f / 10.0f);

    RegisterImage second = first;
    second[8] = 51, second[9] = 2;
    device_.RefreshStatus();
    feedUntil(device_, second, 9);  // step 8 stored the whole part
    EXPECT_EQ(device_.Get_Value(0, "frequency"), previous) << "half value between steps 8 and 9";

    ASSERT_EQ(feedBytes("12345"), 0);  // the round stalls before step 9
    EXPECT_EQ(device_.Get_Value(0, "frequency"), previous) << "half value after a stall";

    device_.RefreshStatus();
    feedUntil(device_, second, 10);
    EXPECT_EQ(device_.Get_Value(0, "frequency"), 51.0f + 2.0f / 10.0f);
}

}  // namespace
