#pragma once
// Half-duplex adapters that hear their own transmission hand every request
// back on the receive line ahead of the reply. The canceller knows what was
// sent and takes exactly those bytes off the front of what arrives, so the
// driver sees replies only. Allocates nothing.

#include <array>
#include <cstddef>

namespace keltool {

class EchoCanceller {
public:
    // Forget any echo still awaited (the input was flushed).
    void reset()
    {
        expected_ = 0;
        matched_ = 0;
    }
    // Bytes just written: their echo comes before anything else.
    void sent(const unsigned char* data, std::size_t length);
    // Takes the awaited echo off the front of a received chunk in place and
    // returns how many bytes are left for the driver. A byte that is not the
    // awaited one ends the wait: it and the rest are passed on, and
    // mismatched() reports it once.
    std::size_t strip(unsigned char* data, std::size_t length);

    bool awaiting() const { return matched_ < expected_; }
    // True once after the echo differed from what was sent.
    bool mismatched()
    {
        const bool was = mismatch_;
        mismatch_ = false;
        return was;
    }

private:
    std::array<unsigned char, 32> echo_{};
    std::size_t expected_ = 0;
    std::size_t matched_ = 0;
    bool mismatch_ = false;
};

}  // namespace keltool
