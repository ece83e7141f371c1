#include "kel36-host/config/device_name.h"

#include <cstdio>

namespace keltool {
namespace {

// Length of the UTF-8 sequence starting at `i` and its code point; 0 when
// the bytes there are no valid UTF-8 (overlong forms and surrogates included).
std::size_t decodeUtf8(const std::string& text, std::size_t i, char32_t* code)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    char32_t value = 0;
    char32_t min = 0;
    if (lead < 0x80) {
        *code = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *code = value;
    return length;
}

}  // namespace

std::string deviceNameProblem(const std::string& name)
{
    if (name.empty())
        return "empty";
    for (std::size_t i = 0; i < name.size();) {
        char32_t code = 0;
        const std::size_t length = decodeUtf8(name, i, &code);
        if (length == 0)
            return "is not valid UTF-8 at byte " + std::to_string(i);
        // C0, DEL and C1: a terminal may act on any of them (ESC, CSI, newline).
        if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) {
            char text[80];
            std::snprintf(text, sizeof text, "contains a control character (U+%04X) at byte %zu",
                          static_cast<unsigned>(code), i);
            return text;
        }
        i += length;
    }
    return "";
}

std::string shownText(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t code = 0;
        std::size_t length = decodeUtf8(text, i, &code);
        // The same characters a device name may not hold, and bytes that are
        // no UTF-8, shown as their bytes.
        if (length == 0 || code < 0x20 || (code >= 0x7F && code <= 0x9F)) {
            length = length == 0 ? 1 : length;
            for (std::size_t k = 0; k < length; ++k) {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(text[i + k]));
                out += hex;
            }
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out;
}

}  // namespace keltool
