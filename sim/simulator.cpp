// The simulated controller: one thread per line, waiting in poll() on the
// line and on an eventfd that stop() signals. Requests are answered one after
// the other, like a controller with a single-threaded firmware loop; bytes
// that arrive while a reply is delayed wait in the line's buffer.

#include "simulator.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "faults.h"
#include "line.h"
#include "protocol.h"

namespace kelsim {
namespace {

using Clock = std::chrono::steady_clock;

void checkOptions(const Options& options) {
    const Faults& f = options.faults;
    const double rates[] = {f.drop, f.split, f.overlong, f.garble, f.delay};
    for (double rate : rates) {
        if (!(rate >= 0.0 && rate <= 1.0)) throw std::runtime_error("fault rate must be within 0..1");
    }
    if (f.delay_ms < 0) throw std::runtime_error("reply delay must not be negative");
    if (f.baud <= 0) throw std::runtime_error("baud rate must be positive");
}

class LineSimulator final : public Simulator {
public:
    LineSimulator(Line line, const Options& options)
        : line_(std::move(line)),
          address_(options.address),
          scenario_(options.scenario),
          peers_(options.peers),
          pace_(options.faults.pace),
          byte_time_(std::chrono::nanoseconds(10'000'000'000LL / options.faults.baud)),
          planner_(options.faults) {
        wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_fd_ < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
        thread_ = std::thread([this] { run(); });
    }

    ~LineSimulator() override {
        stop();
        ::close(wake_fd_);
    }

    const std::string& devicePath() const override { return line_.path; }

    Stats stats() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return stats_;
    }

    void setScenario(const Scenario& scenario) override {
        std::lock_guard<std::mutex> lock(mutex_);
        scenario_ = scenario;
    }

    void stop() override {
        std::lock_guard<std::mutex> lock(stop_mutex_);
        if (!thread_.joinable()) return;
        const uint64_t one = 1;
        // Cannot fail short of a full counter; the thread also only checks readability.
        [[maybe_unused]] ssize_t written = ::write(wake_fd_, &one, sizeof one);
        thread_.join();
    }

    std::string failure() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return failure_;
    }

private:
    void run() {
        pollfd fds[2] = {{line_.fd, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        unsigned char buffer[256];
        for (;;) {
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return fail("poll");
            }
            if (fds[1].revents) return;
            if (fds[0].revents & POLLIN) {
                const ssize_t n = ::read(line_.fd, buffer, sizeof buffer);
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                if (n < 0) return fail("read");
                if (n == 0) return fail("read", "line closed");
                if (!handle(buffer, static_cast<std::size_t>(n))) return;
            } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                return fail("poll", "line hung up");
            }
        }
    }

    // False once stop() was called or the line failed.
    bool handle(const unsigned char* data, std::size_t length) {
        for (std::size_t i = 0; i < length; ++i) {
            const auto request = parser_.push(data[i]);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                stats_.malformed = parser_.malformed();
                if (request) ++stats_.requests;
                if (request && !answers(request->address)) ++stats_.other_address;
            }
            if (request && answers(request->address) && !answer(*request)) return false;
        }
        return true;
    }

    bool answers(uint8_t address) const {
        if (address == address_) return true;
        for (const LinePeer& peer : peers_) {
            if (peer.address == address) return true;
        }
        return false;
    }

    uint8_t registerValue(uint8_t address, uint8_t reg) const {
        for (const LinePeer& peer : peers_) {
            if (peer.address == address && address != address_) return peer.scenario.registers[reg];
        }
        std::lock_guard<std::mutex> lock(mutex_);
        return scenario_.registers[reg];
    }

    bool answer(const Request& request) {
        const uint8_t value = registerValue(request.address, request.reg);
        const ReplyPlan plan = planner_.plan(encodeReply(value, request.reg));
        count(plan);
        if (plan.dropped) return true;
        if (plan.delay_ms > 0 && !waitFor(std::chrono::milliseconds(plan.delay_ms))) return false;
        {
            // Counted before the bytes go out, so whoever has read the reply
            // also sees it in the statistics.
            std::lock_guard<std::mutex> lock(mutex_);
            ++stats_.replies;
        }
        for (const auto& chunk : plan.chunks) {
            if (chunk.gap_ms > 0 && !waitFor(std::chrono::milliseconds(chunk.gap_ms))) return false;
            if (!send(chunk.bytes)) return false;
        }
        return true;
    }

    void count(const ReplyPlan& plan) {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_.dropped += plan.dropped;
        stats_.delayed += plan.delayed;
        stats_.garbled += plan.garbled;
        stats_.overlong += plan.overlong;
        stats_.split += plan.split;
    }

    bool send(const std::string& bytes) {
        if (!pace_) return writeAll(bytes.data(), bytes.size());
        // One byte per character time (start + 8 data + stop bits), as a UART
        // at the configured baud rate would put them on the wire.
        for (char byte : bytes) {
            const auto now = Clock::now();
            if (line_free_ > now && !waitFor(line_free_ - now)) return false;
            if (!writeAll(&byte, 1)) return false;
            line_free_ = std::max(line_free_, now) + byte_time_;
        }
        return true;
    }

    bool writeAll(const char* data, std::size_t length) {
        while (length > 0) {
            const ssize_t n = ::write(line_.fd, data, length);
            if (n > 0) {
                data += n;
                length -= static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) return fail("write"), false;
            // Output buffer full (nobody reading): wait for room or for stop().
            pollfd fds[2] = {{line_.fd, POLLOUT, 0}, {wake_fd_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) return fail("poll"), false;
            if (fds[1].revents) return false;
        }
        return true;
    }

    // Sleeps, but returns false at once when stop() is called.
    bool waitFor(Clock::duration duration) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
        timespec timeout{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        pollfd wake{wake_fd_, POLLIN, 0};
        for (;;) {
            const int ready = ::ppoll(&wake, 1, &timeout, nullptr);
            if (ready == 0) return true;
            if (ready > 0) return false;
            if (errno != EINTR) return fail("ppoll"), false;
        }
    }

    void fail(const char* call, const char* reason = nullptr) {
        std::lock_guard<std::mutex> lock(mutex_);
        failure_ = line_.path + ": " + call + ": " + (reason ? reason : std::strerror(errno));
    }

    Line line_;
    const uint8_t address_;
    int wake_fd_ = -1;

    mutable std::mutex mutex_;  // scenario_, stats_, failure_
    Scenario scenario_;
    Stats stats_;
    const std::vector<LinePeer> peers_;
    std::string failure_;

    // Only the serving thread touches these.
    RequestParser parser_;
    const bool pace_;
    const Clock::duration byte_time_;
    Clock::time_point line_free_{};
    FaultPlanner planner_;

    std::mutex stop_mutex_;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<Simulator> startOnPty(const Options& options) {
    checkOptions(options);
    return std::make_unique<LineSimulator>(openPseudoTerminal(), options);
}

std::unique_ptr<Simulator> startOnPort(const std::string& path, const Options& options) {
    checkOptions(options);
    return std::make_unique<LineSimulator>(openSerialDevice(path, options.faults.baud), options);
}

}  // namespace kelsim
