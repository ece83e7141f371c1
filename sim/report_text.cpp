#include "report_text.h"

#include <cmath>
#include <cstdio>

#include "number_text.h"

namespace kelsim {
namespace {

std::string joined(const std::vector<std::string>& names)
{
    std::string out;
    for (const auto& name : names)
        out += (out.empty() ? "" : " ") + name;
    return out.empty() ? "none" : out;
}

}  // namespace

std::string formatSeconds(double s)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", s);
    return text;
}

std::string describeQuantities(const Scenario& image)
{
    const Quantities q = quantitiesOf(image);
    char text[256];
    std::snprintf(text, sizeof text,
                  "uab %.2f V, ubc %.2f V, uca %.2f V, frequency %.1f Hz, ua %.0f V, ub %.0f V, "
                  "uc %.0f V, battery %.1f V",
                  q.uab, q.ubc, q.uca, q.frequency, q.ua, q.ub, q.uc, q.battery_voltage);
    std::vector<std::string> alarms;
    const std::pair<const char*, bool> bits[] = {
        {"a_5", q.a_5}, {"a_6", q.a_6}, {"a_7", q.a_7}, {"b_2", q.b_2}, {"b_6", q.b_6}};
    for (const auto& [name, active] : bits) {
        if (active)
            alarms.push_back(name);
    }
    return std::string(text) + ", alarms: " + joined(alarms);
}

std::string describeFaults(const Faults& f)
{
    std::string text;
    const std::pair<const char*, double> rates[] = {{"drop", f.drop},
                                                    {"split", f.split},
                                                    {"overlong", f.overlong},
                                                    {"garble", f.garble},
                                                    {"delay", f.delay}};
    for (const auto& [name, rate] : rates) {
        if (rate > 0)
            text += std::string(text.empty() ? "" : ", ") + name + " " + formatNumber(rate);
    }
    if (f.delay > 0)
        text += " (" + std::to_string(f.delay_ms) + " ms)";
    if (text.empty())
        return "none";
    return text + ", seed " + std::to_string(f.seed);
}

std::string describeTimeline(const Timeline& timeline)
{
    if (!timeline.moves())
        return "none";
    std::string text =
        std::to_string(timeline.stepCount()) + (timeline.stepCount() == 1 ? " step" : " steps");
    if (timeline.period() > 0)
        text += ", period " + formatNumber(timeline.period()) + " s";
    return text;
}

std::string describePosition(const ControllerReport& r)
{
    std::string text = "timeline ";
    text += r.timeline_steps == 0
                ? std::string("none")
                : std::to_string(r.timeline_steps) + (r.timeline_steps == 1 ? " step" : " steps");
    text += ", elapsed " + formatSeconds(r.elapsed_s);
    if (r.timeline_steps > 0 && r.period_s > 0) {
        const auto cycle =
            static_cast<unsigned long long>(std::floor(r.elapsed_s / r.period_s)) + 1;
        text += ", period " + formatNumber(r.period_s) + " s (cycle " + std::to_string(cycle) +
                " at " + formatSeconds(r.position_s) + ")";
    }
    return text + (r.paused ? ", paused" : ", running");
}

std::string describeHeld(const std::vector<std::string>& held)
{
    return joined(held);
}

std::string registersHex(const Scenario& image)
{
    std::string text;
    char pair[4];
    for (int r = 0; r < kRegisterCount; ++r) {
        std::snprintf(pair, sizeof pair, "%02X", image.registers[r]);
        text += (r == 0 ? "" : " ") + std::string(pair);
    }
    return text;
}

std::string describeState(const ControllerReport& r)
{
    return describePosition(r) + "; " + describeQuantities(r.image) +
           "; held: " + describeHeld(r.held) + "; faults: " + describeFaults(r.faults) +
           "; requests " + std::to_string(r.stats.requests) + ", replies " +
           std::to_string(r.stats.replies) + "; registers " + registersHex(r.image);
}

}  // namespace kelsim
