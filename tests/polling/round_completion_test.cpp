// Round completion as the loaded plug-in runs it at the end of a polled round:
// where the alarm checks leave their sequence number, and that an exception
// from a host check leaves the round's remaining work undone.

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "plugin_fixture.h"

using namespace polltest;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using RoundCompletion = PluginDeviceTest;

TEST_F(RoundCompletion, AlarmChecksLeaveTheSequenceNumberAtSeven)
{
    for (std::size_t round = 1; round <= 2; ++round) {
        runRound(*serial_, distinctImage());
        ASSERT_EQ(count("SendSP"), round);
        EXPECT_EQ(device_->check_seq_, 7) << "after round " << round;
    }
    const RecordBytes cached{};
    ASSERT_EQ(device_->LoadFromCache(cached.data(), static_cast<int>(cached.size())), 1);
    EXPECT_EQ(device_->check_seq_, 7) << "after a cache load";
}

TEST_F(RoundCompletion, ExceptionFromAHostCheckLeavesTheRoundUnfinished)
{
    // The host's check of the third alarm fails.
    struct FailingHost : kelhost::CallLog {
        void onCheckThresholdBool(ZRNVDevice& dev, int kind, const std::string& name,
                                  const std::string& code, const std::string& text,
                                  const std::string& text2, bool state, unsigned short seq) override
        {
            CallLog::onCheckThresholdBool(dev, kind, name, code, text, text2, state, seq);
            if (name == "a_7")
                throw std::runtime_error("host check failed");
        }
    } host;
    kelhost::attachObserver(*device_, &host);
    device_->ao_names_ = {"ua"};
    device_->ao_values_ = {{"ua", 230.0f}};
    device_->rule_values_.resize(2);

    CaptureStdout();
    bool thrown = false;
    try {
        runRound(*serial_, distinctImage());
    } catch (const std::runtime_error&) {
        thrown = true;
    }
    EXPECT_EQ(GetCapturedStdout(), "") << "the batch count was written";
    EXPECT_TRUE(thrown) << "the host's exception did not reach the caller";

    auto made = [&](const char* op) { return host.callsOf(op).size(); };
    EXPECT_EQ(made("SendSP"), 1u) << "the record goes out before the checks";
    EXPECT_EQ(made("CheckThresholdBool"), 3u) << "checks after the failing one were made";
    EXPECT_EQ(made("CheckThreshold"), 0u) << "battery or analogue check made";
    EXPECT_EQ(made("CheckAOReport"), 0u);
    EXPECT_EQ(made("DoBatchCheckThreshold"), 0u);
    EXPECT_EQ(made("SaveDeviceHistory"), 0u) << "the round was stored in the history";
    EXPECT_EQ(device_->rule_values_.size(), 2u) << "pending batch items were emptied";
}

}  // namespace
