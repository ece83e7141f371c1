#include "kel36-host/capture/sniff_command.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <unistd.h>

#include "host/serial_port.h"
#include "kel36-host/capture/capture_run.h"
#include "kel36-host/capture/frame_splitter.h"
#include "kel36-host/capture/line_capture.h"
#include "kel36-host/output/protocol_view.h"
#include "kel36-host/run/event_loop.h"
#include "kel36-host/tool_error.h"

namespace keltool {
namespace {

constexpr int kExitListened = 0;
constexpr int kExitLineGone = 1;

// The line, read-only: a listener has no business sending, and a descriptor
// that cannot write is the proof. Not locked either: the line is the other
// master's (or a tap's).
int openReadOnly(const SniffOptions& options)
{
    const int fd = ::open(options.port.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw ToolError("sniff: cannot open " + options.port + ": " + std::strerror(errno));
    if (::isatty(fd)) {
        kelhost::SerialSettings settings;
        settings.baud = options.baud;
        std::string why;
        if (!kelhost::configureRaw(fd, settings, &why)) {
            ::close(fd);
            throw ToolError("sniff: " + options.port + ": " + why);
        }
    }
    return fd;
}

class Listener : public FrameSink {
public:
    Listener(const SniffOptions& options, std::FILE* out, LineCapture* capture)
        : options_(options), out_(out), capture_(capture)
    {
    }

    void frame(const SniffedFrame& f) override
    {
        using Kind = SniffedFrame::Kind;
        char remark[96] = "noise";
        const char* direction = "?";
        if (f.kind == Kind::Request) {
            DecodedRequest q;
            decodeRequest(f.data, f.length, &q);
            direction = ">";
            last_address_ = q.address;
            last_register_ = q.reg;
            ++requests_;
            countRound(q);
            std::snprintf(remark, sizeof remark, "register %u, address %u", q.reg, q.address);
            if (capture_)
                capture_->bytes(CaptureKind::Request, kNoDevice, q.address, q.reg, kFlagSniffed,
                                f.data, f.length, f.at);
        } else if (f.kind == Kind::Reply) {
            DecodedReply r;
            decodeReply(f.data, f.length, &r);
            direction = "<";
            ++replies_;
            if (last_register_ >= 0)
                std::snprintf(remark, sizeof remark, "value %u, answers register %d of address %d%s",
                              r.data, last_register_, last_address_,
                              replyEchoes(r, static_cast<uint8_t>(last_register_))
                                  ? ""
                                  : " (its bytes 2-3 name another)");
            else
                std::snprintf(remark, sizeof remark, "value %u, no request heard before it",
                              r.data);
            if (capture_)
                capture_->bytes(CaptureKind::Reply, kNoDevice,
                                static_cast<uint8_t>(std::max(last_address_, 0)), last_register_,
                                kFlagSniffed, f.data, f.length, f.at);
            last_register_ = -1;  // a second reply answers nothing heard
        } else {
            noise_bytes_ += f.length;
            if (capture_)
                capture_->bytes(CaptureKind::Reply, kNoDevice, 0, -1, kFlagSniffed | kFlagNoise,
                                f.data, f.length, f.at);
        }
        print(f, direction, remark);
    }

    // --rounds: every address heard has begun the round after the last one asked for.
    bool roundsDone() const
    {
        if (options_.rounds == 0 || addresses_heard_ == 0)
            return false;
        for (const Polled& p : polled_)
            if (p.rounds > 0 && p.rounds <= options_.rounds)
                return false;
        return true;
    }

    void summary()
    {
        std::fprintf(out_, "sniff %s: %llu requests, %llu replies, %llu bytes of noise\n",
                     options_.port.c_str(), static_cast<unsigned long long>(requests_),
                     static_cast<unsigned long long>(replies_),
                     static_cast<unsigned long long>(noise_bytes_));
    }

private:
    struct Polled {
        uint64_t rounds = 0;  // begun
        int last_register = -1;
    };

    // A poll goes through the registers in rising order: a register not
    // above the one before, to the same address, begins a round.
    void countRound(const DecodedRequest& q)
    {
        Polled& p = polled_[q.address];
        if (p.rounds == 0)
            ++addresses_heard_;
        if (p.rounds == 0 || q.reg <= p.last_register)
            ++p.rounds;
        p.last_register = q.reg;
    }

    // As --trace shows a line: time, direction, length, the bytes as text and hex.
    void print(const SniffedFrame& f, const char* direction, const char* remark)
    {
        const WallTime now = WallTime::now();
        const auto back = std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now() - f.at).count();
        long long ns = now.seconds * 1000000000LL + now.nanoseconds - back;
        WallTime at{ns / 1000000000LL, static_cast<long>(ns % 1000000000LL)};
        char stamp[24];
        formatClock(at, stamp, sizeof stamp, true);
        char text[kMaxNoiseChunk + 1];
        char hex[kMaxNoiseChunk * 3 + 1];
        for (std::size_t i = 0; i < f.length; ++i) {
            text[i] = f.data[i] >= 0x20 && f.data[i] < 0x7F ? static_cast<char>(f.data[i]) : '.';
            std::snprintf(hex + 3 * i, 4, " %02X", f.data[i]);
        }
        text[f.length] = '\0';
        hex[3 * f.length] = '\0';
        std::fprintf(out_, "%s %s %2zu  \"%s\" %s  %s\n", stamp, direction, f.length, text, hex,
                     remark);
    }

    const SniffOptions& options_;
    std::FILE* out_;
    LineCapture* capture_;
    int last_address_ = -1;
    int last_register_ = -1;
    std::array<Polled, 256> polled_{};
    int addresses_heard_ = 0;
    uint64_t requests_ = 0;
    uint64_t replies_ = 0;
    uint64_t noise_bytes_ = 0;
};

int pollTimeout(TimePoint now, TimePoint until)
{
    if (until == TimePoint::max())
        return -1;
    if (until <= now)
        return 0;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(until - now).count();
    return static_cast<int>(std::min<long long>((us + 999) / 1000, 60000));
}

}  // namespace

int runSniff(const SniffOptions& options, std::FILE* out, std::FILE* err)
{
    const int fd = openReadOnly(options);
    std::unique_ptr<CaptureWriter> capture;
    std::unique_ptr<LineCapture> line;
    if (!options.capture_path.empty()) {
        const SignalsKeptFromNewThreads signals_stay_here;  // its writer thread
        try {
            capture = openCapture(options.capture_path, options.capture_limit_bytes,
                                  options.capture_files, false, err);
        } catch (...) {
            ::close(fd);
            throw;
        }
        CaptureLine described;
        described.name = options.port;
        described.description =
            std::to_string(options.baud) + " baud 8N1, listened to by kel36-host sniff";
        described.bits_per_second = static_cast<uint64_t>(options.baud);
        line = std::make_unique<LineCapture>(*capture, described);
    }
    std::setvbuf(out, nullptr, _IOLBF, 0);
    Listener listener(options, out, line.get());
    FrameSplitter splitter(options.gap_ms > 0 ? std::chrono::milliseconds(options.gap_ms)
                                              : frameGapFor(options.baud));
    const StopSignals signals;
    const TimePoint end = options.seconds > 0
                              ? SteadyClock::now() + std::chrono::seconds(options.seconds)
                              : TimePoint::max();
    int status = kExitListened;
    std::array<unsigned char, 256> buffer{};
    while (!listener.roundsDone() && !ferror(out)) {
        const TimePoint now = SteadyClock::now();
        if (now >= end)
            break;
        splitter.idle(now, listener);
        pollfd fds[2] = {{fd, POLLIN, 0}, {signals.fd(), POLLIN, 0}};
        const int ready =
            ::poll(fds, 2, pollTimeout(now, std::min(end, splitter.quietDeadline())));
        if (ready < 0 && errno != EINTR)
            break;
        if (fds[1].revents & POLLIN)
            break;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n > 0) {
                splitter.feed(buffer.data(), static_cast<std::size_t>(n), SteadyClock::now(),
                              listener);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            std::fprintf(err, "kel36-host: sniff: %s: %s\n", options.port.c_str(),
                         n == 0 ? "hang-up" : std::strerror(errno));
            if (line)
                line->lineLost(n == 0 ? "hang-up" : std::strerror(errno), SteadyClock::now());
            status = kExitLineGone;
            break;
        }
    }
    splitter.finish(listener);
    ::close(fd);
    listener.summary();
    if (capture)
        finishCapture(*capture, false, err);
    return status;
}

}  // namespace keltool
