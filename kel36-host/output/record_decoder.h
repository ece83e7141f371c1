#pragma once
// The host's own reading of record 5058: the documented layout (packed,
// little-endian, IEEE single-precision floats), decoded from the 100 bytes a
// device publishes. Independent of the driver's headers on purpose.

#include <array>
#include <cstddef>
#include <cstdint>

namespace keltool {

constexpr std::size_t kRecordSize = 100;
using RecordBytes = std::array<unsigned char, kRecordSize>;

enum class FieldKind { U8, U16, I16, U32, F32, Time };

struct RecordField {
    const char* name;
    std::size_t offset;
    FieldKind kind;
};

// Every field from data_id to ttime, in record order.
const RecordField* recordFields();
std::size_t recordFieldCount();

// A field's value: integers exactly, floats as the single-precision value stored.
struct FieldValue {
    FieldKind kind = FieldKind::U8;
    int64_t integer = 0;
    float real = 0.0f;
    unsigned char time[7] = {};
};

FieldValue decodeField(const RecordBytes& record, const RecordField& field);

// Looks a field up by name; nullptr when there is none.
const RecordField* findField(const char* name);

float readFloat(const RecordBytes& record, std::size_t offset);

// The stand-in host's 7-byte time value (year LE16, month, day, h, m, s) as
// "YYYY-MM-DD HH:MM:SS"; out must hold 20 bytes.
void formatRecordTime(const unsigned char time[7], char* out, std::size_t size);

// The five alarm bits in the record's status bytes.
struct AlarmBit {
    const char* signal;
    std::size_t offset;  // status_a or status_b
    uint8_t mask;
};
const std::array<AlarmBit, 5>& alarmBits();

}  // namespace keltool
