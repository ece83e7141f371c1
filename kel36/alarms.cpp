// Alarm evaluation: five status bits and the battery voltage go to the host's
// threshold checks every round, unfiltered.

#include "kel36/kel36.h"
#include "unidata/record_bytes.h"

namespace {

struct BitAlarm {
    const char* name;
    const char* code;
    const char* text;
    std::size_t status_offset;
    uint8_t mask;
};

const BitAlarm kBitAlarms[] = {
    {"a_5", "05004", "高水温告警", offsetof(Kel36_Data_t, status_a), 0x20},
    {"a_6", "05001", "超速告警", offsetof(Kel36_Data_t, status_a), 0x40},
    {"a_7", "05010", "低油压告警", offsetof(Kel36_Data_t, status_a), 0x80},
    {"b_2", "05029", "频率低告警", offsetof(Kel36_Data_t, status_b), 0x04},
    {"b_6", "05024", "短路告警", offsetof(Kel36_Data_t, status_b), 0x40},
};

}  // namespace

void Kel36::RunCheckThreshold()
{
    const unsigned char* rec = recordBytes();
    for (const BitAlarm& alarm : kBitAlarms) {
        const bool state = (record::getU8(rec, alarm.status_offset) & alarm.mask) != 0;
        const unsigned short seq = check_seq_++;
        const std::string text = alarm.text;
        CheckThresholdBool(1, alarm.name, alarm.code, text, text, state, seq);
    }
    const float battery = record::getFloat(rec, offsetof(Kel36_Data_t, battery_voltage));
    const unsigned short seq = check_seq_++;
    CheckThreshold("battery_voltage", "电池电压", battery, seq);
}
