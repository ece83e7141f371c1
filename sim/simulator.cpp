// The simulated line: one thread per line, waiting in ppoll() on the line and
// on an eventfd that stop() signals. Requests are answered one after the
// other, like a controller with a single-threaded firmware loop (and, with
// several controllers on the line, like a bus with one talker at a time):
// bytes that arrive while a reply is delayed or on its way out are taken in at
// once, so their time of arrival is known, but served only once that reply is
// out. The local echo is the adapter's, not the firmware's: it goes out as the
// poller's bytes cross the line, whatever the controllers are doing.

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
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "control/commands.h"
#include "controller.h"
#include "faults.h"
#include "line.h"
#include "protocol.h"
#include "pty_handover.h"

namespace kelsim {
namespace {

constexpr auto kNever = Clock::time_point::max();

void checkOptions(const Options& options)
{
    if (options.controllers.empty())
        throw std::runtime_error("no controller on the line");
    std::set<uint8_t> addresses;
    for (const ControllerOptions& c : options.controllers) {
        if (!addresses.insert(c.address).second)
            throw std::runtime_error("address " + std::to_string(c.address) +
                                     " is on the line twice");
        const std::string problem = faultsProblem(c.faults);
        if (!problem.empty())
            throw std::runtime_error(problem);
    }
    if (options.line.baud <= 0)
        throw std::runtime_error("baud rate must be positive");
    if (options.line.turnaround_ms < 0)
        throw std::runtime_error("turnaround must not be negative");
}

void enableRs485(const Line& line, const Options& options)
{
    std::string error;
    if (options.rs485 && !kelcli::enableRs485(line.fd, *options.rs485, &error))
        throw std::runtime_error(line.path + ": " + error);
}

class LineSimulator final : public Simulator {
public:
    LineSimulator(Line line, const Options& options)
        : line_(std::move(line)),
          replies_(options.replies),
          local_echo_(options.local_echo),
          pace_(options.line.pace),
          char_time_(pace_ ? std::chrono::nanoseconds(10'000'000'000LL / options.line.baud)
                           : Clock::duration::zero()),
          turnaround_(pace_ ? std::chrono::milliseconds(options.line.turnaround_ms)
                            : Clock::duration::zero()),
          handover_(pace_ && line_.keep_open >= 0 ? ptyHandover() : PtyHandover{})
    {
        const auto start = Clock::now();
        for (const ControllerOptions& c : options.controllers) {
            controllers_.push_back(std::make_unique<Controller>(c, start));
            controller_list_.push_back(controllers_.back().get());
        }
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
        Stats total;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            total = stats_;
        }
        const auto now = Clock::now();
        for (const auto& c : controllers_) {
            const Stats s = c->report(now).stats;
            total.replies += s.replies;
            total.dropped += s.dropped;
            total.split += s.split;
            total.overlong += s.overlong;
            total.garbled += s.garbled;
            total.delayed += s.delayed;
        }
        return total;
    }

    std::vector<ControllerReport> report() const override
    {
        const auto now = Clock::now();
        std::vector<ControllerReport> reports;
        for (const auto& c : controllers_)
            reports.push_back(c->report(now));
        return reports;
    }

    std::string control(const std::string& command) override
    {
        return runCommand(controller_list_, command, Clock::now());
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

    Controller* controllerAt(uint8_t address) const
    {
        for (const auto& c : controllers_) {
            if (c->address() == address)
                return c.get();
        }
        return nullptr;
    }

    // False once stop() was called or the line failed.
    bool handle(const Received& r)
    {
        const auto request = parser_.push(r.byte);
        Controller* const addressed = request ? controllerAt(request->address) : nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stats_.malformed = parser_.malformed();
            if (request)
                ++stats_.requests;
            if (request && !addressed)
                ++stats_.other_address;
        }
        if (request && replies_)
            return answerFromSource(*request, r.through);
        return !addressed || answer(*addressed, *request, r.through);
    }

    // The same deadlines as a controller's reply, the timing the source's.
    bool answerFromSource(const Request& request, Clock::time_point received)
    {
        const std::optional<TimedReply> reply = replies_->answer(request);
        if (!reply)
            return true;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++stats_.replies;
        }
        auto from = std::max(received, send_free_);
        for (const TimedReply::Chunk& chunk : reply->chunks) {
            from = std::max(from, send_free_) + chunk.gap;
            if (!send(chunk.bytes, false, from))
                return false;
        }
        return true;
    }

    bool answer(Controller& controller, const Request& request, Clock::time_point received)
    {
        controller.countRequest();
        ReplyPlan plan = controller.decide();
        if (plan.dropped)
            return true;
        // The firmware takes the request once it is through and its previous
        // reply has left, then needs its turnaround (paced; at once otherwise).
        // Every time from here on is a deadline reckoned from this one, never
        // from when the thread happened to wake, so lateness does not add up.
        const auto start = std::max(received, send_free_) + turnaround_ +
                           std::chrono::milliseconds(plan.delay_ms);
        if (!wait(start, false))
            return false;
        // The reply carries the registers as they are when it leaves.
        const uint8_t value = controller.registerValue(request.reg, Clock::now());
        FaultPlanner::shape(plan, encodeReply(value, request.reg, controller.echo()));
        // Counted before the bytes go out, so whoever has read the reply also
        // sees it in the statistics.
        controller.countReply();
        auto from = start;
        for (const auto& chunk : plan.chunks) {
            from = std::max(from, send_free_) + std::chrono::milliseconds(chunk.gap_ms);
            if (!send(chunk.bytes, plan.split, from))
                return false;
        }
        return true;
    }

    // Sends `bytes` starting at `from`. Paced, a character reaches the poller
    // when its stop bit is through: one write per character, never two at
    // once, as a UART delivers them, each on its own deadline (the line's
    // running one), so a late wake-up delays that write only. Only a split
    // reply's chunk is written whole once its last character is through, as a
    // receiver's buffer or a USB adapter may hand bytes over.
    bool send(const std::string& bytes, bool bunched, Clock::time_point from)
    {
        if (!pace_)
            return wait(from, false) && writeAll(bytes.data(), bytes.size());
        const std::size_t per_write = bunched ? bytes.size() : 1;
        auto due = std::max(send_free_, from);
        for (std::size_t i = 0; i < bytes.size(); i += per_write) {
            due += static_cast<int>(per_write) * char_time_;
            if (!wait(due - handover_.send, false) || !writeAll(bytes.data() + i, per_write))
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
    // taking in whatever arrives meanwhile and sending the local echo when it
    // is due. False once stop() was called or the line failed.
    bool wait(Clock::time_point until, bool for_input)
    {
        pollfd fds[2] = {{line_.fd, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        for (;;) {
            if (!sendDueEcho())
                return false;
            const auto now = Clock::now();
            if (until != kNever && now >= until)
                return true;
            const auto next = echo_.empty() ? until : std::min(until, echo_.front().through - handover_.send);
            timespec timeout{};
            timespec* limit = nullptr;
            if (next != kNever) {
                const auto left = std::max<int64_t>(
                    0, std::chrono::duration_cast<std::chrono::nanoseconds>(next - now).count());
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
                continue;
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

    // Paced, each echoed character reaches the poller in a write of its own
    // when it has crossed the line.
    bool sendDueEcho()
    {
        const auto now = Clock::now();
        std::size_t sent = 0;
        while (!echo_.empty() && echo_.front().through <= now + handover_.send) {
            const char byte = static_cast<char>(echo_.front().byte);
            echo_.pop_front();
            if (!writeAll(&byte, 1))
                return false;
            ++sent;
        }
        if (sent > 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            stats_.echoed += sent;
        }
        return true;
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
        const auto now = Clock::now() - handover_.receive;
        for (ssize_t i = 0; i < n; ++i) {
            receive_free_ = std::max(receive_free_, now) + char_time_;
            received_.push_back({buffer[i], receive_free_});
            if (local_echo_ && pace_)
                echo_.push_back({buffer[i], receive_free_});
        }
        if (local_echo_ && !pace_) {
            if (!writeAll(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n)))
                return false;
            std::lock_guard<std::mutex> lock(mutex_);
            stats_.echoed += static_cast<uint64_t>(n);
        }
        return true;
    }

    void fail(const char* call, const char* reason = nullptr)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        failure_ = line_.path + ": " + call + ": " + (reason ? reason : std::strerror(errno));
    }

    Line line_;
    const std::shared_ptr<ReplySource> replies_;
    const bool local_echo_;
    std::vector<std::unique_ptr<Controller>> controllers_;
    std::vector<Controller*> controller_list_;
    int wake_fd_ = -1;

    mutable std::mutex mutex_;  // stats_ (the line's own counts), failure_
    Stats stats_;
    std::string failure_;

    // Only the serving thread touches these.
    RequestParser parser_;
    const bool pace_;
    const Clock::duration char_time_;   // zero unpaced
    const Clock::duration turnaround_;  // zero unpaced
    // A pseudo-terminal's own hand-over, taken off both ways when paced.
    const PtyHandover handover_;
    Clock::time_point receive_free_{};  // when the last received character was through
    Clock::time_point send_free_{};     // when the last sent character was through
    std::deque<Received> received_;
    std::deque<Received> echo_;  // paced local echo not yet sent

    std::mutex stop_mutex_;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<Simulator> startOnPty(const Options& options)
{
    checkOptions(options);
    Line line = openPseudoTerminal();
    enableRs485(line, options);
    return std::make_unique<LineSimulator>(std::move(line), options);
}

std::unique_ptr<Simulator> startOnPort(const std::string& path, const Options& options)
{
    checkOptions(options);
    Line line = openSerialDevice(path, options.line.baud);
    enableRs485(line, options);
    return std::make_unique<LineSimulator>(std::move(line), options);
}

}  // namespace kelsim
