#pragma once
// The generator-set controller's data record: the exchange format sent to the
// host as record type 5058, stored in the history and restored from the cache.
// Packed, little-endian, exactly 100 bytes. Fields are read and written only
// through record_bytes.h, never through a misaligned pointer.

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct Kel36_Data_t {
    uint32_t data_id;
    uint8_t reg0;
    float uab;
    float ubc;
    float uca;
    float frequency;
    float ua;
    float ub;
    float uc;
    float reg13;
    float digits_r14_r19;
    float digits_r20_r25;
    uint8_t reg26;
    uint16_t pair_r27_r28;
    float battery_voltage;
    float reg30;
    uint8_t reg31;
    uint8_t reg32;
    uint8_t reg33;
    uint8_t status_a;
    uint8_t status_b;
    uint8_t reg36;
    uint8_t reg37;
    uint8_t reg38;
    uint8_t reg39;
    uint8_t reg40;
    uint8_t reg41;
    float pair_r45_r42;
    float pair_r46_r43;
    float pair_r47_r44;
    uint8_t reg48;
    uint8_t reg49;
    uint8_t reg50;
    float digits_r52_r57;
    int16_t pair_r59_r58;
    uint8_t reg60;
    uint8_t reg61;
    uint8_t reg62;
    uint8_t reg63;
    uint8_t reg64;
    uint8_t ttime[7];
};
#pragma pack(pop)

#define KEL36_FIELD_AT(field, offset)                                                      \
    static_assert(offsetof(Kel36_Data_t, field) == (offset), #field " is at byte " #offset)
KEL36_FIELD_AT(data_id, 0);
KEL36_FIELD_AT(reg0, 4);
KEL36_FIELD_AT(uab, 5);
KEL36_FIELD_AT(ubc, 9);
KEL36_FIELD_AT(uca, 13);
KEL36_FIELD_AT(frequency, 17);
KEL36_FIELD_AT(ua, 21);
KEL36_FIELD_AT(ub, 25);
KEL36_FIELD_AT(uc, 29);
KEL36_FIELD_AT(reg13, 33);
KEL36_FIELD_AT(digits_r14_r19, 37);
KEL36_FIELD_AT(digits_r20_r25, 41);
KEL36_FIELD_AT(reg26, 45);
KEL36_FIELD_AT(pair_r27_r28, 46);
KEL36_FIELD_AT(battery_voltage, 48);
KEL36_FIELD_AT(reg30, 52);
KEL36_FIELD_AT(reg31, 56);
KEL36_FIELD_AT(reg32, 57);
KEL36_FIELD_AT(reg33, 58);
KEL36_FIELD_AT(status_a, 59);
KEL36_FIELD_AT(status_b, 60);
KEL36_FIELD_AT(reg36, 61);
KEL36_FIELD_AT(reg37, 62);
KEL36_FIELD_AT(reg38, 63);
KEL36_FIELD_AT(reg39, 64);
KEL36_FIELD_AT(reg40, 65);
KEL36_FIELD_AT(reg41, 66);
KEL36_FIELD_AT(pair_r45_r42, 67);
KEL36_FIELD_AT(pair_r46_r43, 71);
KEL36_FIELD_AT(pair_r47_r44, 75);
KEL36_FIELD_AT(reg48, 79);
KEL36_FIELD_AT(reg49, 80);
KEL36_FIELD_AT(reg50, 81);
KEL36_FIELD_AT(digits_r52_r57, 82);
KEL36_FIELD_AT(pair_r59_r58, 86);
KEL36_FIELD_AT(reg60, 88);
KEL36_FIELD_AT(reg61, 89);
KEL36_FIELD_AT(reg62, 90);
KEL36_FIELD_AT(reg63, 91);
KEL36_FIELD_AT(reg64, 92);
KEL36_FIELD_AT(ttime, 93);
#undef KEL36_FIELD_AT
static_assert(sizeof(Kel36_Data_t) == 100, "the record is exactly 100 bytes");
