#pragma once
// Shared pieces of the fuzz targets: a failed invariant aborts with a message
// (libFuzzer and the corpus replay both report an abort as a finding), and the
// driver's diagnostic lines are muted so they do not drown the fuzzer's output.

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <streambuf>

#define FUZZ_CHECK(cond, ...)                                                      \
    do {                                                                           \
        if (!(cond)) {                                                             \
            std::fprintf(stderr, "%s:%d: invariant failed: %s: ", __FILE__, __LINE__, \
                         #cond);                                                   \
            std::fprintf(stderr, __VA_ARGS__);                                     \
            std::fprintf(stderr, "\n");                                            \
            std::abort();                                                          \
        }                                                                          \
    } while (0)

namespace fuzzsupport {

// Swallows everything written to it.
class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

inline void muteStdout()
{
    // Never destroyed: std::cout is flushed at exit, after function statics
    // are gone, and must still find its buffer.
    static NullBuffer* const sink = new NullBuffer;
    std::cout.rdbuf(sink);
}

// Reads the input front to back; past the end every read yields zeros, so any
// byte string is a valid program for a target.
class InputReader {
public:
    InputReader(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}

    bool done() const { return pos_ >= size_; }
    std::size_t remaining() const { return size_ - pos_; }
    unsigned char byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    // Up to n bytes from the input, without copying.
    const unsigned char* take(std::size_t n, std::size_t& got)
    {
        got = n < remaining() ? n : remaining();
        const unsigned char* at = data_ + pos_;
        pos_ += got;
        return at;
    }

private:
    const unsigned char* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Reads two upper-case hex digits of a request frame field, as the protocol
// writes them; -1 when they are anything else.
inline int upperHexPair(const void* field)
{
    const auto* p = static_cast<const unsigned char*>(field);
    auto digit = [](unsigned char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    const int hi = digit(p[0]);
    const int lo = digit(p[1]);
    return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

}  // namespace fuzzsupport
