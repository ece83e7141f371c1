// Get_Value: the refusal ladder (not ready, timed out, unsupported), the
// freshness boundary, exact names, and the values it answers.

#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include <stdexcept>

#include "driver_fixture.h"

using namespace polltest;
namespace pt = boost::posix_time;

namespace {

const std::string kNotReady = "数据未就绪";
const std::string kTimedOut = "数据已超时";
const std::string kUnsupported = "不支持变量";

struct Lookup {
    const char* name;
    std::size_t offset;
};
const Lookup kLookups[] = {{"uab", 5},       {"ubc", 9}, {"uca", 13}, {"frequency", 17},
                           {"ua", 21},       {"ub", 25}, {"uc", 29}};

class ValueLookup : public DriverTest {
protected:
    // The refusal message, or "" when a value came back.
    std::string refusal(const std::string& name, unsigned index = 0) const
    {
        try {
            device_.Get_Value(index, name);
            return "";
        } catch (const std::out_of_range& e) {
            return e.what();
        }
    }

    pt::ptime now() const { return pt::second_clock::local_time(); }

    // Sets the last round `age` seconds back and looks a value up; retried
    // until the clock did not tick in between, so the age seen is exact.
    std::string refusalAtAge(long age)
    {
        for (int attempt = 0; attempt < 10; ++attempt) {
            const pt::ptime before = now();
            device_.last_time_ = before - pt::seconds(age);
            const std::string result = refusal("uab");
            if (now() == before)
                return result;
        }
        ADD_FAILURE() << "the clock ticked during every attempt";
        return "?";
    }
};

TEST_F(ValueLookup, RefusesInLadderOrder)
{
    // Not ready comes first, whatever the name.
    for (const char* name : {"uab", "frequency", "nonsense", ""})
        EXPECT_EQ(refusal(name), kNotReady) << name;

    runRound(device_, distinctImage());
    EXPECT_EQ(refusal("uab"), "");
    EXPECT_EQ(refusal("nonsense"), kUnsupported);

    device_.last_time_ = now() - pt::seconds(120);
    for (const char* name : {"uab", "frequency", "nonsense", ""})
        EXPECT_EQ(refusal(name), kTimedOut) << name;

    device_.data_valid_ = false;
    EXPECT_EQ(refusal("nonsense"), kNotReady) << "readiness is judged before age";
}

TEST_F(ValueLookup, AnswersEachNameFromItsOwnField)
{
    const RegisterImage image = distinctImage();
    runRound(device_, image);
    const RecordBytes want = expectedRecord(image, 0);
    for (const Lookup& lookup : kLookups) {
        for (unsigned index : {0u, 5058u, 4294967295u}) {
            EXPECT_EQ(device_.Get_Value(index, lookup.name), readFloat(want.data(), lookup.offset))
                << lookup.name << " with first argument " << index;
        }
    }
}

TEST_F(ValueLookup, DataUpToSixtySecondsOldIsFresh)
{
    runRound(device_, distinctImage());
    EXPECT_EQ(refusalAtAge(0), "");
    EXPECT_EQ(refusalAtAge(59), "");
    EXPECT_EQ(refusalAtAge(60), "") << "exactly 60 seconds still passes";
    // A clock tick between setting and looking up only makes the data older,
    // so these cannot pass by accident.
    device_.last_time_ = now() - pt::seconds(61);
    EXPECT_EQ(refusal("uab"), kTimedOut);
    device_.last_time_ = now() - pt::hours(24 * 400);
    EXPECT_EQ(refusal("uab"), kTimedOut);
}

TEST_F(ValueLookup, LastRoundInTheFuturePasses)
{
    runRound(device_, distinctImage());
    for (long ahead : {1L, 61L, 86400L * 365}) {
        device_.last_time_ = now() + pt::seconds(ahead);
        EXPECT_EQ(refusal("uab"), "") << ahead << " s ahead (clock set back)";
    }
}

TEST_F(ValueLookup, NamesMatchExactly)
{
    runRound(device_, distinctImage());
    const std::string names[] = {"UAB",     "Uab",          "uab ",      " uab",
                                 "",        "u",            "ua ",       "Frequency",
                                 "freq",    "frequencyy",   "uabc",      std::string("uab\0", 4),
                                 "battery_voltage", "a_5",  "a_6",       "a_7",
                                 "b_2",     "b_6",          "reg0",      "status_a"};
    for (const std::string& name : names)
        EXPECT_EQ(refusal(name), kUnsupported) << "'" << name << "'";
}

TEST_F(ValueLookup, AnswersRestoredValuesAfterLoadingTheCache)
{
    RecordBytes cached{};
    const float values[] = {231.5f, 232.25f, 233.75f, 49.9f, 133.0f, 134.0f, 135.0f};
    for (std::size_t i = 0; i < 7; ++i)
        writeFloat(cached.data(), kLookups[i].offset, values[i]);
    ASSERT_EQ(refusal("uab"), kNotReady);

    ASSERT_EQ(device_.LoadFromCache(cached.data(), static_cast<int>(cached.size())), 1);
    for (std::size_t i = 0; i < 7; ++i)
        EXPECT_EQ(device_.Get_Value(0, kLookups[i].name), values[i]) << kLookups[i].name;
}

}  // namespace
