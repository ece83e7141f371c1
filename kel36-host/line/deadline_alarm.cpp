#include "kel36-host/line/deadline_alarm.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>

#include "kel36-host/tool_error.h"

namespace keltool {
namespace {

constexpr long kRepeatNs = 5'000'000;  // 5 ms

std::atomic<bool> g_fired{false};

extern "C" void onAlarm(int)
{
    g_fired.store(true, std::memory_order_relaxed);
}

timespec toTimespec(TimePoint t)
{
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    return ts;
}

}  // namespace

DeadlineAlarm::DeadlineAlarm()
{
    // No SA_RESTART: the interrupted call must return.
    struct sigaction sa {};
    sa.sa_handler = onAlarm;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, nullptr);
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = SIGALRM;
    event._sigev_un._tid = static_cast<pid_t>(::syscall(SYS_gettid));
    timer_t timer{};
    // The steady clock is CLOCK_MONOTONIC, so deadlines carry over as they are.
    if (::timer_create(CLOCK_MONOTONIC, &event, &timer) != 0)
        throw ToolError(std::string("cannot create a timer: ") + std::strerror(errno));
    timer_ = timer;
}

DeadlineAlarm::~DeadlineAlarm()
{
    ::timer_delete(static_cast<timer_t>(timer_));
    signal(SIGALRM, SIG_DFL);
}

void DeadlineAlarm::ensureBy(TimePoint when)
{
    if (g_fired.exchange(false, std::memory_order_relaxed) || when < armed_for_)
        arm(when);
}

void DeadlineAlarm::quietIfFired()
{
    if (g_fired.exchange(false, std::memory_order_relaxed))
        arm(TimePoint::max());
}

void DeadlineAlarm::arm(TimePoint when)
{
    itimerspec setting{};
    if (when != TimePoint::max()) {
        setting.it_value = toTimespec(when);
        if (setting.it_value.tv_sec == 0 && setting.it_value.tv_nsec == 0)
            setting.it_value.tv_nsec = 1;  // zero would disarm
        setting.it_interval.tv_nsec = kRepeatNs;
    }
    ::timer_settime(static_cast<timer_t>(timer_), TIMER_ABSTIME, &setting, nullptr);
    armed_for_ = when;
}

}  // namespace keltool
