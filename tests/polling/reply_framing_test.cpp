// How process() gathers chunks into one 4-character reply, decodes the data
// byte, refuses too many bytes and stalls on a reply that carries no value.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "driver_fixture.h"

using namespace polltest;

namespace {

// Everything process() may touch when it refuses or discards a reply.
struct Snapshot {
    RecordBytes record;
    uint32_t step;
    std::size_t sends;
    std::size_t published;

    bool operator==(const Snapshot& o) const
    {
        return record == o.record && step == o.step && sends == o.sends &&
               published == o.published;
    }
};

class ReplyFraming : public DriverTest {
protected:
    Snapshot snapshot() const
    {
        return {record(), device_.poll_step_, count("SendData"), count("SendSP")};
    }

    // A device in the middle of a round: the first `steps` replies handled.
    void startRound(const RegisterImage& image, unsigned next_step)
    {
        device_.RefreshStatus();
        feedUntil(device_, image, next_step);
        ASSERT_EQ(device_.poll_step_, next_step);
        log_.clear();
    }
};

// A whole round with every reply cut into the same chunk sizes gives the
// record, the requests and the results that one chunk per reply gives.
class ChunkedReplies : public ReplyFraming,
                       public ::testing::WithParamInterface<std::vector<unsigned>> {};

TEST_P(ChunkedReplies, HandleLikeOneChunkOfFour)
{
    const RegisterImage image = distinctImage();
    Kel36 reference;
    kelhost::CallLog reference_log;
    kelhost::attachObserver(reference, &reference_log);
    runRound(reference, image);

    const std::vector<unsigned>& sizes = GetParam();
    device_.RefreshStatus();
    for (unsigned step : roundSteps()) {
        const std::string text = reply(image[registerOfStep(step)]);
        std::size_t at = 0;
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            const int result = feedBytes(text.substr(at, sizes[i]));
            at += sizes[i];
            const bool last_chunk = i + 1 == sizes.size();
            EXPECT_EQ(result, last_chunk && step == kLastStep ? 0 : 1)
                << "step " << step << " chunk " << i;
            if (!last_chunk) {
                EXPECT_EQ(device_.rx_len_, at) << "bytes gathered, step " << step;
            }
        }
        EXPECT_EQ(device_.rx_len_, 0u) << "step " << step;
    }

    RecordBytes expected;
    std::memcpy(expected.data(), &reference.data_, expected.size());
    const RecordBytes got = record();
    // Each round stamps its own completion time, and the two rounds may end in
    // different seconds (likely under emulation): compare everything else.
    std::copy(got.begin() + kTimeOffset, got.end(), expected.begin() + kTimeOffset);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(sentFrames(), sentFramesIn(reference_log));
    EXPECT_EQ(count("SendSP"), 1u);
    EXPECT_EQ(count("Reset"), reference_log.callsOf("Reset").size());
}

INSTANTIATE_TEST_SUITE_P(Splits, ChunkedReplies,
                         ::testing::Values(std::vector<unsigned>{4}, std::vector<unsigned>{1, 3},
                                           std::vector<unsigned>{2, 2},
                                           std::vector<unsigned>{3, 1},
                                           std::vector<unsigned>{1, 1, 1, 1},
                                           std::vector<unsigned>{0, 2, 0, 2}));

struct Overrun {
    const char* what;
    std::string gathered;  // bytes already accepted
    unsigned length;       // length of the refused chunk
};

// Chunks that would bring the gathered count to 5 or more. The buffer handed
// over is always 8 bytes: a driver that copied a huge chunk before refusing it
// would read far past it.
const Overrun kOverruns[] = {
    {"five bytes at once", "", 5},
    {"three then two", "A1E", 2},
    {"two then three", "A1", 3},
    {"one then four", "A", 4},
    {"two replies in one chunk", "", 8},
    {"huge length", "", 0xFFFFFFFFu},
    {"huge length wrapping the count to zero", "A", 0xFFFFFFFFu},
    {"huge length wrapping the count to one", "A1", 0xFFFFFFFFu},
    {"huge length wrapping the count to three", "A1E", 0xFFFFFFFFu},
    {"length just past the count", "A1E", 0xFFFFFFFEu},
    {"half the address space", "A", 0x80000000u},
};

class TooManyBytes : public ReplyFraming, public ::testing::WithParamInterface<Overrun> {};

TEST_P(TooManyBytes, AreRefusedWithResetAndChangeNothing)
{
    const Overrun& o = GetParam();
    startRound(distinctImage(), 12);
    if (!o.gathered.empty()) {
        ASSERT_EQ(feedBytes(o.gathered), 1);
    }
    const Snapshot before = snapshot();

    unsigned char chunk[8] = {'1', '2', '3', '4', '5', '6', '7', '8'};
    EXPECT_EQ(device_.process(chunk, o.length), 0) << o.what;
    EXPECT_EQ(count("Reset"), 1u) << o.what;
    EXPECT_TRUE(snapshot() == before) << o.what << ": step, record or requests changed";
    EXPECT_EQ(count("SendData"), 0u) << o.what;
}

INSTANTIATE_TEST_SUITE_P(Chunks, TooManyBytes, ::testing::ValuesIn(kOverruns));

TEST_F(ReplyFraming, ChunkWithoutBytesBehindItIsRefused)
{
    startRound(distinctImage(), 12);
    ASSERT_EQ(feedBytes("E"), 1);
    const Snapshot before = snapshot();
    EXPECT_EQ(device_.process(nullptr, 2), 0);
    EXPECT_EQ(count("Reset"), 1u);
    EXPECT_TRUE(snapshot() == before);
}

TEST_F(ReplyFraming, RoundResumesAtTheSameStepAfterAnOverrun)
{
    const RegisterImage image = distinctImage();
    startRound(image, 12);
    ASSERT_EQ(feedBytes("12345"), 0);
    // The stand-in host empties the receive buffer on Reset; the step is kept,
    // so the retried reply lands where it belongs.
    EXPECT_EQ(feedBytes(reply(image[12])), 1);
    EXPECT_EQ(device_.poll_step_, 13u);
    EXPECT_EQ(sentFrames(), std::vector<std::string>{frame(0x41, 13)});
}

TEST_F(ReplyFraming, EmptyChunkChangesNothing)
{
    startRound(distinctImage(), 12);
    ASSERT_EQ(feedBytes("E"), 1);
    const Snapshot before = snapshot();
    EXPECT_EQ(device_.process(nullptr, 0), 1);
    EXPECT_EQ(device_.rx_len_, 1u);
    EXPECT_TRUE(snapshot() == before);
}

TEST_F(ReplyFraming, LowerCaseHexGivesTheSameByteAsUpperCase)
{
    for (unsigned value = 0; value <= 0xFF; ++value) {
        device_.RefreshStatus();
        ASSERT_EQ(feedBytes(reply(static_cast<uint8_t>(value), "ab", true)), 1);
        EXPECT_EQ(device_.data_.reg0, value) << "lower-case reply " << reply(value, "ab", true);
        device_.RefreshStatus();
        ASSERT_EQ(feedBytes(reply(static_cast<uint8_t>(value), "AB", false)), 1);
        EXPECT_EQ(device_.data_.reg0, value) << "upper-case reply " << reply(value, "AB");
    }
}

TEST_F(ReplyFraming, SecondPairOfTheReplyHasNoEffect)
{
    const std::string tails[] = {"00", "FF", "9E", "zz", std::string("\0\x7f", 2), "||", "\r\n"};
    for (const std::string& tail : tails) {
        device_.RefreshStatus();
        log_.clear();
        EXPECT_EQ(feedBytes(reply(0x5C, tail)), 1);
        EXPECT_EQ(device_.data_.reg0, 0x5C);
        EXPECT_EQ(device_.poll_step_, 2u);
        EXPECT_EQ(sentFrames(), std::vector<std::string>{frame(0x41, 2)});
        EXPECT_EQ(device_.rx_len_, 0u);
    }
}

// First pairs that are not two hex digits, among them the characters right
// next to the digit and letter ranges.
class NotHex : public ReplyFraming, public ::testing::WithParamInterface<std::string> {};

TEST_P(NotHex, StallsTheRoundWithoutStoringAnything)
{
    const RegisterImage image = distinctImage();
    startRound(image, 20);
    const Snapshot before = snapshot();

    EXPECT_EQ(feedBytes(GetParam() + "00"), 0);
    EXPECT_TRUE(snapshot() == before) << "nothing stored, no request sent";
    EXPECT_EQ(device_.rx_len_, 0u);
    EXPECT_EQ(count("Reset"), 1u);

    // A new round recovers.
    runRound(device_, image);
    EXPECT_EQ(count("SendSP"), 1u);
    EXPECT_EQ(device_.data_.reg64, image[64]);
}

INSTANTIATE_TEST_SUITE_P(
    FirstPair, NotHex,
    ::testing::Values("G0", "0G", "g0", "0g", "/0", "0/", ":0", "0:", "@0", "0@", "`0", "0`",
                      " 1", "1 ", "+1", "-1", "0x", std::string("\0" "1", 2),
                      std::string("1\0", 2), "\xff\xff", "\xc1\xa1"),
    [](const auto& info) { return "case" + std::to_string(info.index); });

}  // namespace
