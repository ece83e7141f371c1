#pragma once
// Bounds a blocking system call by a deadline: a timer that interrupts the
// calling thread with SIGALRM (the call returns EINTR) once the deadline has
// come. Re-arming costs a system call, so the alarm is lazy: a deadline that
// moves later (the next reply's time-out, every few milliseconds) keeps the
// earlier alarm, which then comes early, once per time-out, and is re-armed.
// A fired alarm repeats every few milliseconds until re-armed or disarmed:
// an interruption that came just before the blocking call started is not
// lost, only late by that much.

#include "kel36-host/wall_clock.h"

namespace keltool {

class DeadlineAlarm {
public:
    // Interrupts the thread that creates it. Throws ToolError when the timer
    // cannot be made.
    DeadlineAlarm();
    ~DeadlineAlarm();
    DeadlineAlarm(const DeadlineAlarm&) = delete;
    DeadlineAlarm& operator=(const DeadlineAlarm&) = delete;

    // Before a blocking call: an interruption comes no later than `when`.
    void ensureBy(TimePoint when);
    // Not waiting in a blocking call: a fired alarm stops repeating.
    void quietIfFired();

private:
    void arm(TimePoint when);

    void* timer_ = nullptr;
    TimePoint armed_for_ = TimePoint::max();
};

}  // namespace keltool
