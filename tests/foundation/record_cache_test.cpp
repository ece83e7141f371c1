// The 100-byte record is an exchange format: its layout, and restoring it from
// the host's cache, which ends like a polled round.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <gtest/gtest.h>

#include "kel36/kel36.h"
#include "tests/foundation/host_fixture.h"

namespace {

using foundation::bytesOf;
using foundation::slice;
using foundation::ttimeBytes;

struct FieldRow {
    const char* name;
    std::size_t offset;
    std::size_t width;
    std::size_t expected_offset;
};

#define FIELD(f, at) fieldRow(#f, offsetof(Kel36_Data_t, f), sizeof(Kel36_Data_t::f), at)

FieldRow fieldRow(const char* name, std::size_t offset, std::size_t width, std::size_t expected)
{
    return FieldRow{name, offset, width, expected};
}

const FieldRow kFields[] = {
    FIELD(data_id, 0),
    FIELD(reg0, 4),
    FIELD(uab, 5),
    FIELD(ubc, 9),
    FIELD(uca, 13),
    FIELD(frequency, 17),
    FIELD(ua, 21),
    FIELD(ub, 25),
    FIELD(uc, 29),
    FIELD(reg13, 33),
    FIELD(digits_r14_r19, 37),
    FIELD(digits_r20_r25, 41),
    FIELD(reg26, 45),
    FIELD(pair_r27_r28, 46),
    FIELD(battery_voltage, 48),
    FIELD(reg30, 52),
    FIELD(reg31, 56),
    FIELD(reg32, 57),
    FIELD(reg33, 58),
    FIELD(status_a, 59),
    FIELD(status_b, 60),
    FIELD(reg36, 61),
    FIELD(reg37, 62),
    FIELD(reg38, 63),
    FIELD(reg39, 64),
    FIELD(reg40, 65),
    FIELD(reg41, 66),
    FIELD(pair_r45_r42, 67),
    FIELD(pair_r46_r43, 71),
    FIELD(pair_r47_r44, 75),
    FIELD(reg48, 79),
    FIELD(reg49, 80),
    FIELD(reg50, 81),
    FIELD(digits_r52_r57, 82),
    FIELD(pair_r59_r58, 86),
    FIELD(reg60, 88),
    FIELD(reg61, 89),
    FIELD(reg62, 90),
    FIELD(reg63, 91),
    FIELD(reg64, 92),
    FIELD(ttime, 93),
};

#undef FIELD

TEST(RecordLayout, FieldsTileTheHundredBytesInOrder)
{
    ASSERT_EQ(sizeof(Kel36_Data_t), 100u);
    std::size_t next = 0;
    for (const FieldRow& f : kFields) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(f.offset, f.expected_offset);
        EXPECT_EQ(f.offset, next) << "gap or overlap before the field";
        next = f.offset + f.width;
    }
    EXPECT_EQ(next, 100u);
}

// A cache image whose every byte differs, floats with awkward bit patterns
// (signalling NaN, negative zero, a denormal) that a float round trip through
// registers could alter.
std::vector<unsigned char> cachedImage()
{
    std::vector<unsigned char> image(100);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<unsigned char>(0x5A ^ (i * 37));
    const uint32_t patterns[][2] = {
        {offsetof(Kel36_Data_t, uab), 0x7FA00001u},        // signalling NaN
        {offsetof(Kel36_Data_t, frequency), 0x80000000u},  // -0.0
        {offsetof(Kel36_Data_t, ua), 0x00000001u},         // smallest denormal
        {offsetof(Kel36_Data_t, battery_voltage), 0xFFC00123u},
    };
    for (const auto& p : patterns)
        for (int b = 0; b < 4; ++b)
            image[p[0] + b] = static_cast<unsigned char>(p[1] >> (8 * b));
    return image;
}

class CacheRestore : public foundation::HostCallTest {
protected:
    CacheRestore() { device_.data_id_ = 7; }

    Kel36 device_;
};

TEST_F(CacheRestore, AcceptedImageKeepsBytes0To92AndRenewsTheTime)
{
    const std::vector<unsigned char> image = cachedImage();
    const auto before = boost::posix_time::second_clock::local_time();
    ASSERT_EQ(device_.LoadFromCache(image.data(), 100), 1);
    const auto after = boost::posix_time::second_clock::local_time();

    const std::vector<unsigned char> record = bytesOf(device_.data_);
    EXPECT_EQ(slice(record, 0, 93), slice(image, 0, 93));
    EXPECT_TRUE(device_.data_valid_);
    EXPECT_LE(before, device_.last_time_);
    EXPECT_LE(device_.last_time_, after);
    EXPECT_EQ(slice(record, 93, 100), ttimeBytes(device_.last_time_));
    EXPECT_NE(slice(record, 93, 100), slice(image, 93, 100));
    // The cached identifier is taken over as it is.
    EXPECT_EQ(slice(record, 0, 4), slice(image, 0, 4));
    EXPECT_EQ(device_.DataId(), 7u);
}

TEST_F(CacheRestore, AcceptedImageIsSentAndSavedOnceAfterTheChecks)
{
    const std::vector<unsigned char> image = cachedImage();
    ASSERT_EQ(device_.LoadFromCache(image.data(), 100), 1);

    const auto sent = log_.callsOf("SendSP");
    const auto saved = log_.callsOf("SaveDeviceHistory");
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(sent[0].args, (std::vector<std::string>{"5058", "100", "false"}));
    EXPECT_EQ(saved[0].args, (std::vector<std::string>{"100"}));
    EXPECT_EQ(sent[0].bytes, bytesOf(device_.data_));
    EXPECT_EQ(saved[0].bytes, bytesOf(device_.data_));
    // The driver's alarm evaluation ran once on the restored values.
    EXPECT_EQ(log_.callsOf("CheckThresholdBool").size(), 5u);
    EXPECT_EQ(log_.callsOf("CheckThreshold").size(), 1u);
}

TEST_F(CacheRestore, TheStringOverloadForwardsTheSameBytes)
{
    const std::vector<unsigned char> image = cachedImage();
    const std::string cached(image.begin(), image.end());
    VDeviceInterface& iface = device_;
    ASSERT_EQ(iface.LoadFromCache(cached), 1);
    EXPECT_EQ(slice(bytesOf(device_.data_), 0, 93), slice(image, 0, 93));
    EXPECT_EQ(log_.callsOf("SendSP").size(), 1u);
}

TEST_F(CacheRestore, WrongLengthOrNoBytesIsRefusedWithoutATrace)
{
    const std::vector<unsigned char> image(200, 0x33);
    const std::vector<unsigned char> untouched = bytesOf(device_.data_);
    struct Case {
        const unsigned char* bytes;
        int length;
    };
    for (const Case& c : {Case{image.data(), 99}, Case{image.data(), 101}, Case{image.data(), 0},
                          Case{image.data(), -100}, Case{nullptr, 100}, Case{nullptr, 0}}) {
        SCOPED_TRACE(c.length);
        EXPECT_EQ(device_.LoadFromCache(c.bytes, c.length), 0);
    }
    for (std::size_t n : {99u, 101u}) {
        VDeviceInterface& iface = device_;
        EXPECT_EQ(iface.LoadFromCache(std::string(n, '\x33')), 0) << n;
    }
    EXPECT_TRUE(log_.calls().empty());
    EXPECT_EQ(bytesOf(device_.data_), untouched);
    EXPECT_FALSE(device_.data_valid_);
    EXPECT_TRUE(device_.last_time_.is_not_a_date_time());
}

TEST_F(CacheRestore, EveryAcceptedLoadIsItsOwnRound)
{
    const std::vector<unsigned char> image = cachedImage();
    ASSERT_EQ(device_.LoadFromCache(image.data(), 100), 1);
    ASSERT_EQ(device_.LoadFromCache(image.data(), 100), 1);
    EXPECT_EQ(log_.callsOf("SendSP").size(), 2u);
    EXPECT_EQ(log_.callsOf("SaveDeviceHistory").size(), 2u);
    EXPECT_EQ(log_.callsOf("DoBatchCheckThreshold").size(), 2u);
}

}  // namespace
