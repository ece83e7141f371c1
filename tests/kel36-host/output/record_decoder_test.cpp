// The host's own reading of record 5058.

#include <gtest/gtest.h>

#include <cstring>

#include "kel36-host/output/record_decoder.h"

namespace keltool {
namespace {

std::size_t widthOf(FieldKind kind)
{
    switch (kind) {
        case FieldKind::U8:
            return 1;
        case FieldKind::U16:
        case FieldKind::I16:
            return 2;
        case FieldKind::U32:
        case FieldKind::F32:
            return 4;
        case FieldKind::Time:
            return 7;
    }
    return 0;
}

TEST(RecordLayout, FieldsCoverEveryByteOnceInOrder)
{
    std::size_t next = 0;
    for (std::size_t i = 0; i < recordFieldCount(); ++i) {
        const RecordField& f = recordFields()[i];
        EXPECT_EQ(f.offset, next) << f.name;
        next = f.offset + widthOf(f.kind);
    }
    EXPECT_EQ(next, kRecordSize);
    EXPECT_EQ(recordFieldCount(), 41u);
}

TEST(RecordLayout, DecodesLittleEndianIntegersUnalignedFloatsAndTheTimeValue)
{
    RecordBytes r{};
    const unsigned char id[] = {0x78, 0x56, 0x34, 0x12};
    std::memcpy(&r[0], id, 4);
    const float uab = 400.5f;
    std::memcpy(&r[5], &uab, 4);  // the host is little-endian like the record
    const float digits = 1234.5f;
    std::memcpy(&r[82], &digits, 4);
    r[46] = 0x02;  // pair_r27_r28 = 0x0102
    r[47] = 0x01;
    r[86] = 0x00;  // pair_r59_r58 = 0xFF00
    r[87] = 0xFF;
    r[92] = 45;
    const unsigned char time[] = {0xEA, 0x07, 5, 1, 12, 30, 9};  // 2026-05-01 12:30:09
    std::memcpy(&r[93], time, 7);

    EXPECT_EQ(decodeField(r, *findField("data_id")).integer, 0x12345678);
    EXPECT_EQ(decodeField(r, *findField("uab")).real, 400.5f);
    EXPECT_EQ(decodeField(r, *findField("digits_r52_r57")).real, 1234.5f);
    EXPECT_EQ(decodeField(r, *findField("pair_r27_r28")).integer, 258);
    EXPECT_EQ(decodeField(r, *findField("pair_r59_r58")).integer, -256);
    EXPECT_EQ(decodeField(r, *findField("reg64")).integer, 45);
    char text[24];
    formatRecordTime(decodeField(r, *findField("ttime")).time, text, sizeof text);
    EXPECT_STREQ(text, "2026-05-01 12:30:09");
    EXPECT_EQ(findField("reg1"), nullptr);
    EXPECT_EQ(findField("reg51"), nullptr);
}

TEST(RecordLayout, AlarmBitsSitInTheTwoStatusBytes)
{
    ASSERT_EQ(alarmBits().size(), 5u);
    EXPECT_EQ(findField("status_a")->offset, alarmBits()[0].offset);
    EXPECT_EQ(findField("status_b")->offset, alarmBits()[4].offset);
    uint8_t a = 0;
    uint8_t b = 0;
    for (const AlarmBit& bit : alarmBits())
        (bit.offset == 59 ? a : b) |= bit.mask;
    EXPECT_EQ(a, 0xE0);
    EXPECT_EQ(b, 0x44);
}

}  // namespace
}  // namespace keltool
