// kel36-sim: a Kel36 generator-set controller on a pseudo-terminal or a serial
// port, for bench-testing a monitoring unit without a generator.
//
// stdout carries only the pseudo-terminal's path (first line, for scripts);
// the banner, the statistics and errors go to stderr.

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "cli/standard_streams.h"
#include "command_line.h"
#include "scenario.h"
#include "simulator.h"

namespace {

using namespace kelsim;

constexpr int kExitFailed = 1;
constexpr int kExitBadInput = 2;

std::string describe(const Quantities& q) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "uab %.2f V, ubc %.2f V, uca %.2f V, frequency %.1f Hz, ua %.0f V, ub %.0f V, "
                  "uc %.0f V, battery %.1f V",
                  q.uab, q.ubc, q.uca, q.frequency, q.ua, q.ub, q.uc, q.battery_voltage);
    std::string alarms;
    const std::pair<const char*, bool> bits[] = {
        {"a_5", q.a_5}, {"a_6", q.a_6}, {"a_7", q.a_7}, {"b_2", q.b_2}, {"b_6", q.b_6}};
    for (const auto& [name, active] : bits) {
        if (active) alarms += std::string(alarms.empty() ? "" : " ") + name;
    }
    return std::string(text) + ", alarms: " + (alarms.empty() ? "none" : alarms);
}

std::string describe(const Faults& f) {
    std::string text;
    const std::pair<const char*, double> rates[] = {
        {"drop", f.drop}, {"split", f.split}, {"overlong", f.overlong}, {"garble", f.garble}, {"delay", f.delay}};
    for (const auto& [name, rate] : rates) {
        char number[32];
        std::snprintf(number, sizeof number, "%g", rate);
        if (rate > 0) text += std::string(text.empty() ? "" : ", ") + name + " " + number;
    }
    if (f.delay > 0) text += " (" + std::to_string(f.delay_ms) + " ms)";
    if (text.empty()) text = "none";
    else text += ", seed " + std::to_string(f.seed);
    if (f.pace) text += std::string(text == "none" ? "; " : ", ") + "paced at " + std::to_string(f.baud) + " baud";
    return text;
}

void printStats(const Stats& s) {
    std::fprintf(stderr,
                 "kel36-sim: requests %llu (other address %llu), malformed %llu, replies %llu\n"
                 "kel36-sim: faults injected: dropped %llu, split %llu, overlong %llu, garbled %llu, "
                 "delayed %llu\n",
                 static_cast<unsigned long long>(s.requests), static_cast<unsigned long long>(s.other_address),
                 static_cast<unsigned long long>(s.malformed), static_cast<unsigned long long>(s.replies),
                 static_cast<unsigned long long>(s.dropped), static_cast<unsigned long long>(s.split),
                 static_cast<unsigned long long>(s.overlong), static_cast<unsigned long long>(s.garbled),
                 static_cast<unsigned long long>(s.delayed));
}

// Waits for SIGINT/SIGTERM, the end of the duration, or the line failing.
// The signals are blocked in every thread and taken here synchronously.
void waitForStop(const sigset_t& signals, const Simulator& sim, double duration_s) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(duration_s));
    // A failing line is noticed within this slice.
    constexpr auto kSlice = std::chrono::milliseconds(250);
    for (;;) {
        auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(kSlice);
        if (duration_s > 0) {
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) return;
            wait = std::min(wait, std::chrono::duration_cast<std::chrono::nanoseconds>(left));
        }
        const timespec timeout{0, static_cast<long>(wait.count())};
        if (sigtimedwait(&signals, nullptr, &timeout) > 0) return;
        if (!sim.failure().empty()) return;
    }
}

int run(const std::vector<std::string>& args, kelcli::CheckedOutput& out) {
    CommandLine cl;
    try {
        cl = parseCommandLine(args);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "kel36-sim: %s\n", e.what());
        return kExitBadInput;
    }
    if (cl.help) {
        std::fputs(usageText(), out.stream());
        return kelcli::finishOutput(out, "kel36-sim", 0, kExitFailed);
    }

    Options options;
    options.address = cl.address;
    options.faults = cl.faults;
    try {
        if (!cl.scenario_file.empty()) options.scenario = loadScenarioFile(cl.scenario_file);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kel36-sim: %s\n", e.what());
        return kExitBadInput;
    }

    // Block before any thread starts, so the serving thread inherits the mask
    // and the signals reach only sigtimedwait below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::unique_ptr<Simulator> sim;
    try {
        sim = cl.port.empty() ? startOnPty(options) : startOnPort(cl.port, options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kel36-sim: %s\n", e.what());
        return kExitBadInput;
    }
    if (cl.port.empty()) {
        std::fprintf(out.stream(), "%s\n", sim->devicePath().c_str());
        // A script reads the path from here: without it the simulator is of no
        // use. A reader that has gone away needs it no more.
        const int error = out.flushAndCheck();
        if (error != 0 && error != EPIPE) {
            std::fprintf(stderr, "kel36-sim: cannot write the pseudo-terminal's path: %s\n",
                         std::strerror(error));
            return kExitFailed;
        }
    }
    std::fprintf(stderr, "kel36-sim: answering address %u on %s\nkel36-sim: scenario %s: %s\n"
                 "kel36-sim: faults: %s\n",
                 static_cast<unsigned>(cl.address), sim->devicePath().c_str(),
                 cl.scenario_file.empty() ? "(built-in)" : cl.scenario_file.c_str(),
                 describe(quantitiesOf(options.scenario)).c_str(), describe(cl.faults).c_str());

    waitForStop(signals, *sim, cl.duration_s);
    const std::string failure = sim->failure();
    sim->stop();
    printStats(sim->stats());
    if (!failure.empty()) {
        std::fprintf(stderr, "kel36-sim: %s\n", failure.c_str());
        return kExitFailed;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // First of all: a closed descriptor 0-2 would be taken by the
    // pseudo-terminal, and the path meant for stdout written into the line.
    if (!kelcli::ensureStandardDescriptors()) return kExitFailed;
    // A reader of stdout that went away must not kill us before the statistics.
    signal(SIGPIPE, SIG_IGN);
    kelcli::CheckedOutput out(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
    return run(std::vector<std::string>(argv + 1, argv + argc), out);
}
