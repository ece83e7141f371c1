// The driver object: its defaults, the device address from the configuration,
// the 65 request frames built from it, and the start of a round.

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/value.h>

#include "kel36/kel36.h"
#include "tests/foundation/host_fixture.h"

namespace {

using foundation::bytesOf;
using foundation::json;

// Written out digit by digit rather than with the driver's printf format.
std::string hex2(unsigned byte)
{
    static const char digits[] = "0123456789ABCDEF";
    return {digits[(byte >> 4) & 0xF], digits[byte & 0xF]};
}

std::string expectedFrame(unsigned addr, unsigned reg)
{
    return "|" + hex2(addr ^ 0x9E) + hex2(0x9E ^ 0xC8) + hex2(0x9E ^ reg);
}

std::string sentText(const kelhost::HostCall& call)
{
    return std::string(call.bytes.begin(), call.bytes.end());
}

void expectTableFor(const Kel36& device, unsigned addr)
{
    for (unsigned reg = 0; reg < 65; ++reg) {
        SCOPED_TRACE("register " + std::to_string(reg));
        ASSERT_EQ(std::strlen(device.cmd_table_[reg]), 7u);
        EXPECT_EQ(std::string(device.cmd_table_[reg]), expectedFrame(addr, reg));
    }
}

class DriverObject : public foundation::HostCallTest {
protected:
    Kel36 device_;
};

TEST_F(DriverObject, ConstructorDefaults)
{
    EXPECT_EQ(device_.DeviceType(), "kel36");
    EXPECT_EQ(device_.baud_rate_, 19200);
    EXPECT_EQ(device_.port_setting_, 2);
    EXPECT_EQ(device_.addr_, 0x41);
    EXPECT_EQ(device_.xor_mask_, 0x9E);
    EXPECT_EQ(device_.b_mode_, 1);
    EXPECT_EQ(bytesOf(device_.data_), std::vector<unsigned char>(100, 0));
    EXPECT_FALSE(device_.data_valid_);
    EXPECT_TRUE(device_.alarm_ids_.empty());
    EXPECT_TRUE(device_.signal_names_.empty());
    EXPECT_TRUE(log_.calls().empty());
}

TEST_F(DriverObject, RoundBeforeAnyConfigurationSendsDefaultAddressFrame)
{
    expectTableFor(device_, 0x41);
    EXPECT_EQ(device_.RefreshStatus(), 1);
    const auto sent = log_.callsOf("SendData");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sentText(sent[0]), "|DF569E");
}

struct AddressCase {
    const char* config;
    unsigned addr;
};

class AddressFromConfig : public DriverObject, public testing::WithParamInterface<AddressCase> {};

TEST_P(AddressFromConfig, EveryFrameCarriesTheAddress)
{
    device_.data_id_ = 0xA1B2C3D4u;
    ASSERT_EQ(device_.InitSetting(json(GetParam().config)), 1);
    EXPECT_EQ(device_.addr_, GetParam().addr);
    expectTableFor(device_, GetParam().addr);
    const std::vector<unsigned char> record = bytesOf(device_.data_);
    EXPECT_EQ(std::vector<unsigned char>(record.begin(), record.begin() + 4),
              (std::vector<unsigned char>{0xD4, 0xC3, 0xB2, 0xA1}));
    // The driver replaces the whole configuration step: nothing of the host's
    // own InitSetting, no mode or threshold entries.
    EXPECT_TRUE(log_.callsOf("InitSetting").empty());
    EXPECT_EQ(device_.b_mode_, 1);
    EXPECT_TRUE(device_.alarm_ids_.empty());
}

INSTANTIATE_TEST_SUITE_P(FrameTable, AddressFromConfig,
                         testing::Values(
                             // Nothing usable configured: the default address stays.
                             AddressCase{"null", 0x41}, AddressCase{"{}", 0x41},
                             AddressCase{"[1, 2]", 0x41}, AddressCase{"\"text\"", 0x41},
                             AddressCase{R"({"appSetting": "7"})", 0x41},
                             AddressCase{R"({"appSetting": [7]})", 0x41},
                             AddressCase{R"({"appSetting": {}})", 0x41},
                             AddressCase{R"({"appSetting": {"addr": null}})", 0x41},
                             // Decimal text read as atof reads it, truncated, low 8 bits.
                             AddressCase{R"({"appSetting": {"addr": "7"}})", 0x07},
                             AddressCase{R"({"appSetting": {"addr": "7.99"}})", 0x07},
                             AddressCase{R"({"appSetting": {"addr": "65"}})", 0x41},
                             AddressCase{R"({"appSetting": {"addr": "65.9"}})", 0x41},
                             AddressCase{R"({"appSetting": {"addr": "  12xyz"}})", 0x0C},
                             AddressCase{R"({"appSetting": {"addr": "-1"}})", 0xFF},
                             AddressCase{R"({"appSetting": {"addr": "-1.5"}})", 0xFF},
                             AddressCase{R"({"appSetting": {"addr": "-129"}})", 0x7F},
                             AddressCase{R"({"appSetting": {"addr": "256"}})", 0x00},
                             AddressCase{R"({"appSetting": {"addr": "2147483647"}})", 0xFF},
                             AddressCase{R"({"appSetting": {"addr": "-2147483648"}})", 0x00},
                             // No number, or none that fits an integer: address 0.
                             AddressCase{R"({"appSetting": {"addr": "abc"}})", 0x00},
                             AddressCase{R"({"appSetting": {"addr": ""}})", 0x00},
                             AddressCase{R"({"appSetting": {"addr": "nan"}})", 0x00},
                             AddressCase{R"({"appSetting": {"addr": "inf"}})", 0x00},
                             AddressCase{R"({"appSetting": {"addr": "-inf"}})", 0x00},
                             AddressCase{R"({"appSetting": {"addr": "1e300"}})", 0x00},
                             AddressCase{R"({"appSetting": {"addr": "4294967361"}})", 0x00},
                             // JSON numbers go through the JSON library's string form.
                             AddressCase{R"({"appSetting": {"addr": 7}})", 0x07},
                             AddressCase{R"({"appSetting": {"addr": 65.9}})", 0x41},
                             AddressCase{R"({"appSetting": {"addr": true}})", 0x00}));

TEST_F(DriverObject, SecondConfigurationReplacesTheAddress)
{
    ASSERT_EQ(device_.InitSetting(json(R"({"appSetting": {"addr": "7"}})")), 1);
    ASSERT_EQ(device_.InitSetting(json(R"({"appSetting": {"addr": "200"}})")), 1);
    expectTableFor(device_, 200);
    device_.RefreshStatus();
    EXPECT_EQ(sentText(log_.callsOf("SendData").at(0)), expectedFrame(200, 0));

    // A later configuration without an address keeps the configured one.
    ASSERT_EQ(device_.InitSetting(json("{}")), 1);
    expectTableFor(device_, 200);
}

TEST_F(DriverObject, DataIdentifierIsRewrittenOnEveryConfiguration)
{
    device_.data_id_ = 1;
    device_.InitSetting(json("{}"));
    device_.data_id_ = 0x00FF0102u;
    device_.InitSetting(json("{}"));
    const std::vector<unsigned char> record = bytesOf(device_.data_);
    EXPECT_EQ(std::vector<unsigned char>(record.begin(), record.begin() + 4),
              (std::vector<unsigned char>{0x02, 0x01, 0xFF, 0x00}));
    EXPECT_EQ(std::vector<unsigned char>(record.begin() + 4, record.end()),
              std::vector<unsigned char>(96, 0));
}

TEST_F(DriverObject, AddressWithoutStringFormLetsTheJsonErrorOutAndKeepsFrames)
{
    ASSERT_EQ(device_.InitSetting(json(R"({"appSetting": {"addr": "7"}})")), 1);
    for (const char* config :
         {R"({"appSetting": {"addr": [1]}})", R"({"appSetting": {"addr": {"a": 1}}})"}) {
        SCOPED_TRACE(config);
        EXPECT_THROW(device_.InitSetting(json(config)), Json::LogicError);
        EXPECT_EQ(device_.addr_, 0x07);
        expectTableFor(device_, 0x07);
    }
}

TEST_F(DriverObject, RefreshStatusRestartsAtRegisterZeroEvenMidRound)
{
    device_.InitSetting(json(R"({"appSetting": {"addr": "3"}})"));
    device_.poll_step_ = 17;
    device_.rx_len_ = 2;
    EXPECT_EQ(device_.RefreshStatus(), 1);
    EXPECT_EQ(device_.poll_step_, 1u);
    EXPECT_EQ(device_.rx_len_, 0u);
    EXPECT_EQ(log_.ops(), (std::vector<std::string>{"RefreshStatus", "SendData"}));
    const kelhost::HostCall sent = log_.callsOf("SendData").at(0);
    EXPECT_EQ(sent.args, std::vector<std::string>{"7"});
    EXPECT_EQ(sentText(sent), expectedFrame(3, 0));
}

}  // namespace
