// What a listener hears, split into frames: requests and replies by the
// protocol, noise in bounded chunks, a frame cut off by silence, a reply
// that straggles after its request.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kel36-host/capture/frame_splitter.h"

namespace capturetest {
namespace {

using keltool::SniffedFrame;
using Kind = SniffedFrame::Kind;

struct Collected : keltool::FrameSink {
    std::vector<std::pair<Kind, std::string>> frames;
    void frame(const SniffedFrame& f) override
    {
        frames.emplace_back(f.kind, std::string(reinterpret_cast<const char*>(f.data), f.length));
    }
};

TEST(FrameSplitter, SplitsByProtocolAndSilenceWithBoundedNoise)
{
    using std::chrono::milliseconds;
    keltool::FrameSplitter splitter(milliseconds(3), milliseconds(10));
    Collected got;
    keltool::TimePoint t{};
    const auto feed = [&](const std::string& s, int after_ms) {
        t += milliseconds(after_ms);
        splitter.feed(reinterpret_cast<const unsigned char*>(s.data()), s.size(), t, got);
    };
    // Request and reply back to back, even in one chunk; an overlong reply's tail.
    feed("|DF5699", 0);
    feed("8a59|DF5698", 1);
    feed("1F", 1);
    feed("58", 1);
    feed("7\r\n", 1);
    // Garbage longer than a chunk, then a request cut off by silence, then a reply.
    feed(std::string(150, 'x'), 1);
    feed("|DF5", 1);
    EXPECT_LT(splitter.quietDeadline(), keltool::TimePoint::max());
    splitter.idle(t + milliseconds(3), got);
    EXPECT_EQ(splitter.quietDeadline(), keltool::TimePoint::max());
    feed("AB12", 5);
    // A reply to a request straggles, up to the reply time-out (10 ms here).
    feed("|DF5699", 1);
    feed("12", 1);
    feed("34", 8);
    feed("|DF5699", 1);
    feed("5", 1);
    splitter.idle(t + milliseconds(9), got);
    EXPECT_EQ(got.frames.size(), 12u) << "the straggling reply waited";
    splitter.idle(t + milliseconds(10), got);
    feed("|DF", 1);
    splitter.finish(got);

    const std::vector<std::pair<Kind, std::string>> expected = {
        {Kind::Request, "|DF5699"},
        {Kind::Reply, "8a59"},
        {Kind::Request, "|DF5698"},
        {Kind::Reply, "1F58"},
        {Kind::Noise, "7\r\n" + std::string(61, 'x')},
        {Kind::Noise, std::string(64, 'x')},
        {Kind::Noise, std::string(25, 'x')},
        {Kind::Noise, "|DF5"},
        {Kind::Reply, "AB12"},
        {Kind::Request, "|DF5699"},
        {Kind::Reply, "1234"},
        {Kind::Request, "|DF5699"},
        {Kind::Noise, "5"},
        {Kind::Noise, "|DF"},
    };
    EXPECT_EQ(got.frames, expected);
}

}  // namespace
}  // namespace capturetest
