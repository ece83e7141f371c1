#include "kel36/address.h"

#include <cmath>
#include <cstdlib>

namespace kel36 {

uint8_t addressFromText(const char* text)
{
    const double value = std::atof(text);
    // Truncation toward zero is only defined while the result fits; outside the
    // 32-bit range (or for NaN and infinities) the address is 0.
    if (!(value > -2147483649.0 && value < 2147483648.0))
        return 0;
    const auto whole = static_cast<int64_t>(value);
    return static_cast<uint8_t>(static_cast<uint64_t>(whole) & 0xFFu);
}

}  // namespace kel36
