#include "number_text.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kelsim {

bool parseUnsigned(const std::string& text, unsigned long long* out)
{
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0]))))
        return false;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char* end = nullptr;
    *out = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    return errno == 0 && end == text.c_str() + text.size();
}

bool parseReal(const std::string& text, double* out)
{
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    errno = 0;
    char* end = nullptr;
    *out = std::strtod(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size() && std::isfinite(*out);
}

std::string formatNumber(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

}  // namespace kelsim
