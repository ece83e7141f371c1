#include "host/tool/host_session.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "host/plugin_loader.h"
#include "host/tool/bus/bus_plan.h"
#include "host/tool/bus/line_bus.h"
#include "host/tool/device_runner.h"
#include "host/tool/driver_output.h"
#include "host/tool/event_loop.h"
#include "host/tool/exit_status.h"
#include "host/tool/fd_budget.h"
#include "host/tool/host_config.h"
#include "host/tool/line_trace.h"
#include "host/tool/outputs.h"
#include "host/tool/plugin_check.h"
#include "host/tool/plugin_locator.h"
#include "host/tool/record_store.h"
#include "host/tool/simulation.h"
#include "host/tool/store/history_recorder.h"
#include "host/tool/store/history_writer.h"
#include "host/tool/tool_error.h"

namespace keltool {
namespace {

kelhost::Plugin loadPlugin(const ToolOptions& options)
{
    const std::string path = options.plugin_path.empty() ? locatePlugin() : options.plugin_path;
    try {
        return kelhost::Plugin::load(path);
    } catch (const kelhost::PluginError& e) {
        throw ToolError(e.what());
    }
}

// Lines, simulated ones among them, as planned before anything starts.
std::size_t descriptorsNeeded(const std::vector<BusPlan>& plans,
                              const std::vector<DeviceSpec>& devices)
{
    std::size_t needed = kBaseDescriptors + plans.size();
    for (const BusPlan& plan : plans)
        if (devices[plan.devices.front()].port.empty())
            needed += kDescriptorsPerSimulatedLine;
    return needed + (plans.size() == 1 ? 1 : 0);  // the single line's blocking reader
}

int exitStatus(const std::vector<std::unique_ptr<DeviceRunner>>& runners)
{
    const bool never_answered = std::any_of(runners.begin(), runners.end(),
                                            [](const auto& r) { return r->stats().rounds == 0; });
    if (never_answered)
        return kExitNeverAnswered;
    const bool gave_up =
        std::any_of(runners.begin(), runners.end(), [](const auto& r) { return r->gaveUp(); });
    return gave_up ? kExitGaveUp : kExitOk;
}

}  // namespace

int runHost(const ToolOptions& options, std::FILE* out, std::FILE* err)
{
    const DriverOutput driver_output(options.trace);
    // Everything is checked before the first line is printed or the first
    // byte sent: configuration, shared lines, plug-in, devices, descriptors,
    // simulated controllers and every line, opened.
    std::vector<DeviceSpec> devices = devicesFor(options);
    const std::vector<BusPlan> configured_lines = planBuses(devices);
    const kelhost::Plugin plugin = loadPlugin(options);
    if (options.check) {
        checkPlugin(plugin, devices.front(), out);
        return kExitOk;
    }
    ensureDescriptors(descriptorsNeeded(configured_lines, devices));

    std::unique_ptr<LineTrace> trace;
    if (options.trace)
        trace = std::make_unique<LineTrace>(err);
    std::unique_ptr<HistoryWriter> history;
    if (!options.history_path.empty()) {
        HistoryWriterOptions history_options;
        history_options.keep_days = options.keep_days;
        const SignalsKeptFromNewThreads signals_stay_here;  // its writer thread
        history = std::make_unique<HistoryWriter>(options.history_path, history_options);
    }
    std::unique_ptr<RecordCache> cache;
    if (!options.cache_dir.empty())
        cache = std::make_unique<RecordCache>(options.cache_dir);
    const std::unique_ptr<OutputSink> shown = makeOutput(options.output, out);
    // With a history, stalls and alarm texts are kept beside the records.
    std::unique_ptr<OutputSink> recorder;
    if (history)
        recorder = recordIntoHistory(*history, *shown);
    OutputSink* const output = recorder ? recorder.get() : shown.get();

    RunSettings settings;
    settings.interval_ms = options.interval_ms;
    settings.period_ms = options.period_ms;
    settings.timeout_ms = options.timeout_ms;
    settings.rounds = options.rounds;
    settings.give_up_s = options.give_up_s;
    RunServices services;
    services.output = output;
    services.trace = trace.get();
    services.history = history.get();
    services.cache = cache.get();

    // Controllers outlive the runners: a line is closed before its peer goes.
    std::vector<std::unique_ptr<kelsim::Simulator>> controllers;
    {
        const SignalsKeptFromNewThreads signals_stay_here;
        controllers = startSimulatedControllers(devices, options.faults);
    }
    std::vector<std::unique_ptr<DeviceRunner>> runners;
    for (DeviceSpec& device_spec : devices)
        runners.push_back(std::make_unique<DeviceRunner>(plugin, device_spec, settings, services));
    std::vector<std::unique_ptr<LineBus>> buses;
    std::vector<LineBus*> loop_view;
    for (const BusPlan& plan : planBuses(devices)) {
        std::vector<DeviceRunner*> members;
        for (std::size_t index : plan.devices)
            members.push_back(runners[index].get());
        buses.push_back(std::make_unique<LineBus>(plan.port, members, settings));
        loop_view.push_back(buses.back().get());
    }
    for (auto& bus : buses)
        bus->open(buses.size() == 1);

    const StopSignals signals;
    const TimePoint now = SteadyClock::now();
    for (auto& bus : buses)
        bus->start(now);
    runEventLoop(loop_view, signals, output, [out, &runners] {
        // Asked after every reply: the unlocked test (one thread writes out).
        return ferror_unlocked(out) != 0 || std::any_of(runners.begin(), runners.end(),
                                                        [](const auto& r) { return r->gaveUp(); });
    });

    std::vector<const DeviceSpec*> specs;
    std::vector<const DeviceStats*> stats;
    for (const auto& runner : runners) {
        specs.push_back(&runner->device_spec());
        stats.push_back(&runner->stats());
    }
    output->summary(specs.data(), stats.data(), specs.size());
    if (history) {
        // What is still queued is written before the run ends.
        history->close();
        std::string notice;
        while (history->takeNotice(&notice))
            std::fprintf(err, "kel36-host: %s\n", notice.c_str());
    }
    return exitStatus(runners);
}

}  // namespace keltool
