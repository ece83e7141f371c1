#include "kel36-host/events/event_hook.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "kel36-host/events/event_text.h"
#include "kel36-host/events/hook_process.h"

namespace keltool {
namespace {

// Between two looks at the running programs where an exit cannot be waited
// for (no pidfd): how soon it is seen.
constexpr std::chrono::milliseconds kTick{20};

// Waits until one of the programs wrote or ended, or `until` (at most a tick
// where an end cannot be waited for).
void waitForOutput(const std::vector<HookProcess*>& processes, TimePoint until)
{
    std::vector<pollfd> fds;
    bool ends_seen = true;
    for (HookProcess* p : processes) {
        if (p->outputFd() >= 0)
            fds.push_back(pollfd{p->outputFd(), POLLIN, 0});
        if (p->exitFd() >= 0)
            fds.push_back(pollfd{p->exitFd(), POLLIN, 0});
        else
            ends_seen = false;
    }
    // The worker also picks up new events between waits.
    const auto most = ends_seen ? std::chrono::milliseconds(100) : kTick;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - SteadyClock::now());
    const int ms = static_cast<int>(std::clamp(left, std::chrono::milliseconds(0), most).count());
    ::poll(fds.data(), fds.size(), ms);
}

}  // namespace

struct EventHook::Running {
    std::string label;
    std::unique_ptr<HookProcess> process;
};

EventHook::EventHook(EventHookSettings settings, std::FILE* log)
    : settings_(std::move(settings)), log_(log)
{
    // Checked here, before polling: a hook that cannot run is a bad setting.
    settings_.command.at(0) = resolveHookProgram(settings_.command.at(0));
    // The worker takes no signals: they belong to the polling loop.
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    worker_ = std::thread([this] { work(); });
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

EventHook::~EventHook()
{
    if (worker_.joinable())
        finish(std::chrono::milliseconds(0));
}

void EventHook::announce(const AnnouncedEvent& event)
{
    bool first_drop = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (closing_)
            return;
        if (queue_.size() >= settings_.queue_limit) {
            first_drop = dropped_full_++ == 0;
        } else {
            queue_.push_back(event);
        }
    }
    wake_.notify_one();
    if (first_drop)
        std::fprintf(log_,
                     "%skel36-host: event hook: %zu events wait already: %s and later events are "
                     "dropped while the queue is full (counted at the end)\n",
                     settings_.service ? "<4>" : "", settings_.queue_limit,
                     eventLabel(event).c_str());
}

void EventHook::startProgram(const AnnouncedEvent& event,
                             std::vector<std::unique_ptr<Running>>& running)
{
    auto run = std::make_unique<Running>();
    run->label = eventLabel(event);
    try {
        run->process = std::make_unique<HookProcess>(settings_.command, eventEnvironment(event),
                                                     eventJsonLine(event),
                                                     SteadyClock::now() + settings_.timeout);
    } catch (const std::runtime_error& e) {
        std::fprintf(log_, "%skel36-host: event hook %s: not started: %s\n",
                     settings_.service ? "<4>" : "", run->label.c_str(), e.what());
        const std::lock_guard<std::mutex> lock(mutex_);
        ++not_finished_;
        return;
    }
    running.push_back(std::move(run));
}

void EventHook::logOutcome(const Running& run)
{
    const HookProcess& p = *run.process;
    const bool ok = !p.killed() && WIFEXITED(p.waitStatus()) && WEXITSTATUS(p.waitStatus()) == 0;
    const char* level = settings_.service ? (ok ? "<6>" : "<4>") : "";
    flockfile(log_);
    std::fprintf(log_, "%skel36-host: event hook %s: %s\n", level, run.label.c_str(),
                 p.outcome().c_str());
    for (const std::string& line : p.outputLines())
        std::fprintf(log_, "%skel36-host: event hook %s: | %s\n", level, run.label.c_str(),
                     line.c_str());
    funlockfile(log_);
    std::fflush(log_);
}

void EventHook::work()
{
    std::vector<std::unique_ptr<Running>> running;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        while (!abort_ && running.size() < settings_.parallel && !queue_.empty()) {
            AnnouncedEvent event = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            startProgram(event, running);
            lock.lock();
        }
        if (abort_)
            break;
        if (running.empty()) {
            if (closing_ && queue_.empty())
                break;
            wake_.wait(lock, [this] { return abort_ || closing_ || !queue_.empty(); });
            continue;
        }
        lock.unlock();
        std::vector<HookProcess*> processes;
        TimePoint soonest = TimePoint::max();
        for (const auto& r : running) {
            processes.push_back(r->process.get());
            soonest = std::min(soonest, r->process->deadline());
        }
        waitForOutput(processes, soonest);
        const TimePoint now = SteadyClock::now();
        for (auto it = running.begin(); it != running.end();) {
            HookProcess& p = *(*it)->process;
            p.readOutput();
            if (!p.finished() && now >= p.deadline())
                p.kill();  // the whole group: what it started goes with it
            if (p.finished()) {
                logOutcome(**it);
                it = running.erase(it);
            } else {
                ++it;
            }
        }
        lock.lock();
    }
    // The drain's time is up: what runs is killed, what waits is not run.
    const std::size_t left = running.size() + queue_.size();
    not_finished_ += left;
    queue_.clear();
    lock.unlock();
    for (auto& r : running) {
        r->process->kill("killed: the run ended first");
        logOutcome(*r);
    }
    lock.lock();
    worker_done_ = true;
    idle_.notify_all();
}

std::size_t EventHook::finish(std::chrono::milliseconds limit)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    wake_.notify_all();
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!idle_.wait_for(lock, limit, [this] { return worker_done_; })) {
            abort_ = true;
            wake_.notify_all();
        }
    }
    if (worker_.joinable())
        worker_.join();
    const char* level = settings_.service ? "<4>" : "";
    if (dropped_full_ > 0)
        std::fprintf(log_, "%skel36-host: event hook: %llu events dropped from the full queue\n",
                     level, static_cast<unsigned long long>(dropped_full_));
    if (not_finished_ > 0)
        std::fprintf(log_,
                     "%skel36-host: event hook: %zu events not handled by the end of the run "
                     "(programs still running were killed, queued ones not started)\n",
                     level, not_finished_);
    std::fflush(log_);
    return not_finished_ + static_cast<std::size_t>(dropped_full_);
}

int EventHook::runNow(const AnnouncedEvent& event)
{
    Running run;
    run.label = eventLabel(event);
    run.process = std::make_unique<HookProcess>(settings_.command, eventEnvironment(event),
                                                eventJsonLine(event),
                                                SteadyClock::now() + settings_.timeout);
    HookProcess& p = *run.process;
    while (!p.finished()) {
        waitForOutput({&p}, p.deadline());
        p.readOutput();
        if (!p.finished() && SteadyClock::now() >= p.deadline())
            p.kill();
    }
    logOutcome(run);
    return p.killed() ? -1 : p.waitStatus();
}

}  // namespace keltool
