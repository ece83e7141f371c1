#pragma once
// Little-endian field access into packed records. Every access is a byte copy, so
// odd offsets are safe on every target and the byte order is fixed whatever the
// host's own is.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace record {

inline void putU8(unsigned char* rec, std::size_t off, uint8_t v) { rec[off] = v; }
inline uint8_t getU8(const unsigned char* rec, std::size_t off) { return rec[off]; }

inline void putU16(unsigned char* rec, std::size_t off, uint16_t v)
{
    rec[off] = static_cast<unsigned char>(v);
    rec[off + 1] = static_cast<unsigned char>(v >> 8);
}
inline uint16_t getU16(const unsigned char* rec, std::size_t off)
{
    return static_cast<uint16_t>(rec[off] | (rec[off + 1] << 8));
}

inline void putU32(unsigned char* rec, std::size_t off, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        rec[off + i] = static_cast<unsigned char>(v >> (8 * i));
}
inline uint32_t getU32(const unsigned char* rec, std::size_t off)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<uint32_t>(rec[off + i]) << (8 * i);
    return v;
}

static_assert(sizeof(float) == 4, "records hold IEEE 754 single precision");

inline void putFloat(unsigned char* rec, std::size_t off, float v)
{
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    putU32(rec, off, bits);
}
inline float getFloat(const unsigned char* rec, std::size_t off)
{
    const uint32_t bits = getU32(rec, off);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

}  // namespace record
