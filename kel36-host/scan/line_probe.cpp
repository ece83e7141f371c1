#include "kel36-host/scan/line_probe.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "host/serial_port.h"
#include "kel36-host/tool_error.h"

namespace keltool {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A controller's pause between a request and its reply; generous, since a
// probe that waits too little misses a controller for good.
constexpr int kTurnaroundMarginMs = 50;
constexpr std::size_t kCollectLimit = 64;

int remainingMs(Clock::time_point until)
{
    const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) + 1 : 0;
}

}  // namespace

ProbeTiming probeTimingFor(int baud)
{
    const auto charsMs = [baud](int chars) { return (chars * 10 * 1000 + baud - 1) / baud; };
    ProbeTiming timing;
    timing.reply_wait = milliseconds(charsMs(static_cast<int>(kFrameLength + kReplyLength)) +
                                     kTurnaroundMarginMs);
    timing.tail_wait = milliseconds(charsMs(3) + 5);
    return timing;
}

ProbeResult probeLine(int fd, const std::string& port, const Frame& frame,
                      const ProbeTiming& timing, EchoCanceller* echo)
{
    // Whatever is waiting answers an earlier probe, never this one.
    tcflush(fd, TCIFLUSH);
    if (echo) {
        echo->reset();
        echo->sent(reinterpret_cast<const unsigned char*>(frame.data()), frame.size());
    }
    const long written =
        kelhost::writeNow(fd, reinterpret_cast<const unsigned char*>(frame.data()), frame.size());
    if (written != static_cast<long>(frame.size()))
        throw ToolError(port + ": the line did not take a request (" +
                        (written < 0 ? std::strerror(errno) : "output buffer full") +
                        "; flow control held?)");

    std::string got;
    Clock::time_point until = Clock::now() + timing.reply_wait;
    bool tail = false;
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, remainingMs(until));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            throw ToolError(port + ": cannot wait for replies: " + std::strerror(errno));
        if (ready == 0)
            break;
        unsigned char buffer[64];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            throw ToolError(port + ": the line went away while scanning" +
                            (n < 0 ? std::string(": ") + std::strerror(errno) : std::string()));
        std::size_t length = static_cast<std::size_t>(n);
        if (echo)
            length = echo->strip(buffer, length);
        got.append(reinterpret_cast<const char*>(buffer), std::min(length, kCollectLimit));
        if (got.size() > kCollectLimit)
            break;
        // Four bytes may be a whole reply: listen a little longer for more,
        // which would make it over-long.
        if (!tail && got.size() >= kReplyLength) {
            tail = true;
            until = Clock::now() + timing.tail_wait;
        }
    }

    ProbeResult result;
    result.echo_missing = echo && (echo->awaiting() || echo->mismatched());
    if (got.empty())
        return result;
    result.own_request = !echo && got.compare(0, frame.size(), frame.data(), frame.size()) == 0;
    const bool reply =
        decodeReply(reinterpret_cast<const unsigned char*>(got.data()), got.size(), &result.reply);
    result.kind = reply ? ProbeResult::Kind::Reply : ProbeResult::Kind::Garbage;
    return result;
}

}  // namespace keltool
