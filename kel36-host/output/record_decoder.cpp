#include "kel36-host/output/record_decoder.h"

#include <cstdio>
#include <cstring>

namespace keltool {
namespace {

constexpr RecordField kFields[] = {
    {"data_id", 0, FieldKind::U32},
    {"reg0", 4, FieldKind::U8},
    {"uab", 5, FieldKind::F32},
    {"ubc", 9, FieldKind::F32},
    {"uca", 13, FieldKind::F32},
    {"frequency", 17, FieldKind::F32},
    {"ua", 21, FieldKind::F32},
    {"ub", 25, FieldKind::F32},
    {"uc", 29, FieldKind::F32},
    {"reg13", 33, FieldKind::F32},
    {"digits_r14_r19", 37, FieldKind::F32},
    {"digits_r20_r25", 41, FieldKind::F32},
    {"reg26", 45, FieldKind::U8},
    {"pair_r27_r28", 46, FieldKind::U16},
    {"battery_voltage", 48, FieldKind::F32},
    {"reg30", 52, FieldKind::F32},
    {"reg31", 56, FieldKind::U8},
    {"reg32", 57, FieldKind::U8},
    {"reg33", 58, FieldKind::U8},
    {"status_a", 59, FieldKind::U8},
    {"status_b", 60, FieldKind::U8},
    {"reg36", 61, FieldKind::U8},
    {"reg37", 62, FieldKind::U8},
    {"reg38", 63, FieldKind::U8},
    {"reg39", 64, FieldKind::U8},
    {"reg40", 65, FieldKind::U8},
    {"reg41", 66, FieldKind::U8},
    {"pair_r45_r42", 67, FieldKind::F32},
    {"pair_r46_r43", 71, FieldKind::F32},
    {"pair_r47_r44", 75, FieldKind::F32},
    {"reg48", 79, FieldKind::U8},
    {"reg49", 80, FieldKind::U8},
    {"reg50", 81, FieldKind::U8},
    {"digits_r52_r57", 82, FieldKind::F32},
    {"pair_r59_r58", 86, FieldKind::I16},
    {"reg60", 88, FieldKind::U8},
    {"reg61", 89, FieldKind::U8},
    {"reg62", 90, FieldKind::U8},
    {"reg63", 91, FieldKind::U8},
    {"reg64", 92, FieldKind::U8},
    {"ttime", 93, FieldKind::Time},
};

uint32_t readLe(const RecordBytes& r, std::size_t offset, std::size_t width)
{
    uint32_t v = 0;
    for (std::size_t i = 0; i < width; ++i)
        v |= static_cast<uint32_t>(r[offset + i]) << (8 * i);
    return v;
}

}  // namespace

const RecordField* recordFields()
{
    return kFields;
}
std::size_t recordFieldCount()
{
    return sizeof(kFields) / sizeof(kFields[0]);
}

float readFloat(const RecordBytes& record, std::size_t offset)
{
    const uint32_t bits = readLe(record, offset, 4);
    float f;
    static_assert(sizeof f == sizeof bits, "IEEE single precision expected");
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

FieldValue decodeField(const RecordBytes& record, const RecordField& field)
{
    FieldValue v;
    v.kind = field.kind;
    switch (field.kind) {
        case FieldKind::U8:
            v.integer = record[field.offset];
            break;
        case FieldKind::U16:
            v.integer = readLe(record, field.offset, 2);
            break;
        case FieldKind::I16:
            v.integer =
                static_cast<int16_t>(static_cast<uint16_t>(readLe(record, field.offset, 2)));
            break;
        case FieldKind::U32:
            v.integer = readLe(record, field.offset, 4);
            break;
        case FieldKind::F32:
            v.real = readFloat(record, field.offset);
            break;
        case FieldKind::Time:
            std::memcpy(v.time, &record[field.offset], 7);
            break;
    }
    return v;
}

const RecordField* findField(const char* name)
{
    for (const RecordField& f : kFields)
        if (std::strcmp(f.name, name) == 0)
            return &f;
    return nullptr;
}

void formatRecordTime(const unsigned char t[7], char* out, std::size_t size)
{
    const unsigned year = t[0] | (static_cast<unsigned>(t[1]) << 8);
    std::snprintf(out, size, "%04u-%02u-%02u %02u:%02u:%02u", year, static_cast<unsigned>(t[2]),
                  static_cast<unsigned>(t[3]), static_cast<unsigned>(t[4]),
                  static_cast<unsigned>(t[5]), static_cast<unsigned>(t[6]));
}

const std::array<AlarmBit, 5>& alarmBits()
{
    static const std::array<AlarmBit, 5> bits = {{
        {"a_5", 59, 0x20},
        {"a_6", 59, 0x40},
        {"a_7", 59, 0x80},
        {"b_2", 60, 0x04},
        {"b_6", 60, 0x40},
    }};
    return bits;
}

}  // namespace keltool
