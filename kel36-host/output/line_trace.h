#pragma once
// --trace: every request and reply on a line, with time stamps, as hex and
// ASCII, on stderr. Formatting goes into a fixed buffer: tracing a busy line
// allocates nothing.

#include <cstddef>
#include <cstdio>
#include <string>

namespace keltool {

class LineTrace {
public:
    explicit LineTrace(std::FILE* out) : out_(out) {}

    void request(const std::string& device, const unsigned char* data, std::size_t length);
    // `discarded`: arrived while no round was waiting for it. `answers`: the
    // register the reply's bytes 2-3 name when that is not `awaited`, else -1.
    void reply(const std::string& device, const unsigned char* data, std::size_t length,
               bool discarded, int answers = -1, int awaited = -1);
    void note(const std::string& device, const char* text);

private:
    void line(const std::string& device, const char* direction, const unsigned char* data,
              std::size_t length, const char* remark);

    std::FILE* out_;
    char buffer_[4096];
};

}  // namespace keltool
