#include "kel36-host/run/host_session.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "host/plugin_loader.h"
#include "kel36-host/capture/capture_run.h"
#include "kel36-host/line/bus_plan.h"
#include "kel36-host/line/line_bus.h"
#include "kel36-host/run/device_runner.h"
#include "kel36-host/run/driver_output.h"
#include "kel36-host/run/event_loop.h"
#include "kel36-host/exit_status.h"
#include "kel36-host/line/fd_budget.h"
#include "kel36-host/config/host_config.h"
#include "kel36-host/output/line_trace.h"
#include "kel36-host/output/outputs.h"
#include "kel36-host/config/plugin_check.h"
#include "kel36-host/config/plugin_file.h"
#include "kel36-host/config/plugin_locator.h"
#include "kel36-host/cache/record_store.h"
#include "kel36-host/run/simulation.h"
#include "kel36-host/service/service_notifier.h"
#include "kel36-host/store/history_recorder.h"
#include "kel36-host/store/history_writer.h"
#include "kel36-host/tool_error.h"
#include "kel36-host/web/live_state.h"
#include "kel36-host/web/web_server.h"

namespace keltool {
namespace {

kelhost::Plugin loadPlugin(const ToolOptions& options)
{
    const std::string path =
        options.plugin_path.empty() ? locatePlugin() : pluginLoadPath(options.plugin_path);
    if (const std::string problem = pluginFileProblem(path); !problem.empty())
        throw ToolError("cannot load plug-in " + path + ": " + problem);
    try {
        return kelhost::Plugin::load(path);
    } catch (const kelhost::PluginError& e) {
        throw ToolError(e.what());
    }
}

// Lines, simulated ones among them, as planned before anything starts, and
// the web view's sockets.
std::size_t descriptorsNeeded(const std::vector<BusPlan>& plans,
                              const std::vector<DeviceSpec>& devices, bool http)
{
    std::size_t needed = kBaseDescriptors + plans.size();
    if (http)  // its own, and the reserve its connections never take
        needed += kWebServerDescriptors + kWebDescriptorReserve;
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

int runHost(const ToolOptions& flags, std::FILE* out, std::FILE* err)
{
    const ToolOptions options = withConfiguredSettings(flags);
    const DriverOutput driver_output(options.trace);
    // Everything is checked before the first line is printed or the first
    // byte sent: configuration, shared lines, plug-in, devices, descriptors,
    // simulated controllers and every line, opened.
    std::vector<DeviceSpec> devices = devicesFor(options);
    for (const DeviceSpec& device : devices) {
        const std::string warning = addressWarning(device);
        if (!warning.empty())
            std::fprintf(err, "%skel36-host: warning: %s\n", options.service ? "<4>" : "",
                         warning.c_str());
    }
    const std::vector<BusPlan> configured_lines = planBuses(devices);
    const kelhost::Plugin plugin = loadPlugin(options);
    if (options.check) {
        checkPlugin(plugin, devices.front(), out);
        return kExitOk;
    }
    ensureDescriptors(descriptorsNeeded(configured_lines, devices, options.http.has_value()));

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
    std::unique_ptr<CaptureWriter> capture;
    if (!options.capture_path.empty()) {
        const SignalsKeptFromNewThreads signals_stay_here;  // its writer thread
        capture = openCapture(options.capture_path, options.capture_limit_bytes,
                              options.capture_files, options.service, err);
    }
    std::unique_ptr<RecordCache> cache;
    if (!options.cache_dir.empty())
        cache = std::make_unique<RecordCache>(options.cache_dir);
    const std::unique_ptr<OutputSink> shown = makeOutput(options.output, out, options.service);
    // With a history, stalls and alarm texts are kept beside the records.
    std::unique_ptr<OutputSink> recorder;
    if (history)
        recorder = recordIntoHistory(*history, *shown);
    OutputSink* const recorded = recorder ? recorder.get() : shown.get();

    RunSettings settings;
    settings.interval_ms = options.interval_ms;
    settings.period_ms = options.period_ms;
    settings.timeout_ms = options.timeout_ms;
    settings.rounds = options.rounds;
    settings.give_up_s = options.give_up_s;

    // Controllers outlive the runners: a line is closed before its peer goes.
    std::vector<std::unique_ptr<kelsim::Simulator>> controllers;
    {
        const SignalsKeptFromNewThreads signals_stay_here;
        controllers = startSimulatedControllers(devices, options.faults);
    }

    // --http: the web view reads what the polling thread leaves in the live
    // state (lines known, simulated ones started); it is bound (or refused)
    // before polling starts, and stopped after polling ends but before the
    // state goes.
    std::unique_ptr<LiveState> live;
    std::unique_ptr<WebServer> web;
    std::unique_ptr<OutputSink> live_feed;
    if (options.http) {
        live = std::make_unique<LiveState>(devices);
        web = std::make_unique<WebServer>(*options.http, *live);
        live_feed = feedLiveState(*live, *recorded);
        std::fprintf(err, "%skel36-host: %s\n", options.service ? "<6>" : "",
                     web->announcement().c_str());
        std::fflush(err);
    }
    // Under systemd the loop's own wake-ups ping its watchdog.
    ServiceNotifier notifier;
    std::unique_ptr<ServiceSink> service;
    if (notifier.active())
        service = std::make_unique<ServiceSink>(notifier, live_feed ? *live_feed : *recorded,
                                                devices.size());
    OutputSink* const output = service ? static_cast<OutputSink*>(service.get())
                               : live_feed ? live_feed.get()
                                           : recorded;

    RunServices services;
    services.output = output;
    services.trace = trace.get();
    services.history = history.get();
    services.cache = cache.get();

    std::vector<std::unique_ptr<DeviceRunner>> runners;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        runners.push_back(std::make_unique<DeviceRunner>(plugin, devices[i], settings, services));
        if (live) {
            DeviceRunner* const runner = runners.back().get();
            live->setKey(i, &runner->device_spec());
            live->setAsker(i, [runner](ValueAnswers& out) { runner->askValues(out); });
        }
    }
    std::vector<std::unique_ptr<LineBus>> buses;
    std::vector<LineBus*> loop_view;
    for (const BusPlan& plan : planBuses(devices)) {
        std::vector<DeviceRunner*> members;
        for (std::size_t index : plan.devices)
            members.push_back(runners[index].get());
        buses.push_back(std::make_unique<LineBus>(plan.port, members, settings));
        if (capture)
            buses.back()->captureTo(*capture);
        loop_view.push_back(buses.back().get());
    }
    // A service polls on when a port is not there yet (a USB adapter at
    // boot): the line counts as lost and is retried.
    for (auto& bus : buses)
        bus->open(buses.size() == 1, options.service);

    const StopSignals signals;
    const TimePoint now = SteadyClock::now();
    for (auto& bus : buses)
        bus->start(now);
    if (service)
        service->ready();
    std::FILE* const traced = trace ? err : nullptr;
    runEventLoop(loop_view, signals, output, [out, traced, &runners] {
        // Asked after every reply: the unlocked test (one thread writes out).
        // Under --trace stderr is an output of the run like stdout.
        return ferror_unlocked(out) != 0 || (traced && ferror_unlocked(traced) != 0) ||
               std::any_of(runners.begin(), runners.end(),
                           [](const auto& r) { return r->gaveUp(); });
    });

    if (service)
        service->stopping();
    std::vector<const DeviceSpec*> specs;
    std::vector<const DeviceStats*> stats;
    for (const auto& runner : runners) {
        specs.push_back(&runner->device_spec());
        stats.push_back(&runner->stats());
    }
    output->summary(specs.data(), stats.data(), specs.size());
    // An incomplete capture is said, not made an exit status: the polling
    // itself went as the status tells.
    if (capture)
        finishCapture(*capture, options.service, err);
    if (history) {
        // What is still queued is written before the run ends.
        history->close();
        std::string notice;
        while (history->takeNotice(&notice))
            std::fprintf(err, "%skel36-host: %s\n", options.service ? "<4>" : "", notice.c_str());
        if (history->rowsLost() > 0) {
            std::fprintf(err, "%skel36-host: %s\n", options.service ? "<3>" : "",
                         history->lossLine().c_str());
            return kExitHistoryLost;
        }
    }
    return exitStatus(runners);
}

}  // namespace keltool
