#pragma once
// How a scenario changes over time: steps that, at a time from the start, set
// quantities, alarms or raw registers, or ramp quantities linearly to a value
// over a span; optionally repeated with a period.
//
// The register image at time t is the start image with every step up to t
// applied in order. A ramp starts from the quantity's value at its step's
// time; a later step that writes any register of the quantity ends the ramp
// there (the last step to touch a register wins). With a period the timeline
// starts over from the start image at every multiple of it.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "register_patch.h"
#include "scenario.h"

namespace kelsim {

struct TimelineRamp {
    std::string quantity;  // a measured quantity, "uab" ... "battery_voltage"
    double to = 0;         // reached at the end of the span
};

struct TimelineStep {
    double at_s = 0;    // seconds from the start (within a period, from its start)
    RegisterPatch set;  // written at at_s
    std::vector<TimelineRamp> ramps;
    double over_s = 0;  // span of the ramps; > 0 when there are ramps
};

// A step that cannot be played: which step, which of its fields, why.
struct TimelineError : std::invalid_argument {
    TimelineError(std::size_t step_index, const char* field_name, const std::string& reason)
        : std::invalid_argument(reason), step(step_index), field(field_name)
    {
    }
    std::size_t step;
    const char* field;  // "at" or "over"
};

class Timeline {
public:
    // All registers 0, holding still.
    Timeline() = default;
    // `start`, holding still.
    explicit Timeline(const Scenario& start);
    // Steps in time order (equal times keep their order), ramps of measured
    // quantities to values their registers can carry, a period of 0 (play
    // once) or above the last step, its ramp included. Throws TimelineError.
    Timeline(const Scenario& start, std::vector<TimelineStep> steps, double period_s);

    // The register image `t_s` seconds after the start.
    Scenario at(double t_s) const;
    // Seconds into the current period (t_s itself without a period).
    double position(double t_s) const;

    const Scenario& start() const { return start_; }
    bool moves() const { return !steps_.empty(); }
    std::size_t stepCount() const { return steps_.size(); }
    double period() const { return period_s_; }

private:
    struct ActiveRamp {
        std::string quantity;
        double from_s, to_s;
        double from, to;
        double valueAt(double t_s) const;
    };
    // The image just after a step at its own time, and the ramps then running.
    struct Snapshot {
        Scenario image;
        std::vector<ActiveRamp> ramps;
    };

    Scenario start_;
    std::vector<TimelineStep> steps_;
    std::vector<Snapshot> snapshots_;  // one per step
    double period_s_ = 0;
};

// A whole scenario file: the image it starts from and its timeline, if any.
// Throws std::runtime_error "<file>: <JSON path>: <reason>".
Timeline parseTimeline(const std::string& json_text, const std::string& source_name);
Timeline loadTimelineFile(const std::string& path);

}  // namespace kelsim
