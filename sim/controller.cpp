#include "controller.h"

namespace kelsim {

Controller::Controller(const ControllerOptions& options, Clock::time_point start)
    : address_(options.address),
      echo_(options.echo),
      timeline_(options.timeline),
      start_(start),
      planner_(options.faults)
{
}

void Controller::countRequest()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++stats_.requests;
}

ReplyPlan Controller::decide()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ReplyPlan plan = planner_.decide();
    stats_.dropped += plan.dropped;
    stats_.delayed += plan.delayed;
    stats_.garbled += plan.garbled;
    stats_.overlong += plan.overlong;
    stats_.split += plan.split;
    return plan;
}

uint8_t Controller::registerValue(int reg, Clock::time_point now) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return imageLocked(now).registers[reg];
}

void Controller::countReply()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++stats_.replies;
}

void Controller::holdQuantity(const std::string& name, double value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    held_.setQuantity(name, value);
}

void Controller::holdAlarm(const std::string& name, bool active)
{
    std::lock_guard<std::mutex> lock(mutex_);
    held_.setAlarm(name, active);
}

void Controller::holdRegister(int reg, uint8_t value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    held_.setRegister(reg, value);
}

bool Controller::release(const std::string& name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return held_.release(name);
}

void Controller::releaseAll()
{
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = RegisterPatch{};
}

void Controller::setFaults(const Faults& faults)
{
    std::lock_guard<std::mutex> lock(mutex_);
    planner_.setRates(faults);
}

Faults Controller::faults() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return planner_.faults();
}

double Controller::pause(Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!paused_) {
        paused_ = true;
        paused_at_ = now;
    }
    return elapsedLocked(now);
}

double Controller::resume(Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (paused_) {
        paused_total_ += now - paused_at_;
        paused_ = false;
    }
    return elapsedLocked(now);
}

ControllerReport Controller::report(Clock::time_point now) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    ControllerReport r;
    r.address = address_;
    r.echo = echo_;
    r.stats = stats_;
    r.faults = planner_.faults();
    r.timeline_steps = timeline_.stepCount();
    r.period_s = timeline_.period();
    r.elapsed_s = elapsedLocked(now);
    r.position_s = timeline_.position(r.elapsed_s);
    r.paused = paused_;
    r.image = imageLocked(now);
    r.held = held_.names();
    return r;
}

double Controller::elapsedLocked(Clock::time_point now) const
{
    const Clock::time_point until = paused_ ? paused_at_ : now;
    return std::chrono::duration<double>(until - start_ - paused_total_).count();
}

Scenario Controller::imageLocked(Clock::time_point now) const
{
    Scenario image = timeline_.moves() ? timeline_.at(elapsedLocked(now)) : timeline_.start();
    held_.apply(image);
    return image;
}

}  // namespace kelsim
