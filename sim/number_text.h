#pragma once
// Numbers as a user types them on the command line or a control command:
// the whole text, no blanks, no sign.

#include <string>

namespace kelsim {

// Decimal, or hexadecimal after "0x".
bool parseUnsigned(const std::string& text, unsigned long long* out);

// A finite decimal number ("27.6", "1e3"); a leading sign is allowed, a blank is not.
bool parseReal(const std::string& text, double* out);

// Shortest text that reads back as `value` for the numbers users type (%.10g).
std::string formatNumber(double value);

}  // namespace kelsim
