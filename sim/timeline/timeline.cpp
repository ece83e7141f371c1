#include "timeline/timeline.h"

#include <algorithm>
#include <cmath>

#include "number_text.h"
#include "scenario.h"

namespace kelsim {
namespace {

bool touchesQuantity(const RegisterPatch& patch, const std::string& quantity)
{
    int regs[2];
    const int count = quantityRegisters(quantity, regs);
    for (int i = 0; i < count; ++i) {
        if (patch.touches(regs[i]))
            return true;
    }
    return false;
}

std::string seconds(double s)
{
    return formatNumber(s) + " s";
}

}  // namespace

double Timeline::ActiveRamp::valueAt(double t_s) const
{
    if (t_s >= to_s)
        return to;
    return from + (to - from) * ((t_s - from_s) / (to_s - from_s));
}

Timeline::Timeline(const Scenario& start) : start_(start) {}

Timeline::Timeline(const Scenario& start, std::vector<TimelineStep> steps, double period_s)
    : start_(start), steps_(std::move(steps)), period_s_(period_s)
{
    if (!(std::isfinite(period_s_) && period_s_ >= 0))
        throw TimelineError(0, "period", "the period must be a number of seconds above 0");
    double previous = 0;
    for (std::size_t i = 0; i < steps_.size(); ++i) {
        const TimelineStep& step = steps_[i];
        if (!(std::isfinite(step.at_s) && step.at_s >= 0))
            throw TimelineError(i, "at", "expected a number of seconds, 0 or more");
        if (step.at_s < previous)
            throw TimelineError(i, "at",
                                seconds(step.at_s) + " is before the previous step's " +
                                    seconds(previous) + " (steps must be in time order)");
        previous = step.at_s;
        if (period_s_ > 0 && step.at_s >= period_s_)
            throw TimelineError(
                i, "at", seconds(step.at_s) + " is not within the period of " + seconds(period_s_));
        if (step.ramps.empty())
            continue;
        if (!(std::isfinite(step.over_s) && step.over_s > 0))
            throw TimelineError(i, "over", "expected a number of seconds above 0");
        if (period_s_ > 0 && step.at_s + step.over_s > period_s_)
            throw TimelineError(i, "over",
                                "the ramp ends at " + seconds(step.at_s + step.over_s) +
                                    ", after the period of " + seconds(period_s_));
        for (const TimelineRamp& ramp : step.ramps) {
            Scenario probe;
            try {
                setQuantity(probe, ramp.quantity, ramp.to);
            } catch (const std::invalid_argument& e) {
                throw TimelineError(i, "ramp", ramp.quantity + ": " + e.what());
            }
        }
    }

    // Play the steps once, keeping the image at each step's time.
    Scenario image = start_;
    std::vector<ActiveRamp> running;
    snapshots_.reserve(steps_.size());
    for (const TimelineStep& step : steps_) {
        for (const ActiveRamp& ramp : running)
            setQuantityNearest(image, ramp.quantity, ramp.valueAt(step.at_s));
        running.erase(std::remove_if(running.begin(), running.end(),
                                     [&](const ActiveRamp& r) {
                                         return r.to_s <= step.at_s ||
                                                touchesQuantity(step.set, r.quantity);
                                     }),
                      running.end());
        step.set.apply(image);
        for (const TimelineRamp& ramp : step.ramps) {
            running.erase(
                std::remove_if(running.begin(), running.end(),
                               [&](const ActiveRamp& r) { return r.quantity == ramp.quantity; }),
                running.end());
            running.push_back({ramp.quantity, step.at_s, step.at_s + step.over_s,
                               quantityValue(image, ramp.quantity), ramp.to});
        }
        snapshots_.push_back({image, running});
    }
}

double Timeline::position(double t_s) const
{
    return period_s_ > 0 ? std::fmod(t_s, period_s_) : t_s;
}

Scenario Timeline::at(double t_s) const
{
    const double t = position(std::max(t_s, 0.0));
    const auto after = std::upper_bound(steps_.begin(), steps_.end(), t,
                                        [](double v, const TimelineStep& s) { return v < s.at_s; });
    if (after == steps_.begin())
        return start_;
    const Snapshot& snapshot = snapshots_[static_cast<std::size_t>(after - steps_.begin()) - 1];
    Scenario image = snapshot.image;
    for (const ActiveRamp& ramp : snapshot.ramps)
        setQuantityNearest(image, ramp.quantity, ramp.valueAt(t));
    return image;
}

}  // namespace kelsim
