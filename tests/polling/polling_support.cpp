#include "polling_support.h"

#include <cstdio>
#include <cstring>
#include <sstream>

namespace polltest {

const std::vector<unsigned>& roundSteps()
{
    static const std::vector<unsigned> steps = [] {
        std::vector<unsigned> out;
        for (unsigned s = 1; s <= kLastStep; ++s)
            if (s != 51)
                out.push_back(s);
        return out;
    }();
    return steps;
}

unsigned registerOfStep(unsigned step) { return step == 1 ? 0 : step; }

std::vector<unsigned> roundRegisters()
{
    std::vector<unsigned> regs;
    for (unsigned step : roundSteps())
        regs.push_back(registerOfStep(step));
    return regs;
}

std::string hex2(unsigned value, bool lower)
{
    char text[3];
    std::snprintf(text, sizeof text, lower ? "%02x" : "%02X", value & 0xFFu);
    return text;
}

std::string reply(uint8_t value, const std::string& tail, bool lower)
{
    return hex2(value ^ kMask, lower) + tail;
}

std::string echoReply(uint8_t value, unsigned reg, bool lower)
{
    return reply(value, hex2(kMask ^ reg, lower), lower);
}

std::string frame(uint8_t address, unsigned reg)
{
    return "|" + hex2(address ^ kMask) + hex2(kMask ^ 0xC8) + hex2(kMask ^ reg);
}

const std::vector<FieldSpec>& recordFields()
{
    // Offsets and writing steps as the record layout and register map give them.
    // The frequency is written whole at step 9 (the whole part waits in between).
    static const std::vector<FieldSpec> fields = {
        {"data_id", 0, Kind::U32, 0, 0},
        {"reg0", 4, Kind::U8, 1, 1},
        {"uab", 5, Kind::F32, 5, 5},
        {"ubc", 9, Kind::F32, 6, 6},
        {"uca", 13, Kind::F32, 7, 7},
        {"frequency", 17, Kind::F32, 9, 9},
        {"ua", 21, Kind::F32, 10, 10},
        {"ub", 25, Kind::F32, 11, 11},
        {"uc", 29, Kind::F32, 12, 12},
        {"reg13", 33, Kind::F32, 13, 13},
        {"digits_r14_r19", 37, Kind::F32, 14, 19},
        {"digits_r20_r25", 41, Kind::F32, 20, 25},
        {"reg26", 45, Kind::U8, 26, 26},
        {"pair_r27_r28", 46, Kind::U16, 27, 28},
        {"battery_voltage", 48, Kind::F32, 29, 29},
        {"reg30", 52, Kind::F32, 30, 30},
        {"reg31", 56, Kind::U8, 31, 31},
        {"reg32", 57, Kind::U8, 32, 32},
        {"reg33", 58, Kind::U8, 33, 33},
        {"status_a", 59, Kind::U8, 34, 34},
        {"status_b", 60, Kind::U8, 35, 35},
        {"reg36", 61, Kind::U8, 36, 36},
        {"reg37", 62, Kind::U8, 37, 37},
        {"reg38", 63, Kind::U8, 38, 38},
        {"reg39", 64, Kind::U8, 39, 39},
        {"reg40", 65, Kind::U8, 40, 40},
        {"reg41", 66, Kind::U8, 41, 41},
        {"pair_r45_r42", 67, Kind::F32, 45, 45},
        {"pair_r46_r43", 71, Kind::F32, 46, 46},
        {"pair_r47_r44", 75, Kind::F32, 47, 47},
        {"reg48", 79, Kind::U8, 48, 48},
        {"reg49", 80, Kind::U8, 49, 49},
        {"reg50", 81, Kind::U8, 50, 50},
        {"digits_r52_r57", 82, Kind::F32, 52, 57},
        {"pair_r59_r58", 86, Kind::I16, 59, 59},
        {"reg60", 88, Kind::U8, 60, 60},
        {"reg61", 89, Kind::U8, 61, 61},
        {"reg62", 90, Kind::U8, 62, 62},
        {"reg63", 91, Kind::U8, 63, 63},
        {"reg64", 92, Kind::U8, 64, 64},
        {"ttime", 93, Kind::Time, 0, 0},
    };
    return fields;
}

std::size_t widthOf(Kind kind)
{
    switch (kind) {
    case Kind::U8:
        return 1;
    case Kind::U16:
    case Kind::I16:
        return 2;
    case Kind::U32:
    case Kind::F32:
        return 4;
    case Kind::Time:
        return 7;
    }
    return 0;
}

float readFloat(const unsigned char* record, std::size_t offset)
{
    const uint32_t bits = uint32_t(record[offset]) | uint32_t(record[offset + 1]) << 8 |
                          uint32_t(record[offset + 2]) << 16 | uint32_t(record[offset + 3]) << 24;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

uint16_t readU16(const unsigned char* record, std::size_t offset)
{
    return static_cast<uint16_t>(record[offset] | record[offset + 1] << 8);
}

void writeFloat(unsigned char* record, std::size_t offset, float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 4; ++i)
        record[offset + i] = static_cast<unsigned char>(bits >> (8 * i));
}

std::string describe(const FieldSpec& field, const unsigned char* record)
{
    std::ostringstream out;
    out.precision(9);
    switch (field.kind) {
    case Kind::U8:
        out << unsigned(record[field.offset]);
        break;
    case Kind::U16:
        out << readU16(record, field.offset);
        break;
    case Kind::I16:
        out << static_cast<int16_t>(readU16(record, field.offset));
        break;
    case Kind::F32:
        out << readFloat(record, field.offset);
        break;
    case Kind::U32:
    case Kind::Time:
        break;
    }
    out << " [";
    for (std::size_t i = 0; i < widthOf(field.kind); ++i)
        out << (i ? " " : "") << hex2(record[field.offset + i]);
    out << "]";
    return out.str();
}

namespace {

void putU8(RecordBytes& rec, std::size_t offset, uint8_t value) { rec[offset] = value; }

void putU16(RecordBytes& rec, std::size_t offset, uint16_t value)
{
    rec[offset] = static_cast<unsigned char>(value & 0xFF);
    rec[offset + 1] = static_cast<unsigned char>(value >> 8);
}

void putF32(RecordBytes& rec, std::size_t offset, float value)
{
    writeFloat(rec.data(), offset, value);
}

// Tenths digit first, then units, tens, ... each product converted before adding.
float digitsFromTenths(const RegisterImage& r, unsigned first)
{
    float sum = static_cast<float>(r[first]) / 10.0f;
    const int weights[] = {1, 10, 100, 1000, 10000};
    for (int i = 0; i < 5; ++i)
        sum += static_cast<float>(r[first + 1 + i] * weights[i]);
    return sum;
}

float digitsFromUnits(const RegisterImage& r, unsigned first)
{
    float sum = static_cast<float>(r[first]);
    const int weights[] = {10, 100, 1000, 10000, 100000};
    for (int i = 0; i < 5; ++i)
        sum += static_cast<float>(r[first + 1 + i] * weights[i]);
    return sum;
}

float volts(uint8_t high, uint8_t low) { return static_cast<float>(high * 256 + low) / 100.0f; }

float unscaledPair(uint8_t high, uint8_t low) { return static_cast<float>(high * 256 + low); }

}  // namespace

RecordBytes expectedRecord(const RegisterImage& r, uint32_t data_id)
{
    RecordBytes rec{};
    for (int i = 0; i < 4; ++i)
        rec[i] = static_cast<unsigned char>(data_id >> (8 * i));
    putU8(rec, 4, r[0]);
    putF32(rec, 5, volts(r[5], r[2]));
    putF32(rec, 9, volts(r[6], r[3]));
    putF32(rec, 13, volts(r[7], r[4]));
    putF32(rec, 17, static_cast<float>(r[8]) + static_cast<float>(r[9]) / 10.0f);
    putF32(rec, 21, static_cast<float>(r[10]));
    putF32(rec, 25, static_cast<float>(r[11]));
    putF32(rec, 29, static_cast<float>(r[12]));
    putF32(rec, 33, static_cast<float>(r[13]));
    putF32(rec, 37, digitsFromTenths(r, 14));
    putF32(rec, 41, digitsFromUnits(r, 20));
    putU8(rec, 45, r[26]);
    putU16(rec, 46, static_cast<uint16_t>(r[27] * 256 + r[28]));
    putF32(rec, 48, (static_cast<float>(r[29]) + static_cast<float>(r[29])) / 10.0f);
    putF32(rec, 52, static_cast<float>(r[30]));
    for (unsigned reg = 31; reg <= 41; ++reg)  // reg31..reg33, status_a, status_b, reg36..reg41
        putU8(rec, 56 + (reg - 31), r[reg]);
    putF32(rec, 67, unscaledPair(r[45], r[42]));
    putF32(rec, 71, unscaledPair(r[46], r[43]));
    putF32(rec, 75, unscaledPair(r[47], r[44]));
    putU8(rec, 79, r[48]);
    putU8(rec, 80, r[49]);
    putU8(rec, 81, r[50]);
    putF32(rec, 82, digitsFromTenths(r, 52));
    putU16(rec, 86, static_cast<uint16_t>(r[59] * 256 + r[58]));
    for (unsigned reg = 60; reg <= 64; ++reg)
        putU8(rec, 88 + (reg - 60), r[reg]);
    return rec;
}

RegisterImage distinctImage()
{
    RegisterImage r{};
    for (unsigned reg = 0; reg <= kLastStep; ++reg)
        r[reg] = static_cast<uint8_t>(100 + reg);  // bytes: each its own value
    r[0] = 0xA5;
    r[2] = 0x11, r[3] = 0x22, r[4] = 0x33;  // low bytes of the three line voltages
    r[5] = 0x9C, r[6] = 0x5D, r[7] = 0x2B;
    r[8] = 49, r[9] = 7;
    r[10] = 231, r[11] = 229, r[12] = 233, r[13] = 77;
    const uint8_t d14[] = {5, 12, 3, 2, 11, 1};  // digits above 9 enter with their weight
    const uint8_t d20[] = {9, 8, 15, 6, 5, 4};
    const uint8_t d52[] = {7, 10, 2, 13, 0, 3};
    for (int i = 0; i < 6; ++i) {
        r[14 + i] = d14[i];
        r[20 + i] = d20[i];
        r[52 + i] = d52[i];
    }
    r[26] = 0x5A;
    r[27] = 0x12, r[28] = 0x34;
    r[29] = 123;
    r[30] = 200;
    r[34] = 0xE4, r[35] = 0x44;
    r[42] = 0x42, r[43] = 0x43, r[44] = 0x44;
    r[45] = 0x05, r[46] = 0x06, r[47] = 0x07;
    r[58] = 0x58, r[59] = 0xC3;  // high byte >= 0x80: negative signed pair
    r[1] = 0, r[51] = 0;         // never polled
    return r;
}

RegisterImage filledImage(uint8_t value)
{
    RegisterImage r{};
    r.fill(value);
    r[1] = 0, r[51] = 0;
    return r;
}

std::vector<std::string> sentFramesIn(const kelhost::CallLog& log)
{
    std::vector<std::string> frames;
    for (const kelhost::HostCall& call : log.callsOf("SendData"))
        frames.emplace_back(call.bytes.begin(), call.bytes.end());
    return frames;
}

int feed(ZRNSPDevice& device, const std::string& bytes)
{
    std::vector<unsigned char> chunk(bytes.begin(), bytes.end());
    return device.process(chunk.data(), static_cast<unsigned int>(chunk.size()));
}

namespace {

std::string replyOfStep(const RegisterImage& image, unsigned step, Tail tail)
{
    const unsigned reg = registerOfStep(step);
    return tail == Tail::Echo ? echoReply(image[reg], reg) : reply(image[reg]);
}

}  // namespace

std::vector<int> runRound(ZRNSPDevice& device, const RegisterImage& image, Tail tail)
{
    device.RefreshStatus();
    std::vector<int> results;
    for (unsigned step : roundSteps())
        results.push_back(feed(device, replyOfStep(image, step, tail)));
    return results;
}

void feedUntil(ZRNSPDevice& device, const RegisterImage& image, unsigned step, Tail tail)
{
    for (unsigned s : roundSteps()) {
        if (s >= step)
            break;
        feed(device, replyOfStep(image, s, tail));
    }
}

}  // namespace polltest
