#pragma once

#include <cstdint>

namespace kel36 {

// Reads a configured device address the way the controller's configuration has
// always been read (decimal, atof style) and keeps the low 8 bits of the value
// truncated toward zero. Defined for every input: text that is no number, NaN,
// infinities and values outside the 32-bit integer range give address 0.
uint8_t addressFromText(const char* text);

}  // namespace kel36
