#include "kel36-host/run/event_loop.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "kel36-host/line/line_bus.h"
#include "kel36-host/line/deadline_alarm.h"
#include "kel36-host/output/reports.h"
#include "kel36-host/tool_error.h"

namespace keltool {
namespace {

int g_write_fd = -1;
std::atomic<int> g_signal{0};

extern "C" void onStopSignal(int signo)
{
    const int saved = errno;
    g_signal.store(signo);
    const char byte = 1;
    if (g_write_fd >= 0) {
        [[maybe_unused]] const ssize_t n = ::write(g_write_fd, &byte, 1);
    }
    errno = saved;
}

timespec toTimespec(SteadyClock::duration d)
{
    if (d < SteadyClock::duration::zero())
        d = SteadyClock::duration::zero();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}

// The status the loop ends with, or -1 while it goes on.
int stopStatus(const std::vector<LineBus*>& buses, const StopSignals& signals,
               const std::function<bool()>& should_stop)
{
    if (signals.signalNumber() != 0)
        return signals.signalNumber();
    if (should_stop && should_stop())
        return 0;
    if (std::all_of(buses.begin(), buses.end(), [](const LineBus* b) { return b->finished(); }))
        return 0;
    return -1;
}

}  // namespace

StopSignals::StopSignals()
{
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        throw ToolError(std::string("cannot create signal pipe: ") + std::strerror(errno));
    read_fd_ = fds[0];
    g_write_fd = fds[1];
    g_signal.store(0);
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A closed terminal or SSH session: the run ends as cleanly as asked to.
    sigaction(SIGHUP, &sa, nullptr);
    // A closed output pipe shows as a write error, not a silent death.
    signal(SIGPIPE, SIG_IGN);
}

StopSignals::~StopSignals()
{
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    const int w = g_write_fd;
    g_write_fd = -1;
    ::close(w);
    ::close(read_fd_);
}

int StopSignals::signalNumber() const
{
    return g_signal.load();
}

SignalsKeptFromNewThreads::SignalsKeptFromNewThreads()
{
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGHUP);
    sigaddset(&blocked, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &blocked, &saved_);
}

SignalsKeptFromNewThreads::~SignalsKeptFromNewThreads()
{
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

int runEventLoop(const std::vector<LineBus*>& buses, const StopSignals& signals, OutputSink* output,
                 const std::function<bool()>& should_stop)
{
    std::vector<pollfd> fds(buses.size() + 1);
    std::optional<DeadlineAlarm> alarm;
    for (;;) {
        // Asked before anything falls due, and again after it (a device that
        // gave up ends the run at once).
        if (const int stop = stopStatus(buses, signals, should_stop); stop >= 0)
            return stop;
        // Deadlines first: a due round or time-out is handled before waiting.
        TimePoint now = SteadyClock::now();
        TimePoint earliest = TimePoint::max();
        for (LineBus* b : buses) {
            // A round that ends at once (a request the line would not take)
            // makes the next one due; a few passes settle it.
            TimePoint due = b->deadline();
            for (int pass = 0; pass < 4 && due <= now; ++pass) {
                b->onTimer(now);
                now = SteadyClock::now();
                due = b->deadline();
            }
            earliest = std::min(earliest, due);
        }
        if (output) {
            if (output->wakeAt() <= now)
                output->onWake(now);
            earliest = std::min(earliest, output->wakeAt());
        }
        if (const int stop = stopStatus(buses, signals, should_stop); stop >= 0)
            return stop;
        if (earliest <= now)
            continue;

        if (buses.size() == 1 && buses[0]->canWaitInRead()) {
            if (!alarm)
                alarm.emplace();
            alarm->ensureBy(earliest);
            // Reply after reply of one round: nothing else can fall due in
            // between (the round's outputs come at its end, and any deadline
            // interrupts the read), so the next read follows at once.
            while (buses[0]->waitInRead() && signals.signalNumber() == 0) {
            }
            continue;
        }
        if (alarm)
            alarm->quietIfFired();

        fds[0] = pollfd{signals.fd(), POLLIN, 0};
        for (std::size_t i = 0; i < buses.size(); ++i)
            fds[i + 1] = pollfd{buses[i]->fd(), POLLIN, 0};
        timespec wait{};
        const timespec* wait_ptr = nullptr;
        if (earliest != TimePoint::max()) {
            wait = toTimespec(earliest - now);
            wait_ptr = &wait;
        }
        const int ready = ::ppoll(fds.data(), fds.size(), wait_ptr, nullptr);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            throw ToolError(std::string("poll failed: ") + std::strerror(errno));
        }
        if (ready == 0)
            continue;
        now = SteadyClock::now();
        for (std::size_t i = 0; i < buses.size(); ++i)
            if (fds[i + 1].revents != 0 && fds[i + 1].fd == buses[i]->fd())
                buses[i]->onIo(fds[i + 1].revents, now);
    }
}

}  // namespace keltool
