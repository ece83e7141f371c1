// One whole polling round through kel36.so loaded the way the host loads it:
// every request on the wire, every field of the published record, and the
// round completion happening exactly once.

#include <algorithm>

#include <gtest/gtest.h>
#include <json/value.h>

#include "framework/ttime.h"
#include "plugin_fixture.h"

using namespace polltest;

namespace {

class PluginRound : public PluginDeviceTest {
protected:
    void SetUp() override
    {
        PluginDeviceTest::SetUp();
        if (HasFatalFailure())
            return;
        device_->data_id_ = kDataId;
        Json::Value app;
        app["addr"] = "7";
        configure(app);
    }

    static constexpr uint32_t kDataId = 0x1A2B3C4D;
    static constexpr uint8_t kAddress = 7;
};

TEST_F(PluginRound, SendsSixtyThreeRequestsInRegisterOrder)
{
    const RegisterImage image = distinctImage();
    serial_->RefreshStatus();
    const std::vector<std::string> first = sentFrames();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0], frame(kAddress, 0)) << "RefreshStatus asks for register 0";
    log_.clear();

    const std::vector<unsigned> steps = roundSteps();
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const int result = feed(*serial_, reply(image[registerOfStep(steps[i])], hex2(i * 7)));
        EXPECT_EQ(result, steps[i] == kLastStep ? 0 : 1) << "step " << steps[i];
    }

    const std::vector<unsigned> regs = roundRegisters();
    std::vector<std::string> expected;
    for (std::size_t i = 1; i < regs.size(); ++i)
        expected.push_back(frame(kAddress, regs[i]));
    const std::vector<std::string> frames = sentFrames();
    ASSERT_EQ(frames.size(), 62u);
    EXPECT_EQ(frames, expected) << "registers 2..50 and 52..64, never 1 or 51";
    for (const std::string& f : frames) {
        EXPECT_NE(f, frame(kAddress, 1));
        EXPECT_NE(f, frame(kAddress, 51));
    }
    EXPECT_EQ(serial_->poll_step_, kLastStep);
}

TEST_F(PluginRound, PublishesEveryFieldOnceAsTheRegisterMapComputesIt)
{
    const RegisterImage image = distinctImage();
    const RecordBytes want = expectedRecord(image, kDataId);
    // Two fields with equal values could hide a swapped offset or holder.
    const auto& fields = recordFields();
    for (std::size_t i = 0; i < fields.size(); ++i)
        for (std::size_t j = i + 1; j < fields.size(); ++j) {
            if (fields[i].kind != fields[j].kind || fields[i].kind == Kind::Time)
                continue;
            ASSERT_NE(describe(fields[i], want.data()), describe(fields[j], want.data()))
                << "test image gives " << fields[i].name << " and " << fields[j].name
                << " the same value";
        }

    const std::vector<int> results = runRound(*serial_, image);
    ASSERT_EQ(results.back(), 0) << "the last step completes the round";

    const auto sends = log_.callsOf("SendSP");
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].args, (std::vector<std::string>{"5058", "100", "false"}));
    ASSERT_EQ(sends[0].bytes.size(), kRecordSize);
    const auto saves = log_.callsOf("SaveDeviceHistory");
    ASSERT_EQ(saves.size(), 1u);
    EXPECT_EQ(saves[0].bytes, sends[0].bytes) << "the history gets the published record";
    EXPECT_EQ(log_.callsOf("get_ttime").size(), 1u);

    const unsigned char* got = sends[0].bytes.data();
    for (const FieldSpec& field : recordFields()) {
        if (field.kind == Kind::Time)
            continue;
        EXPECT_EQ(describe(field, got), describe(field, want.data())) << field.name;
    }
    // The bytes that encode the time value are what the host made of last_time_.
    kelhost::setDefaultObserver(nullptr);
    const ttime_t stamp = get_ttime(device_->last_time_);
    EXPECT_TRUE(std::equal(stamp.begin(), stamp.end(), got + kTimeOffset));
    EXPECT_EQ(serial_->poll_step_, kLastStep);
}

}  // namespace
