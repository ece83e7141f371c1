#include "kel36-host/output/json_line.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace keltool {

void JsonLine::begin()
{
    text_.clear();
    text_.push_back('{');
    need_comma_ = false;
}

const std::string& JsonLine::end()
{
    text_ += "}\n";
    return text_;
}

void JsonLine::separator()
{
    if (need_comma_)
        text_.push_back(',');
    need_comma_ = true;
}

void JsonLine::key(const char* name)
{
    separator();
    appendQuoted(name);
    text_.push_back(':');
    need_comma_ = false;
}

void JsonLine::beginObject()
{
    separator();
    text_.push_back('{');
    need_comma_ = false;
}

void JsonLine::endObject()
{
    text_.push_back('}');
    need_comma_ = true;
}

void JsonLine::beginArray()
{
    separator();
    text_.push_back('[');
    need_comma_ = false;
}

void JsonLine::endArray()
{
    text_.push_back(']');
    need_comma_ = true;
}

void JsonLine::string(const char* value)
{
    separator();
    appendQuoted(value);
}

void JsonLine::appendQuoted(const char* value)
{
    text_.push_back('"');
    for (const char* p = value; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            text_.push_back('\\');
            text_.push_back(static_cast<char>(c));
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            text_ += esc;
        } else {
            text_.push_back(static_cast<char>(c));  // UTF-8 passes as it is
        }
    }
    text_.push_back('"');
}

void JsonLine::integer(int64_t value)
{
    separator();
    char buf[24];
    std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(value));
    text_ += buf;
}

void JsonLine::unsignedInteger(uint64_t value)
{
    separator();
    char buf[24];
    std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(value));
    text_ += buf;
}

void JsonLine::real(double value, int significant)
{
    if (!std::isfinite(value)) {
        null();
        return;
    }
    separator();
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.*g", significant, value);
    text_ += buf;
}

void formatShortestFloat(float value, char* out, std::size_t size)
{
    for (int digits = 6; digits <= 9; ++digits) {
        std::snprintf(out, size, "%.*g", digits, static_cast<double>(value));
        if (std::strtof(out, nullptr) == value)
            return;
    }
}

void JsonLine::singleFloat(float value)
{
    if (!std::isfinite(value)) {
        null();
        return;
    }
    separator();
    char buf[40];
    formatShortestFloat(value, buf, sizeof buf);
    text_ += buf;
}

void JsonLine::boolean(bool value)
{
    separator();
    text_ += value ? "true" : "false";
}

void JsonLine::null()
{
    separator();
    text_ += "null";
}

}  // namespace keltool
