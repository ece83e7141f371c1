#pragma once
// Builds one JSON object as a line of text in a reused buffer (JSON Lines
// output without a document tree per round).

#include <cstddef>
#include <cstdint>
#include <string>

namespace keltool {

// The fewest significant digits (6 to 9) that read back as the same float.
void formatShortestFloat(float value, char* out, std::size_t size);

class JsonLine {
public:
    JsonLine() { text_.reserve(4096); }

    void begin();              // starts a new top-level object
    const std::string& end();  // closes it, appends '\n', returns the line

    void key(const char* name);  // then exactly one value or a begin*
    void beginObject();
    void endObject();
    void beginArray();
    void endArray();

    void string(const char* value);
    void string(const std::string& value) { string(value.c_str()); }
    void integer(int64_t value);
    void unsignedInteger(uint64_t value);
    void real(double value, int significant = 17);
    void singleFloat(float value);  // shortest text that reads back as the same float
    void boolean(bool value);
    void null();

private:
    void separator();
    void appendQuoted(const char* value);

    std::string text_;
    bool need_comma_ = false;
};

}  // namespace keltool
