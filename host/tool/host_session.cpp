#include "host/tool/host_session.h"

#include <memory>
#include <vector>

#include "host/plugin_loader.h"
#include "host/tool/device_runner.h"
#include "host/tool/event_loop.h"
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

}  // namespace

int runHost(const ToolOptions& options, std::FILE* out, std::FILE* err)
{
    std::vector<DeviceSpec> devices = devicesFor(options);
    const kelhost::Plugin plugin = loadPlugin(options);
    if (options.check) {
        checkPlugin(plugin, devices.front(), out);
        return 0;
    }

    std::unique_ptr<LineTrace> trace;
    if (options.trace)
        trace = std::make_unique<LineTrace>(err);
    std::unique_ptr<HistoryWriter> history;
    if (!options.history_path.empty()) {
        HistoryWriterOptions history_options;
        history_options.keep_days = options.keep_days;
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
    settings.timeout_ms = options.timeout_ms;
    settings.rounds = options.rounds;
    RunServices services;
    services.output = output;
    services.trace = trace.get();
    services.history = history.get();
    services.cache = cache.get();

    // Controllers outlive the runners: a line is closed before its peer goes.
    const auto controllers = startSimulatedControllers(devices, options.faults);
    std::vector<std::unique_ptr<DeviceRunner>> runners;
    std::vector<DeviceRunner*> loop_view;
    for (DeviceSpec& device_spec : devices) {
        runners.push_back(std::make_unique<DeviceRunner>(plugin, device_spec, settings, services));
        loop_view.push_back(runners.back().get());
    }

    const StopSignals signals;
    const TimePoint now = SteadyClock::now();
    for (auto& runner : runners)
        runner->start(now);
    runEventLoop(loop_view, signals, [out] { return std::ferror(out) != 0; });

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
    return 0;
}

}  // namespace keltool
