#pragma once
// One simulated controller on a line: its address, its timeline under the
// values live control holds, its faults and its counts. The line's thread
// asks it for replies; live control changes it from another thread, so every
// member function takes the controller's lock.

#include <chrono>
#include <mutex>

#include "faults.h"
#include "register_patch.h"
#include "simulator.h"

namespace kelsim {

using Clock = std::chrono::steady_clock;

class Controller {
public:
    // The timeline starts at `start`.
    Controller(const ControllerOptions& options, Clock::time_point start);

    uint8_t address() const { return address_; }
    ReplyEcho echo() const { return echo_; }

    // The line's side.
    void countRequest();
    // The faults of the next reply, counted.
    ReplyPlan decide();
    // The value of `reg` a reply sent at `now` carries.
    uint8_t registerValue(int reg, Clock::time_point now) const;
    void countReply();

    // Live control. What throws (std::invalid_argument, with the reason)
    // changes nothing.
    void holdQuantity(const std::string& name, double value);
    void holdAlarm(const std::string& name, bool active);
    void holdRegister(int reg, uint8_t value);
    bool release(const std::string& name);  // false: no such name
    void releaseAll();
    void setFaults(const Faults& faults);  // the seed stays
    Faults faults() const;
    // The timeline position at which it stopped or goes on.
    double pause(Clock::time_point now);
    double resume(Clock::time_point now);

    ControllerReport report(Clock::time_point now) const;

private:
    double elapsedLocked(Clock::time_point now) const;
    Scenario imageLocked(Clock::time_point now) const;

    const uint8_t address_;
    const ReplyEcho echo_;
    const Timeline timeline_;
    const Clock::time_point start_;

    mutable std::mutex mutex_;
    RegisterPatch held_;
    FaultPlanner planner_;
    Stats stats_;
    bool paused_ = false;
    Clock::time_point paused_at_{};
    Clock::duration paused_total_{};
};

}  // namespace kelsim
