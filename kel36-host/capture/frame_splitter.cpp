#include "kel36-host/capture/frame_splitter.h"

#include <algorithm>

#include "kel36-host/output/protocol_view.h"

namespace keltool {
namespace {

bool isHex(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

}  // namespace

std::chrono::nanoseconds frameGapFor(int baud)
{
    const auto four_characters = std::chrono::nanoseconds(40LL * 1000000000LL / std::max(baud, 1));
    return std::max<std::chrono::nanoseconds>(four_characters, std::chrono::milliseconds(20));
}

void FrameSplitter::emit(SniffedFrame::Kind kind, FrameSink& sink)
{
    SniffedFrame f;
    f.kind = kind;
    f.data = bytes_.data();
    f.length = length_;
    f.at = first_at_;
    sink.frame(f);
    after_request_ = kind == SniffedFrame::Kind::Request;
    mode_ = Mode::Empty;
    length_ = 0;
}

void FrameSplitter::take(unsigned char byte, TimePoint now, FrameSink& sink)
{
    if (byte == '|') {
        // A request begins: anything begun before it was cut off.
        if (mode_ != Mode::Empty)
            emit(SniffedFrame::Kind::Noise, sink);
        mode_ = Mode::Request;
    } else if (mode_ == Mode::Empty) {
        mode_ = isHex(byte) ? Mode::Reply : Mode::Noise;
    } else if ((mode_ == Mode::Request || mode_ == Mode::Reply) && !isHex(byte)) {
        mode_ = Mode::Noise;
    }
    if (length_ == 0)
        first_at_ = now;
    bytes_[length_++] = byte;
    if (mode_ == Mode::Request && length_ == kFrameLength)
        emit(SniffedFrame::Kind::Request, sink);
    else if (mode_ == Mode::Reply && length_ == kReplyLength)
        emit(SniffedFrame::Kind::Reply, sink);
    else if (length_ == bytes_.size())
        emit(SniffedFrame::Kind::Noise, sink);
}

void FrameSplitter::feed(const unsigned char* data, std::size_t length, TimePoint now,
                         FrameSink& sink)
{
    idle(now, sink);
    for (std::size_t i = 0; i < length; ++i)
        take(data[i], now, sink);
    last_at_ = now;
}

void FrameSplitter::idle(TimePoint now, FrameSink& sink)
{
    if (mode_ != Mode::Empty && now - last_at_ >= silenceAllowed())
        emit(SniffedFrame::Kind::Noise, sink);
}

std::chrono::nanoseconds FrameSplitter::silenceAllowed() const
{
    return mode_ == Mode::Reply && after_request_ ? reply_wait_ : gap_;
}

TimePoint FrameSplitter::quietDeadline() const
{
    return mode_ == Mode::Empty ? TimePoint::max() : last_at_ + silenceAllowed();
}

void FrameSplitter::finish(FrameSink& sink)
{
    if (mode_ != Mode::Empty)
        emit(SniffedFrame::Kind::Noise, sink);
}

}  // namespace keltool
