#pragma once
// The event hook: a program run for each announced event (--on-event,
// "onEvent"). The polling thread only queues the event; a worker thread runs
// the programs, a few at once, each killed with its process group when it
// outlives its time-out, and logs each one's outcome and first lines of
// output on stderr.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kel36-host/events/announced_event.h"

namespace keltool {

struct EventHookSettings {
    std::vector<std::string> command;  // the program, then its arguments
    std::chrono::milliseconds timeout{30000};
    std::size_t queue_limit = 256;
    std::size_t parallel = 4;
    bool service = false;  // journal levels before log lines
};

// How long the end of a run waits for queued and running programs.
constexpr std::chrono::seconds kHookDrainLimit{10};

class EventHook : public EventListener {
public:
    // Throws ToolError when the program cannot be run (checked before polling).
    EventHook(EventHookSettings settings, std::FILE* log);
    ~EventHook() override;
    EventHook(const EventHook&) = delete;
    EventHook& operator=(const EventHook&) = delete;

    // Queues; never waits. A full queue drops the event and says so once.
    void announce(const AnnouncedEvent& event) override;

    // Waits up to `limit` for what is queued and running, then kills what
    // still runs and drops what was not started; says how many on the log.
    // Returns the number of events whose program did not run to its end.
    std::size_t finish(std::chrono::milliseconds limit);

    // Runs the program for one event on this thread and waits for it; its
    // outcome is logged. Returns a wait status (killed: -1).
    int runNow(const AnnouncedEvent& event);

private:
    struct Running;
    void work();
    void startProgram(const AnnouncedEvent& event, std::vector<std::unique_ptr<Running>>& running);
    void logOutcome(const Running& run);

    EventHookSettings settings_;
    std::FILE* log_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<AnnouncedEvent> queue_;
    bool closing_ = false;           // no more events; the worker ends when idle
    bool abort_ = false;             // the drain's time is up
    bool worker_done_ = false;
    uint64_t dropped_full_ = 0;
    std::size_t not_finished_ = 0;
    std::thread worker_;
};

}  // namespace keltool
