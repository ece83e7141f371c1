#pragma once
// Splits what a listener hears on a line into the protocol's frames: a
// request is "|" and 6 hex digits, a reply 4 hex digits. A byte that fits
// neither makes the bytes around it noise, up to the next "|" or silence;
// a silence longer than the gap ends whatever frame was begun (a cut-off
// frame is noise too). A reply to a request just heard is the exception: it
// may straggle (the controller's own pauses, a busy listener), so it waits
// up to the reply time-out. Holds at most one frame's bytes, or a bounded
// chunk of noise.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>

#include "kel36-host/wall_clock.h"

namespace keltool {

struct SniffedFrame {
    enum class Kind { Request, Reply, Noise };
    Kind kind = Kind::Noise;
    const unsigned char* data = nullptr;
    std::size_t length = 0;
    TimePoint at{};  // when its first byte was read
};

class FrameSink {
public:
    virtual ~FrameSink() = default;
    virtual void frame(const SniffedFrame& frame) = 0;
};

// Noise is handed on in chunks of at most this many bytes.
constexpr std::size_t kMaxNoiseChunk = 64;

// The gap for a baud rate: four character times (10 bits each), but at
// least 20 ms: a frame cut off is told soon. What a reader sees is not the line's own timing: a USB
// adapter hands on what it has every few milliseconds (an FTDI chip every
// 16 ms by default), and a busy machine wakes its reader late. A complete
// frame needs no gap to end; the gap only ends one that was cut off.
std::chrono::nanoseconds frameGapFor(int baud);

class FrameSplitter {
public:
    explicit FrameSplitter(std::chrono::nanoseconds gap,
                           std::chrono::nanoseconds reply_wait = std::chrono::seconds(1))
        : gap_(gap), reply_wait_(std::max(gap, reply_wait))
    {
    }

    // A chunk read at `now`.
    void feed(const unsigned char* data, std::size_t length, TimePoint now, FrameSink& sink);
    // The line has been quiet until `now`: a frame begun before the gap is noise.
    void idle(TimePoint now, FrameSink& sink);
    // When idle() has something to end; TimePoint::max() when nothing is begun.
    TimePoint quietDeadline() const;
    // The listening ends: what is begun is noise.
    void finish(FrameSink& sink);

private:
    enum class Mode { Empty, Request, Reply, Noise };
    void emit(SniffedFrame::Kind kind, FrameSink& sink);
    void take(unsigned char byte, TimePoint now, FrameSink& sink);
    std::chrono::nanoseconds silenceAllowed() const;

    std::chrono::nanoseconds gap_;
    std::chrono::nanoseconds reply_wait_;
    bool after_request_ = false;  // the last frame was a request
    Mode mode_ = Mode::Empty;
    std::array<unsigned char, kMaxNoiseChunk> bytes_{};
    std::size_t length_ = 0;
    TimePoint first_at_{};
    TimePoint last_at_{};
};

}  // namespace keltool
