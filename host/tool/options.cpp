#include "host/tool/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

#include "host/tool/tool_error.h"

namespace keltool {
namespace {

uint64_t parseUnsigned(const std::string& flag, const std::string& text, uint64_t max)
{
    errno = 0;
    char* end = nullptr;
    const bool digits_only =
        !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    const unsigned long long value = digits_only ? std::strtoull(text.c_str(), &end, 10) : 0;
    if (!digits_only || errno == ERANGE || value > max)
        throw ToolError(flag + ": expected a whole number from 0 to " + std::to_string(max) +
                        ", got '" + text + "'");
    return value;
}

double parseProbability(const std::string& flag, const std::string& text)
{
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(value) || value < 0.0 || value > 1.0)
        throw ToolError(flag + ": expected a probability from 0 to 1, got '" + text + "'");
    return value;
}

// --sim-fault KIND=RATE, e.g. drop=0.05
void parseFault(const std::string& text, SimFaultOptions& faults)
{
    const std::string flag = "--sim-fault";
    const auto eq = text.find('=');
    if (eq == std::string::npos)
        throw ToolError(flag +
                        ": expected KIND=RATE (drop, split, overlong, garble, delay), got '" +
                        text + "'");
    const std::string kind = text.substr(0, eq);
    const double rate = parseProbability(flag + " " + kind, text.substr(eq + 1));
    if (kind == "drop")
        faults.drop = rate;
    else if (kind == "split")
        faults.split = rate;
    else if (kind == "overlong")
        faults.overlong = rate;
    else if (kind == "garble")
        faults.garble = rate;
    else if (kind == "delay")
        faults.delay = rate;
    else
        throw ToolError(flag + ": unknown fault kind '" + kind +
                        "' (drop, split, overlong, garble, delay)");
}

using ValueHandler = std::function<void(ToolOptions&, const std::string& flag, const std::string&)>;
using FlagHandler = std::function<void(ToolOptions&)>;

const std::map<std::string, ValueHandler>& valueOptions()
{
    static const std::map<std::string, ValueHandler> table = {
        {"--config",
         [](ToolOptions& o, const std::string&, const std::string& v) { o.config_path = v; }},
        {"--port", [](ToolOptions& o, const std::string&, const std::string& v) { o.port = v; }},
        {"--addr", [](ToolOptions& o, const std::string&, const std::string& v) { o.addr = v; }},
        {"--data-id",
         [](ToolOptions& o, const std::string& f, const std::string& v) {
             o.data_id = static_cast<uint32_t>(parseUnsigned(f, v, 0xFFFFFFFFu));
         }},
        {"--name", [](ToolOptions& o, const std::string&, const std::string& v) { o.name = v; }},
        {"--scenario",
         [](ToolOptions& o, const std::string&, const std::string& v) { o.scenario_path = v; }},
        {"--plugin",
         [](ToolOptions& o, const std::string&, const std::string& v) { o.plugin_path = v; }},
        {"--interval",
         [](ToolOptions& o, const std::string& f, const std::string& v) {
             o.interval_ms = static_cast<int>(parseUnsigned(f, v, 3600000));
         }},
        {"--timeout",
         [](ToolOptions& o, const std::string& f, const std::string& v) {
             o.timeout_ms = static_cast<int>(parseUnsigned(f, v, 600000));
             if (o.timeout_ms == 0)
                 throw ToolError(f + ": the reply time-out must be at least 1 ms");
         }},
        {"--rounds", [](ToolOptions& o, const std::string& f,
                        const std::string& v) { o.rounds = parseUnsigned(f, v, UINT64_MAX); }},
        {"--history",
         [](ToolOptions& o, const std::string&, const std::string& v) { o.history_path = v; }},
        {"--cache",
         [](ToolOptions& o, const std::string&, const std::string& v) { o.cache_dir = v; }},
        {"--sim-fault",
         [](ToolOptions& o, const std::string&, const std::string& v) { parseFault(v, o.faults); }},
        {"--sim-delay",
         [](ToolOptions& o, const std::string& f, const std::string& v) {
             o.faults.delay_ms = static_cast<int>(parseUnsigned(f, v, 600000));
         }},
        {"--sim-turnaround",
         [](ToolOptions& o, const std::string& f, const std::string& v) {
             o.faults.turnaround_ms = static_cast<int>(parseUnsigned(f, v, 10000));
         }},
        {"--sim-echo",
         [](ToolOptions& o, const std::string& f, const std::string& v) {
             if (v != "register" && v != "none")
                 throw ToolError(f + ": expected register or none, got '" + v + "'");
             o.faults.echo_register = v == "register";
         }},
        {"--sim-seed",
         [](ToolOptions& o, const std::string& f, const std::string& v) {
             o.faults.seed = parseUnsigned(f, v, UINT64_MAX);
         }},
    };
    return table;
}

const std::map<std::string, FlagHandler>& flagOptions()
{
    static const std::map<std::string, FlagHandler> table = {
        {"--simulate", [](ToolOptions& o) { o.simulate = true; }},
        {"--rtscts", [](ToolOptions& o) { o.rtscts = true; }},
        {"--json", [](ToolOptions& o) { o.output = OutputMode::Json; }},
        {"--watch", [](ToolOptions& o) { o.output = OutputMode::Watch; }},
        {"--trace", [](ToolOptions& o) { o.trace = true; }},
        {"--check", [](ToolOptions& o) { o.check = true; }},
        {"--sim-pace", [](ToolOptions& o) { o.faults.pace = true; }},
        {"--help", [](ToolOptions& o) { o.help = true; }},
        {"-h", [](ToolOptions& o) { o.help = true; }},
        {"--version", [](ToolOptions& o) { o.version = true; }},
    };
    return table;
}

void checkCombinations(const ToolOptions& o, bool json_seen, bool watch_seen, bool sim_tuned)
{
    if (json_seen && watch_seen)
        throw ToolError("--json and --watch exclude each other");
    if (!o.config_path.empty() && (o.port || o.addr || o.data_id || o.name || o.rtscts))
        throw ToolError(
            "--config and the one-device flags (--port, --addr, --data-id, --name, "
            "--rtscts) exclude each other");
    if (o.port && o.simulate)
        throw ToolError("--port and --simulate exclude each other");
    // With --port alone there is no simulated controller to apply these to.
    if (o.port && !o.scenario_path.empty())
        throw ToolError("--scenario needs a simulated controller (--simulate, or no --port)");
    if (o.port && sim_tuned)
        throw ToolError(
            "--sim-fault, --sim-delay, --sim-seed, --sim-pace, --sim-turnaround and "
            "--sim-echo need a simulated controller (--simulate, or no --port)");
}

}  // namespace

ToolOptions parseOptions(const std::vector<std::string>& args)
{
    ToolOptions options;
    bool json_seen = false;
    bool watch_seen = false;
    bool sim_tuned = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string flag = args[i];
        std::optional<std::string> inline_value;
        if (flag.rfind("--", 0) == 0) {
            const auto eq = flag.find('=');
            if (eq != std::string::npos) {
                inline_value = flag.substr(eq + 1);
                flag.resize(eq);
            }
        }
        if (auto it = flagOptions().find(flag); it != flagOptions().end()) {
            if (inline_value)
                throw ToolError(flag + " takes no value");
            it->second(options);
            json_seen |= flag == "--json";
            watch_seen |= flag == "--watch";
            sim_tuned |= flag == "--sim-pace";
            continue;
        }
        auto it = valueOptions().find(flag);
        if (it == valueOptions().end())
            throw ToolError(flag.rfind("-", 0) == 0 ? "unknown option " + flag + " (see --help)"
                                                    : "unexpected argument '" + flag + "'");
        if (!inline_value) {
            if (i + 1 >= args.size())
                throw ToolError(flag + " needs a value");
            inline_value = args[++i];
        }
        it->second(options, flag, *inline_value);
        sim_tuned |= flag.rfind("--sim-", 0) == 0;
    }
    checkCombinations(options, json_seen, watch_seen, sim_tuned);
    return options;
}

const char* usageText()
{
    return R"(usage: kel36-host [options]

Loads kel36.so as the monitoring unit's host does and polls generator-set
controllers on serial lines, or on simulated controllers.

Devices (one of):
  --config FILE        host configuration file (JSON list of devices)
  --port DEV           one device on serial line DEV
    --addr A           its address as the device node carries it (default: the driver's)
    --data-id N        its data identifier (default 1)
    --name NAME        its name in output (default kel36)
    --rtscts           hardware flow control (off unless asked for)
  --simulate           simulated controllers on pseudo-terminals (the default
                       when no port is given)
    --scenario FILE    scenario file for the simulated controllers
    --sim-fault K=P    inject fault K (drop, split, overlong, garble, delay) with
                       probability P per reply; repeatable
    --sim-delay MS     reply delay of the delay fault
    --sim-seed N       seed of the fault injection (default 1)
    --sim-pace         model the line at its baud rate: requests and replies
                       take their time on the wire, replies come a character
                       at a time
    --sim-turnaround MS  with --sim-pace: the controller's pause between a
                       request and its reply (default 2)
    --sim-echo E       register (default): replies echo the request's register
                       field in bytes 2-3; none: they never do

Polling:
  --plugin PATH        plug-in to load (default: kel36.so next to the program,
                       then the installed one)
  --interval MS        pause between rounds (default 1000, 0 allowed)
  --timeout MS         reply time-out (default 1000)
  --rounds N           stop after N completed rounds of every device

Output:
  --json               one JSON object per line: rounds, stalls, summary
  --watch              live view, redrawn in place
  --trace              every request and reply with time stamps, on stderr
  --history FILE       append every stored record as a JSON line
  --cache DIR          keep each device's last record; restored at start-up

Diagnostics:
  --check              load the plug-in, configure one device, show its request
                       frames and exit (0: usable, 2: not)
  --help, --version

Exit status: 0 on success, 2 on bad input (the reason is on stderr).
)";
}

}  // namespace keltool
