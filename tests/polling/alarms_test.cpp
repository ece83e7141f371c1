// RunCheckThreshold: five status bits and the battery voltage handed to the
// host's checks every round, with their names, codes, texts and sequence numbers.

#include <gtest/gtest.h>

#include <array>

#include "driver_fixture.h"

using namespace polltest;

namespace {

struct BitAlarm {
    const char* name;
    const char* code;
    const char* text;
};
const BitAlarm kBitAlarms[] = {
    {"a_5", "05004", "高水温告警"}, {"a_6", "05001", "超速告警"}, {"a_7", "05010", "低油压告警"},
    {"b_2", "05029", "频率低告警"}, {"b_6", "05024", "短路告警"},
};

using States = std::array<bool, 5>;

struct StatusCase {
    uint8_t status_a;
    uint8_t status_b;
    States states;
};

class Alarms : public DriverTest {
protected:
    // The six checks of the last round in the log, in order.
    void expectChecks(const States& states, float battery, const std::string& context)
    {
        const auto bools = log_.callsOf("CheckThresholdBool");
        const auto analogue = log_.callsOf("CheckThreshold");
        ASSERT_EQ(bools.size(), 5u) << context;
        ASSERT_EQ(analogue.size(), 1u) << context;
        for (std::size_t i = 0; i < 5; ++i) {
            const BitAlarm& a = kBitAlarms[i];
            EXPECT_EQ(bools[i].args,
                      (std::vector<std::string>{"1", a.name, a.code, a.text, a.text,
                                                states[i] ? "true" : "false",
                                                std::to_string(i + 1)}))
                << context;
        }
        EXPECT_EQ(analogue[0].args, (std::vector<std::string>{"battery_voltage", "电池电压", "6"}))
            << context;
        EXPECT_EQ(analogue[0].value, battery) << context;

        // The checks come after the record was sent, and before it is saved.
        const auto ops = log_.ops();
        std::vector<std::string> checks;
        for (const std::string& op : ops)
            if (op == "CheckThresholdBool" || op == "CheckThreshold" || op == "SendSP" ||
                op == "SaveDeviceHistory")
                checks.push_back(op);
        EXPECT_EQ(checks, (std::vector<std::string>{"SendSP", "CheckThresholdBool",
                                                    "CheckThresholdBool", "CheckThresholdBool",
                                                    "CheckThresholdBool", "CheckThresholdBool",
                                                    "CheckThreshold", "SaveDeviceHistory"}))
            << context;
    }
};

class StatusBits : public Alarms, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusBits, ArePassedWithIdentityTextAndStateEveryRound)
{
    const StatusCase& c = GetParam();
    RegisterImage image = distinctImage();
    image[34] = c.status_a;
    image[35] = c.status_b;
    const float battery = (static_cast<float>(image[29]) + static_cast<float>(image[29])) / 10.0f;
    for (int round = 1; round <= 2; ++round) {
        log_.clear();
        runRound(device_, image);
        expectChecks(c.states, battery, "round " + std::to_string(round));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Registers34And35, StatusBits,
    ::testing::Values(StatusCase{0xE0, 0x44, {true, true, true, true, true}},
                      StatusCase{0x1F, 0xBB, {false, false, false, false, false}},
                      StatusCase{0x00, 0x00, {false, false, false, false, false}},
                      StatusCase{0x20, 0x00, {true, false, false, false, false}},
                      StatusCase{0x40, 0x00, {false, true, false, false, false}},
                      StatusCase{0x80, 0x00, {false, false, true, false, false}},
                      StatusCase{0x00, 0x04, {false, false, false, true, false}},
                      StatusCase{0x00, 0x40, {false, false, false, false, true}},
                      StatusCase{0x44, 0xE0, {false, true, false, false, true}}));

TEST_F(Alarms, ZeroBatteryVoltageIsCheckedLikeAnyOther)
{
    RegisterImage image = filledImage(0);
    runRound(device_, image);
    expectChecks({false, false, false, false, false}, 0.0f, "all registers zero");
}

TEST_F(Alarms, ChecksRunOnTheRestoredRecordAfterLoadingTheCache)
{
    RecordBytes cached{};
    cached[59] = 0xA0;  // a_5, a_7
    cached[60] = 0x04;  // b_2
    writeFloat(cached.data(), 48, 27.4f);
    ASSERT_EQ(device_.LoadFromCache(cached.data(), static_cast<int>(cached.size())), 1);
    expectChecks({true, false, true, true, false}, 27.4f, "after the cache restore");
}

}  // namespace
