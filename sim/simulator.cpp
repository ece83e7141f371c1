// The simulated controller: one thread per line, waiting in ppoll() on the
// line and on an eventfd that stop() signals. Requests are answered one after
// the other, like a controller with a single-threaded firmware loop: bytes
// that arrive while a reply is delayed or on its way out are taken in at once,
// so their time of arrival is known, but served only once that reply is out.

#include "simulator.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "faults.h"
#include "line.h"
#include "protocol.h"

namespace kelsim {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kNever = Clock::time_point::max();

void checkOptions(const Options& options)
{
    const Faults& f = options.faults;
    const double rates[] = {f.drop, f.split, f.overlong, f.garble, f.delay};
    for (double rate : rates) {
        if (!(rate >= 0.0 && rate <= 1.0))
            throw std::runtime_error("fault rate must be within 0..1");
    }
    if (f.delay_ms < 0)
        throw std::runtime_error("reply delay must not be negative");
    if (options.line.baud <= 0)
        throw std::runtime_error("baud rate must be positive");
    if (options.line.turnaround_ms < 0)
        throw std::runtime_error("turnaround must not be negative");
}

class LineSimulator final : public Simulator {
public:
    LineSimulator(Line line, const Options& options)
        : line_(std::move(line)),
          address_(options.address),
          echo_(options.echo),
          scenario_(options.scenario),
          pace_(options.line.pace),
          char_time_(pace_ ? std::chrono::nanoseconds(10'000'000'000LL / options.line.baud)
                           : Clock::duration::zero()),
          turnaround_(pace_ ? std::chrono::milliseconds(options.line.turnaround_ms)
                            : Clock::duration::zero()),
          planner_(options.faults)
    {
        wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_fd_ < 0)
            throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
        thread_ = std::thread([this] { run(); });
    }

    ~LineSimulator() override
    {
        stop();
        ::close(wake_fd_);
    }

    const std::string& devicePath() const override { return line_.path; }

    Stats stats() const override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return stats_;
    }

    void setScenario(const Scenario& scenario) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        scenario_ = scenario;
    }

    void stop() override
    {
        std::lock_guard<std::mutex> lock(stop_mutex_);
        if (!thread_.joinable())
            return;
        const uint64_t one = 1;
        // Cannot fail short of a full counter; the thread also only checks readability.
        [[maybe_unused]] ssize_t written = ::write(wake_fd_, &one, sizeof one);
        thread_.join();
    }

    std::string failure() const override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return failure_;
    }

private:
    // A byte taken from the line, with the time its character has crossed it.
    struct Received {
        uint8_t byte;
        Clock::time_point through;
    };

    void run()
    {
        // Paced characters are tens of microseconds apart at high baud rates;
        // the default timer slack of 50 us would bunch them.
        if (pace_)
            prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        for (;;) {
            while (!received_.empty()) {
                const Received r = received_.front();
                received_.pop_front();
                if (!handle(r))
                    return;
            }
            if (!wait(kNever, true))
                return;
        }
    }

    // False once stop() was called or the line failed.
    bool handle(const Received& r)
    {
        const auto request = parser_.push(r.byte);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stats_.malformed = parser_.malformed();
            if (request)
                ++stats_.requests;
            if (request && request->address != address_)
                ++stats_.other_address;
        }
        return !(request && request->address == address_) || answer(*request, r.through);
    }

    bool answer(const Request& request, Clock::time_point received)
    {
        uint8_t value;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            value = scenario_.registers[request.reg];
        }
        const ReplyPlan plan = planner_.plan(encodeReply(value, request.reg, echo_));
        count(plan);
        if (plan.dropped)
            return true;
        // The firmware takes the request once it is through and its previous
        // reply has left, then needs its turnaround (paced; at once otherwise).
        const auto start = std::max(std::max(received, send_free_) + turnaround_, Clock::now()) +
                           std::chrono::milliseconds(plan.delay_ms);
        if (!wait(start, false))
            return false;
        {
            // Counted before the bytes go out, so whoever has read the reply
            // also sees it in the statistics.
            std::lock_guard<std::mutex> lock(mutex_);
            ++stats_.replies;
        }
        for (const auto& chunk : plan.chunks) {
            if (chunk.gap_ms > 0 &&
                !wait(Clock::now() + std::chrono::milliseconds(chunk.gap_ms), false))
                return false;
            if (!send(chunk.bytes, plan.split))
                return false;
        }
        return true;
    }

    void count(const ReplyPlan& plan)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_.dropped += plan.dropped;
        stats_.delayed += plan.delayed;
        stats_.garbled += plan.garbled;
        stats_.overlong += plan.overlong;
        stats_.split += plan.split;
    }

    // Paced, a character reaches the poller when its stop bit is through:
    // one write per character, never two at once, as a UART delivers them.
    // Only a split reply's chunk is written whole once its last character is
    // through, as a receiver's buffer or a USB adapter may hand bytes over.
    bool send(const std::string& bytes, bool bunched)
    {
        if (!pace_)
            return writeAll(bytes.data(), bytes.size());
        const std::size_t per_write = bunched ? bytes.size() : 1;
        for (std::size_t i = 0; i < bytes.size(); i += per_write) {
            const auto due =
                std::max(send_free_, Clock::now()) + static_cast<int>(per_write) * char_time_;
            if (!wait(due, false) || !writeAll(bytes.data() + i, per_write))
                return false;
            send_free_ = due;
        }
        return true;
    }

    bool writeAll(const char* data, std::size_t length)
    {
        while (length > 0) {
            const ssize_t n = ::write(line_.fd, data, length);
            if (n > 0) {
                data += n;
                length -= static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN)
                return fail("write"), false;
            // Output buffer full (nobody reading): wait for room or for stop().
            pollfd fds[2] = {{line_.fd, POLLOUT, 0}, {wake_fd_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                return fail("poll"), false;
            if (fds[1].revents)
                return false;
        }
        return true;
    }

    // Waits until `until`, or with `for_input` only until bytes have come,
    // taking in whatever arrives meanwhile. False once stop() was called or
    // the line failed.
    bool wait(Clock::time_point until, bool for_input)
    {
        pollfd fds[2] = {{line_.fd, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        for (;;) {
            timespec timeout{};
            timespec* limit = nullptr;
            if (until != kNever) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now())
                        .count();
                if (left <= 0)
                    return true;
                timeout = {static_cast<time_t>(left / 1'000'000'000),
                           static_cast<long>(left % 1'000'000'000)};
                limit = &timeout;
            }
            const int ready = ::ppoll(fds, 2, limit, nullptr);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0)
                return fail("ppoll"), false;
            if (ready == 0)
                return true;
            if (fds[1].revents)
                return false;
            if (fds[0].revents & POLLIN) {
                if (!takeInput())
                    return false;
                if (for_input)
                    return true;
            } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                return fail("poll", "line hung up"), false;
            }
        }
    }

    bool takeInput()
    {
        unsigned char buffer[256];
        const ssize_t n = ::read(line_.fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
        if (n < 0)
            return fail("read"), false;
        if (n == 0)
            return fail("read", "line closed"), false;
        // A pseudo-terminal hands over at once what a poller wrote at once;
        // paced, each character still takes its time on the wire.
        const auto now = Clock::now();
        for (ssize_t i = 0; i < n; ++i) {
            receive_free_ = std::max(receive_free_, now) + char_time_;
            received_.push_back({buffer[i], receive_free_});
        }
        return true;
    }

    void fail(const char* call, const char* reason = nullptr)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        failure_ = line_.path + ": " + call + ": " + (reason ? reason : std::strerror(errno));
    }

    Line line_;
    const uint8_t address_;
    const ReplyEcho echo_;
    int wake_fd_ = -1;

    mutable std::mutex mutex_;  // scenario_, stats_, failure_
    Scenario scenario_;
    Stats stats_;
    std::string failure_;

    // Only the serving thread touches these.
    RequestParser parser_;
    const bool pace_;
    const Clock::duration char_time_;   // zero unpaced
    const Clock::duration turnaround_;  // zero unpaced
    Clock::time_point receive_free_{};  // when the last received character was through
    Clock::time_point send_free_{};     // when the last sent character was through
    std::deque<Received> received_;
    FaultPlanner planner_;

    std::mutex stop_mutex_;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<Simulator> startOnPty(const Options& options)
{
    checkOptions(options);
    return std::make_unique<LineSimulator>(openPseudoTerminal(), options);
}

std::unique_ptr<Simulator> startOnPort(const std::string& path, const Options& options)
{
    checkOptions(options);
    return std::make_unique<LineSimulator>(openSerialDevice(path, options.line.baud), options);
}

}  // namespace kelsim
