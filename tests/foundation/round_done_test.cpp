// Round completion: what the host sees, in which order, at the end of every
// polling round (and of every accepted cache load).

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/device_state.h"
#include "kel36/kel36.h"
#include "tests/foundation/host_fixture.h"

namespace {

using foundation::bytesOf;
using foundation::slice;
using foundation::ttimeBytes;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class RoundDone : public foundation::HostCallTest {
protected:
    RoundDone() { device_.data_id_ = 0x01020304u; }

    // Runs one round completion and returns what it wrote to standard output.
    std::string completeRound()
    {
        CaptureStdout();
        device_.RoundDone();
        return GetCapturedStdout();
    }

    Kel36 device_;
};

TEST_F(RoundDone, HostCallsComeInContractOrder)
{
    device_.ao_names_ = {"ua", "not-kept", "ub"};
    device_.ao_values_ = {{"ua", 1.5f}, {"ub", -2.25f}, {"unlisted", 9.0f}};
    completeRound();

    const std::vector<std::string> expected = {
        "get_ttime",
        "SendSP",
        "Reset",
        "CheckThresholdBool",
        "CheckThresholdBool",
        "CheckThresholdBool",
        "CheckThresholdBool",
        "CheckThresholdBool",
        "CheckThreshold",
        "CheckAOReport",
        "CheckThreshold",
        "CheckAOReport",
        "CheckThreshold",
        "DoBatchCheckThreshold",
        "SaveDeviceHistory",
    };
    EXPECT_EQ(log_.ops(), expected);

    const std::vector<kelhost::HostCall> calls = log_.calls();
    ASSERT_EQ(calls.size(), expected.size());
    EXPECT_EQ(calls[1].args, (std::vector<std::string>{"5058", "100", "false"}));
    EXPECT_EQ(calls[9].args, std::vector<std::string>{"ua"});
    EXPECT_EQ(calls[9].value, 1.5f);
    EXPECT_EQ(calls[10].args, (std::vector<std::string>{"ua", "", "1"}));
    EXPECT_EQ(calls[10].value, 1.5f);
    EXPECT_EQ(calls[11].args, std::vector<std::string>{"ub"});
    EXPECT_EQ(calls[12].args, (std::vector<std::string>{"ub", "", "1"}));
    EXPECT_EQ(calls[12].value, -2.25f);
    EXPECT_EQ(calls[14].args, std::vector<std::string>{"100"});
    // A listed name without a value is neither checked nor entered.
    EXPECT_EQ(device_.ao_values_.size(), 3u);
    EXPECT_EQ(device_.ao_values_.count("not-kept"), 0u);
}

TEST_F(RoundDone, ThresholdCheckGetsTheValueHeldByTheHost)
{
    struct AddressLog : kelhost::CallLog {
        std::vector<const float*> addresses;
        void onCheckThreshold(ZRNVDevice& dev, const std::string& name, const std::string& text,
                              const float& value, int seq) override
        {
            addresses.push_back(&value);
            CallLog::onCheckThreshold(dev, name, text, value, seq);
        }
    } observer;
    kelhost::attachObserver(device_, &observer);
    device_.ao_names_ = {"ua"};
    device_.ao_values_ = {{"ua", 3.0f}};
    completeRound();
    ASSERT_EQ(observer.addresses.size(), 2u);  // battery, then ua
    EXPECT_EQ(observer.addresses[1], &device_.ao_values_.at("ua"));
}

TEST_F(RoundDone, CountsPendingBatchItemsOnStdoutAndEmptiesThem)
{
    device_.rule_values_.resize(3);
    EXPECT_EQ(completeRound(), "rvSize is 3\n");
    EXPECT_TRUE(device_.rule_values_.empty());
    EXPECT_EQ(log_.callsOf("DoBatchCheckThreshold").at(0).args, std::vector<std::string>{"3"});

    log_.clear();
    EXPECT_EQ(completeRound(), "rvSize is 0\n");
    const auto batch = log_.callsOf("DoBatchCheckThreshold");
    ASSERT_EQ(batch.size(), 1u);  // called with the empty list too
    EXPECT_EQ(batch[0].args, std::vector<std::string>{"0"});
}

TEST_F(RoundDone, ReportFlagReflectsOnlyThisRoundsAnswers)
{
    struct Case {
        const char* what;
        std::map<std::string, bool> ao_answers;
        bool batch_answer;
        bool expected;
    };
    const Case cases[] = {
        {"every check says no", {}, false, false},
        {"first value reported", {{"ua", true}}, false, true},
        {"a later no keeps an earlier yes", {{"ua", true}, {"ub", false}}, false, true},
        {"last value reported", {{"ub", true}}, false, true},
        {"batch check reported", {}, true, true},
        {"unlisted names do not count", {{"unlisted", true}}, false, false},
    };
    device_.ao_names_ = {"ua", "ub"};
    device_.ao_values_ = {{"ua", 1.0f}, {"ub", 2.0f}, {"unlisted", 3.0f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        log_.ao_report_answers = c.ao_answers;
        log_.batch_answer = c.batch_answer;
        device_.report_flag_ = true;  // left over from an earlier round
        completeRound();
        EXPECT_EQ(device_.report_flag_, c.expected);
    }
}

TEST_F(RoundDone, DriverChecksAreNumberedFromOneEveryRound)
{
    for (unsigned short leftover : {0, 500, 65535}) {
        SCOPED_TRACE(leftover);
        log_.clear();
        device_.check_seq_ = leftover;
        completeRound();
        std::vector<std::string> seqs;
        for (const kelhost::HostCall& c : log_.callsOf("CheckThresholdBool"))
            seqs.push_back(c.args.back());
        seqs.push_back(log_.callsOf("CheckThreshold").at(0).args.back());
        EXPECT_EQ(seqs, (std::vector<std::string>{"1", "2", "3", "4", "5", "6"}));
    }
}

TEST_F(RoundDone, FirstRoundSendsZerosBesideIdentifierAndTime)
{
    ASSERT_EQ(device_.InitSetting(Json::Value()), 1);
    completeRound();
    const auto sent = log_.callsOf("SendSP");
    ASSERT_EQ(sent.size(), 1u);
    const std::vector<unsigned char>& bytes = sent[0].bytes;
    ASSERT_EQ(bytes.size(), 100u);
    EXPECT_EQ(slice(bytes, 0, 4), (std::vector<unsigned char>{0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(slice(bytes, 4, 93), std::vector<unsigned char>(89, 0));
    EXPECT_TRUE(device_.data_valid_);
    EXPECT_EQ(slice(bytes, 93, 100), ttimeBytes(device_.last_time_));
    EXPECT_EQ(log_.callsOf("SaveDeviceHistory").at(0).bytes, bytes);
    EXPECT_EQ(bytesOf(device_.data_), bytes);
}

// The host's own checks may change its lists while the round walks them; the
// round must neither read freed memory nor check names that were not listed
// when it began.
TEST_F(RoundDone, HostChangingItsListsDuringTheChecksIsSafe)
{
    struct Meddler : kelhost::CallLog {
        bool onCheckAOReport(ZRNVDevice& dev, const std::string& name, float value) override
        {
            for (int i = 0; i < 64; ++i)
                dev.ao_names_.push_back("late" + std::to_string(i));
            dev.ao_values_.erase(name);
            return CallLog::onCheckAOReport(dev, name, value);
        }
    } meddler;
    kelhost::attachObserver(device_, &meddler);
    device_.ao_names_ = {"ua", "ub"};
    device_.ao_values_ = {{"ua", 1.0f}, {"ub", 2.0f}};
    completeRound();
    std::vector<std::string> checked;
    for (const kelhost::HostCall& c : meddler.callsOf("CheckAOReport"))
        checked.push_back(c.args.at(0));
    EXPECT_EQ(checked, (std::vector<std::string>{"ua", "ub"}));
    const auto thresholds = meddler.callsOf("CheckThreshold");
    ASSERT_EQ(thresholds.size(), 3u);
    EXPECT_EQ(thresholds[1].value, 1.0f);
    EXPECT_EQ(thresholds[2].value, 2.0f);
}

}  // namespace
