#include "kel36-host/config/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <algorithm>
#include <functional>
#include <regex>

#include <CLI/CLI.hpp>

#include "cli/suggest.h"
#include "host/serial_port.h"
#include "kel36-host/config/device_name.h"
#include "kel36-host/store/iso_time.h"
#include "kel36-host/tool_error.h"

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

// A size in megabytes (10^6 bytes), fractions allowed, at least 1000 bytes.
uint64_t parseMegabytes(const std::string& flag, const std::string& text)
{
    char* end = nullptr;
    const double mb = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(mb) || mb < 0.001 || mb > 1e6)
        throw ToolError(flag + ": expected megabytes from 0.001 to 1000000, got '" + text + "'");
    return static_cast<uint64_t>(mb * 1e6);
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

// Values are handed to the tool's own parsers as they come, in the order
// given, so every message is the tool's and names the option.
class Definer {
public:
    explicit Definer(CLI::App& app) : app_(app) {}

    void value(const std::string& flag, const char* type, const char* help,
               std::function<void(const std::string& flag, const std::string& value)> take)
    {
        app_.add_option_function<std::string>(
                flag, [flag, take](const std::string& v) { take(flag, v); }, help)
            ->type_name(type)
            ->trigger_on_parse()
            ->group(group_);
    }
    // A value that names something (a file, a line, a device).
    void path(const std::string& flag, const char* type, const char* what, const char* help,
              std::function<void(const std::string& value)> take)
    {
        value(flag, type, help, [what, take](const std::string& f, const std::string& v) {
            // An empty value is an unset variable in a script, never a
            // choice: refused like an empty string in the configuration file.
            if (v.empty())
                throw ToolError(f + ": expected " + what + ", got an empty value");
            take(v);
        });
    }
    void flag(const std::string& names, const char* help, std::function<void()> take)
    {
        app_.add_flag_callback(names, std::move(take), help)
            ->disable_flag_override()
            ->trigger_on_parse()
            ->group(group_);
    }
    void group(const char* name) { group_ = name; }

private:
    CLI::App& app_;
    std::string group_;
};

struct Seen {
    bool json = false;
    bool watch = false;
    bool interval = false;
    bool period = false;
};

// --rs485, --rs485-delays and --echo-cancel: how a real port is driven, for
// polling and for the scan alike.
void defineLineOptions(Definer& d, std::optional<kelcli::Rs485Settings>& rs485, bool& echo_cancel)
{
    d.flag("--rs485",
           "turn on the port's RS-485 mode (RTS high while\n"
           "sending); refused when its driver has none",
           [&rs485] {
               if (!rs485)
                   rs485.emplace();
           });
    d.value("--rs485-delays", "B,A",
            "RTS delays before and after sending, ms, 0..100\n"
            "each (default 0,0); implies --rs485",
            [&rs485](const std::string& f, const std::string& v) {
                kelcli::Rs485Settings settings = rs485.value_or(kelcli::Rs485Settings{});
                if (!kelcli::parseRs485Delays(v, &settings))
                    throw ToolError(f + ": expected BEFORE,AFTER in ms, 0 to " +
                                    std::to_string(kelcli::kMaxRs485DelayMs) + " each, got '" + v +
                                    "'");
                rs485 = settings;
            });
    d.flag("--echo-cancel",
           "the adapter hears its own transmission: drop the\n"
           "echo of each request before the reply",
           [&echo_cancel] { echo_cancel = true; });
}

void defineRunOptions(CLI::App& app, ToolOptions& o, Seen& seen)
{
    Definer d(app);
    d.group("Devices (one of)");
    d.path("--config", "FILE", "the path of a configuration file",
           "host configuration file (JSON list of devices)",
           [&o](const std::string& v) { o.config_path = v; });
    d.path("--port", "DEV", "the path of a serial device", "one device on serial line DEV",
           [&o](const std::string& v) { o.port = v; });
    d.path("--addr", "A", "an address", "its address as the device node carries it",
           [&o](const std::string& v) { o.addr = v; });
    d.value("--data-id", "N", "its data identifier (default 1)",
            [&o](const std::string& f, const std::string& v) {
                o.data_id = static_cast<uint32_t>(parseUnsigned(f, v, 0xFFFFFFFFu));
            });
    d.path("--name", "NAME", "a device name", "its name in output (default kel36)",
           [&o](const std::string& v) {
               const std::string problem = deviceNameProblem(v);
               if (!problem.empty())
                   throw ToolError("--name: the name " + problem);
               o.name = v;
           });
    d.flag("--rtscts", "hardware flow control (off unless asked for)", [&o] { o.rtscts = true; });
    d.value("--reply-echo", "MODE",
            "auto (default), on or off: whether a reply must name\n"
            "the register it answers (the device's \"replyEcho\")",
            [&o](const std::string& f, const std::string& v) {
                if (v != "auto" && v != "on" && v != "off")
                    throw ToolError(f + ": expected auto, on or off, got '" + v + "'");
                o.reply_echo = v;
            });

    defineLineOptions(d, o.rs485, o.echo_cancel);

    d.group("Simulated controllers (the default when no port is given)");
    d.flag("--simulate", "a simulated controller for every device", [&o] { o.simulate = true; });
    d.path("--scenario", "FILE", "the path of a scenario file",
           "scenario file for the simulated controllers",
           [&o](const std::string& v) { o.scenario_path = v; });
    const auto sim = [&o](const std::string& f) {
        if (o.sim_option.empty())
            o.sim_option = f;
    };
    d.value("--sim-fault", "K=P",
            "inject fault K with probability P per reply: drop,\n"
            "split, overlong, garble, delay; repeatable",
            [&o, sim](const std::string& f, const std::string& v) {
                sim(f);
                parseFault(v, o.faults);
            });
    d.value("--sim-delay", "MS", "reply delay of the delay fault (default 300)",
            [&o, sim](const std::string& f, const std::string& v) {
                sim(f);
                o.faults.delay_ms = static_cast<int>(parseUnsigned(f, v, 600000));
            });
    d.value("--sim-seed", "N", "seed of the fault injection (default 1)",
            [&o, sim](const std::string& f, const std::string& v) {
                sim(f);
                o.faults.seed = parseUnsigned(f, v, UINT64_MAX);
            });
    d.flag("--sim-pace",
           "model the line at its baud rate: requests and replies\n"
           "take their time, replies come a character at a time",
           [&o, sim] {
               sim("--sim-pace");
               o.faults.pace = true;
           });
    d.value("--sim-turnaround", "MS",
            "with --sim-pace: the controller's pause between a\n"
            "request and its reply (default 2)",
            [&o, sim](const std::string& f, const std::string& v) {
                sim(f);
                o.faults.turnaround_ms = static_cast<int>(parseUnsigned(f, v, 10000));
            });
    d.value("--sim-echo", "E",
            "register (default): replies echo the request's\n"
            "register field in bytes 2-3; none: they never do",
            [&o, sim](const std::string& f, const std::string& v) {
                sim(f);
                if (v != "register" && v != "none")
                    throw ToolError(f + ": expected register or none, got '" + v + "'");
                o.faults.echo_register = v == "register";
            });

    d.group("Polling");
    d.path("--plugin", "PATH", "the path of the plug-in",
           "plug-in to load (default: kel36.so next to the\n"
           "program, then the installed one)",
           [&o](const std::string& v) { o.plugin_path = v; });
    d.value("--interval", "MS", "pause after a round (default 1000, 0 allowed)",
            [&o, &seen](const std::string& f, const std::string& v) {
                o.interval_ms = static_cast<int>(parseUnsigned(f, v, 3600000));
                seen.interval = true;
            });
    d.value("--period", "MS",
            "start rounds at this fixed rate instead; a round\n"
            "that overruns is followed at once",
            [&o, &seen](const std::string& f, const std::string& v) {
                o.period_ms = static_cast<int>(parseUnsigned(f, v, 3600000));
                if (o.period_ms == 0)
                    throw ToolError(f + ": the period must be at least 1 ms");
                seen.period = true;
            });
    d.value("--timeout", "MS", "reply time-out (default 1000)",
            [&o](const std::string& f, const std::string& v) {
                o.timeout_ms = static_cast<int>(parseUnsigned(f, v, 600000));
                if (o.timeout_ms == 0)
                    throw ToolError(f + ": the reply time-out must be at least 1 ms");
            });
    d.value("--rounds", "N",
            "stop after N completed rounds of every device\n"
            "(0, the default: no limit)",
            [&o](const std::string& f, const std::string& v) {
                o.rounds = parseUnsigned(f, v, UINT64_MAX);
            });
    d.value("--give-up", "S",
            "end the run when a device has completed no round\n"
            "for S seconds (exit status 3 or 4)",
            [&o](const std::string& f, const std::string& v) {
                o.give_up_s = static_cast<int>(parseUnsigned(f, v, 86400));
                if (o.give_up_s == 0)
                    throw ToolError(f + ": expected at least 1 second");
            });

    d.group("Output");
    d.flag("--json", "one JSON object per line: rounds, stalls, events", [&o, &seen] {
        o.output = OutputMode::Json;
        seen.json = true;
    });
    d.flag("--watch", "live view, redrawn in place", [&o, &seen] {
        o.output = OutputMode::Watch;
        seen.watch = true;
    });
    d.flag("--trace", "every request and reply, time-stamped, on stderr", [&o] { o.trace = true; });
    d.path("--history", "FILE", "the path of a history database",
           "keep every stored record in an SQLite history database",
           [&o](const std::string& v) { o.history_path = v; });
    d.value("--keep", "DAYS", "with --history: delete rows older than DAYS days",
            [&o](const std::string& f, const std::string& v) {
                o.keep_days = static_cast<int>(parseUnsigned(f, v, 36500));
                if (o.keep_days == 0)
                    throw ToolError(f + ": keep at least 1 day (leave --keep out to keep all)");
            });
    d.path("--cache", "DIR", "a cache directory",
           "keep each device's last record, restored at start",
           [&o](const std::string& v) { o.cache_dir = v; });
    d.path("--http", "ADDR:PORT", "an address to listen on",
           "serve the dashboard, /api/devices and /metrics\n"
           "(read-only; a port alone listens on 127.0.0.1)",
           [&o](const std::string& v) { o.http = parseHttpAddress(v); });

    d.path("--capture", "FILE", "the path of a capture file",
           "every byte of every line and the rounds' markers\n"
           "in pcapng (Wireshark; see docs/capture.md)",
           [&o](const std::string& v) { o.capture_path = v; });
    d.value("--capture-limit", "MB",
            "rotate the capture at MB megabytes (10^6 bytes,\n"
            "fractions allowed): FILE.1, FILE.2, ...",
            [&o](const std::string& f, const std::string& v) {
                o.capture_limit_bytes = parseMegabytes(f, v);
            });
    d.value("--capture-files", "N", "with --capture-limit: keep N files (default 5)",
            [&o](const std::string& f, const std::string& v) {
                o.capture_files = static_cast<unsigned>(parseUnsigned(f, v, 1000));
                o.capture_files_given = true;
                if (o.capture_files == 0)
                    throw ToolError(f + ": keep at least 1 file");
            });

    d.flag("--service",
           "run as a supervised service (systemd): log lines for\n"
           "the journal, a port missing at start is retried",
           [&o] { o.service = true; });

    d.group("Diagnostics");
    d.flag("--check",
           "load the plug-in, configure one device, show its\n"
           "request frames and exit (0: usable, 2: not)",
           [&o] { o.check = true; });
}

void checkCombinations(const ToolOptions& o, const Seen& seen)
{
    if (seen.json && seen.watch)
        throw ToolError("--json and --watch exclude each other");
    if (o.service && seen.watch)
        throw ToolError("--watch redraws a terminal; a --service has none");
    if (seen.interval && seen.period)
        throw ToolError("--interval and --period exclude each other");
    if (!o.config_path.empty() && (o.port || o.addr || o.data_id || o.name || o.rtscts ||
                                   o.reply_echo || o.rs485 || o.echo_cancel))
        throw ToolError(
            "--config and the one-device flags (--port, --addr, --data-id, --name, "
            "--rtscts, --reply-echo, --rs485, --echo-cancel) exclude each other");
    if (o.port && o.simulate)
        throw ToolError("--port and --simulate exclude each other");
    if (!o.port && o.config_path.empty() && (o.rs485 || o.echo_cancel))
        throw ToolError(std::string(o.rs485 ? "--rs485" : "--echo-cancel") +
                        " needs a real serial line (--port)");
    // With --port alone there is no simulated controller to apply these to.
    if (o.port && !o.scenario_path.empty())
        throw ToolError("--scenario needs a simulated controller (--simulate, or no --port)");
    if (o.port && !o.sim_option.empty())
        throw ToolError(o.sim_option + " needs a simulated controller (--simulate, or no --port)");
    // With --config the file may name the history (checked once it is read).
    if (o.keep_days > 0 && o.history_path.empty() && o.config_path.empty())
        throw ToolError("--keep needs --history");
    if ((o.capture_limit_bytes > 0 || o.capture_files_given) && o.capture_path.empty() &&
        o.config_path.empty())
        throw ToolError(std::string(o.capture_files_given ? "--capture-files" : "--capture-limit") +
                        " needs --capture");
    if (o.capture_files_given && o.capture_limit_bytes == 0)
        throw ToolError("--capture-files needs --capture-limit (without one nothing rotates)");
}

int64_t parseTime(const std::string& flag, const std::string& text)
{
    int64_t ms = 0;
    std::string error;
    if (!parseIsoTime(text, &ms, &error))
        throw ToolError(flag + ": " + error);
    return ms;
}

// The options `history` and `report` share: the file and which records.
void defineQueryOptions(CLI::App& sub, HistoryQueryOptions& q)
{
    Definer d(sub);
    sub.add_option_function<std::string>(
           "FILE",
           [&q, &sub](const std::string& v) {
               if (v.empty())
                   throw ToolError(sub.get_name() +
                                   ": expected the path of a history "
                                   "database, got an empty value");
               q.path = v;
           },
           "the history database (kel36-host --history FILE)")
        ->type_name("")
        ->trigger_on_parse();
    d.group("Records");
    d.path("--device", "NAME", "a device name", "only this device's records",
           [&q](const std::string& v) { q.device = v; });
    d.value("--from", "TIME",
            "records at or after TIME (ISO 8601; local time unless\n"
            "it ends in Z or an offset such as +01:00)",
            [&q](const std::string& f, const std::string& v) { q.from_ms = parseTime(f, v); });
    d.value("--to", "TIME", "records at or before TIME",
            [&q](const std::string& f, const std::string& v) { q.to_ms = parseTime(f, v); });
}

// "A-B", 0 <= A <= B <= 255, or one address "A".
void parseAddressRange(const std::string& flag, const std::string& text, ScanOptions& s)
{
    static const std::regex range("^([0-9]{1,3})(-([0-9]{1,3}))?$");
    std::smatch m;
    const bool shaped = std::regex_match(text, m, range);
    const int first = shaped ? std::stoi(m[1].str()) : -1;
    const int last = shaped ? (m[3].matched ? std::stoi(m[3].str()) : first) : -1;
    if (!shaped || first > 255 || last > 255 || first > last)
        throw ToolError(flag + ": expected A-B with 0 <= A <= B <= 255, got '" + text + "'");
    s.first_address = first;
    s.last_address = last;
}

// "19200" or "9600,19200": each a baud rate the line can be set to, once.
std::vector<int> parseBauds(const std::string& flag, const std::string& text)
{
    std::vector<int> bauds;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma - start);
        const bool digits = !item.empty() && item.size() <= 6 &&
                            item.find_first_not_of("0123456789") == std::string::npos;
        const int baud = digits ? std::stoi(item) : 0;
        if (!kelhost::isSupportedBaud(baud))
            throw ToolError(flag + ": expected baud rates from 1200 2400 4800 9600 19200 38400 " +
                            "57600 115200, comma-separated, got '" + text + "'");
        if (std::find(bauds.begin(), bauds.end(), baud) == bauds.end())
            bauds.push_back(baud);
        if (comma == std::string::npos)
            return bauds;
        start = comma + 1;
    }
}

void defineScanOptions(CLI::App& sub, ScanOptions& s)
{
    Definer d(sub);
    d.group("Line");
    d.path("--port", "DEV", "the path of a serial device", "the serial line to scan (required)",
           [&s](const std::string& v) { s.port = v; });
    d.value("--addr-range", "A-B", "addresses to probe, 0..255 (default 0-255)",
            [&s](const std::string& f, const std::string& v) { parseAddressRange(f, v, s); });
    d.value("--baud", "N[,N...]", "baud rates to try, in this order (default 19200)",
            [&s](const std::string& f, const std::string& v) { s.bauds = parseBauds(f, v); });
    d.value("--timeout", "MS",
            "wait per probe (default: request and reply time at\n"
            "the baud rate plus 50 ms for the controller)",
            [&s](const std::string& f, const std::string& v) {
                s.timeout_ms = static_cast<int>(parseUnsigned(f, v, 60000));
                if (*s.timeout_ms == 0)
                    throw ToolError(f + ": the probe time-out must be at least 1 ms");
            });
    defineLineOptions(d, s.rs485, s.echo_cancel);
    d.group("Output");
    d.flag("--json", "JSON Lines: the scan, each controller found, the end",
           [&s] { s.json = true; });
}

void refuseRunOptions(const CLI::App& app, const std::string& name, const char* what)
{
    for (const CLI::Option* option : app.get_options())
        if (option->count() > 0)
            throw ToolError(option->get_name() + " is a polling option; " + name + " takes " +
                            what + " (see " + name + " --help)");
}

CLI::App* defineSubcommand(CLI::App& app, const char* name, const char* description, bool& help)
{
    CLI::App* sub = app.add_subcommand(name, description);
    sub->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    sub->set_help_flag();
    sub->allow_extras();
    sub->get_formatter()->column_width(24);
    sub->get_formatter()->label("OPTIONS", "options");
    sub->add_flag("-h,--help", help, "show this text and exit")->disable_flag_override();
    return sub;
}

// CLI11's own messages for what it checks itself, in the tool's words.
std::string messageFor(const CLI::ParseError& e)
{
    const std::string what = e.what();
    static const std::regex missing("^(-[-A-Za-z0-9]+): .*missing$");
    static const std::regex override_(
        "^-*([A-Za-z0-9][-A-Za-z0-9]*) was given a disallowed flag override$");
    std::smatch m;
    if (std::regex_match(what, m, missing))
        return m[1].str() + " needs a value";
    if (std::regex_match(what, m, override_))
        return "--" + m[1].str() + " takes no value";
    return what;
}

// The long options an app takes, for suggestions.
std::vector<std::string> optionNames(const CLI::App& app)
{
    std::vector<std::string> names;
    for (const CLI::Option* option : app.get_options())
        for (const std::string& name : option->get_lnames())
            names.push_back("--" + name);
    return names;
}

void refuseExtras(const std::vector<std::string>& extras, const CLI::App& app)
{
    if (extras.empty())
        return;
    const std::string& extra = extras.front();
    throw ToolError(extra.rfind("-", 0) == 0 ? kelcli::unknownOptionMessage(extra, optionNames(app))
                                             : "unexpected argument '" + extra + "'");
}

// CLI11 writes "Usage: scan [options] [FILE]": the program's name is missing
// and a required FILE looks optional.
std::string withUsage(std::string help, const std::string& usage)
{
    const auto start = help.find("Usage: ");
    if (start == std::string::npos)
        return help;
    const auto end = help.find('\n', start);
    return help.replace(start, end - start, "Usage: " + usage);
}

CommandLine& finishSubcommand(const CLI::App& app, const CLI::App& sub, bool csv,
                              CommandLine& command_line)
{
    const std::string name = sub.get_name();
    // Polling options belong to polling, not to reading a history.
    refuseRunOptions(app, name, "only its own");
    refuseExtras(sub.remaining(), sub);
    HistoryQueryOptions& q = command_line.query;
    if (q.path.empty())
        throw ToolError(name + ": expected the history database FILE (see " + name + " --help)");
    if (q.from_ms && q.to_ms && *q.from_ms > *q.to_ms)
        throw ToolError(name + ": --from is later than --to");
    if (name == "history") {
        command_line.command = Command::History;
        if (csv == q.json)
            throw ToolError("history: choose one format, --csv or --json");
    } else {
        command_line.command = Command::Report;
        if (q.output.empty())
            throw ToolError("report: expected -o FILE, the HTML file to write");
    }
    return command_line;
}

CommandLine& finishScan(const CLI::App& app, const CLI::App& sub, CommandLine& command_line)
{
    refuseRunOptions(app, "scan", "only its own");
    refuseExtras(sub.remaining(), sub);
    if (command_line.scan.port.empty())
        throw ToolError("scan: expected --port DEV, the line to scan (see scan --help)");
    command_line.command = Command::Scan;
    return command_line;
}

const char kFooter[] =
    "Options take their value as --opt value or --opt=value.\n"
    "Exit status: 0 on success, 1 when the output cannot be written (or on an\n"
    "internal error), 2 on bad input (the reason is one line on stderr), 3 when a\n"
    "device never completed a round, 4 when --give-up ended the run, 5 when the\n"
    "history could not keep every row (before 3 and 4).";

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& args)
{
    CommandLine command_line;
    ToolOptions& o = command_line.options;
    Seen seen;
    bool help = false;
    bool version = false;

    CLI::App app(
        "Loads kel36.so as the monitoring unit's host does and polls generator-set\n"
        "controllers on serial lines, or on simulated controllers.",
        "kel36-host");
    // The default: an option given twice takes its last value (scripts add to
    // a base command line); --sim-fault adds up by kind.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.set_help_flag();
    app.allow_extras();  // reported below in the tool's words
    app.footer(kFooter);
    app.get_formatter()->column_width(24);
    app.get_formatter()->label("OPTIONS", "options");
    defineRunOptions(app, o, seen);
    app.add_flag("-h,--help", help, "show this text and exit")
        ->disable_flag_override()
        ->group("Diagnostics");
    app.add_flag("--version", version, "show the version and exit")
        ->disable_flag_override()
        ->group("Diagnostics");

    HistoryQueryOptions& q = command_line.query;
    bool csv = false;
    bool sub_help = false;
    CLI::App* history = defineSubcommand(
        app, "history", "history FILE (--csv | --json): export the stored records", sub_help);
    defineQueryOptions(*history, q);
    {
        Definer d(*history);
        d.group("Format (one of)");
        d.flag("--csv", "CSV (RFC 4180) with a header row", [&csv] { csv = true; });
        d.flag("--json", "JSON Lines, one object per record", [&q] { q.json = true; });
    }
    CLI::App* report = defineSubcommand(
        app, "report", "report FILE -o REPORT.html: write an HTML test report", sub_help);
    defineQueryOptions(*report, q);
    Definer report_options(*report);
    report_options.group("Output");
    report_options.path("-o", "HTML", "the path of the report file",
                        "the self-contained HTML file to write (required)",
                        [&q](const std::string& v) { q.output = v; });

    const char* const reading_footer =
        "Options take their value as --opt value or --opt=value.\n"
        "Exit status: 0 on success, 1 when the output cannot be written (or on an\n"
        "internal error), 2 on bad input (the reason is one line on stderr).";
    history->footer(reading_footer);
    report->footer(reading_footer);

    CLI::App* scan = defineSubcommand(
        app, "scan", "scan --port DEV: find the controllers that answer on a line", sub_help);
    scan->footer(
        "Exit status: 0 when a controller answered, 1 when none did, 2 on bad input\n"
        "(one line on stderr).");
    defineScanOptions(*scan, command_line.scan);

    // CLI11 wants the arguments last to first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        throw ToolError(messageFor(e));
    }
    CLI::App* const sub = scan->parsed()      ? scan
                          : history->parsed() ? history
                          : report->parsed()  ? report
                                              : nullptr;
    if (sub) {
        if (sub_help) {
            command_line.command = Command::Help;
            command_line.help = withUsage(
                sub->help(), sub == scan      ? "kel36-host scan --port DEV [options]"
                             : sub == history ? "kel36-host history FILE (--csv | --json) [options]"
                                              : "kel36-host report FILE -o REPORT.html [options]");
            return command_line;
        }
        if (sub == scan)
            return finishScan(app, *scan, command_line);
        return finishSubcommand(app, *sub, csv, command_line);
    }
    if (help) {
        command_line.command = Command::Help;
        command_line.help = withUsage(app.help(), "kel36-host [options]\n"
                                                  "       kel36-host scan|history|report ... (see kel36-host COMMAND --help)");
        return command_line;
    }
    if (version) {
        command_line.command = Command::Version;
        return command_line;
    }
    refuseExtras(app.remaining(), app);
    checkCombinations(o, seen);
    return command_line;
}

ToolOptions parseOptions(const std::vector<std::string>& args)
{
    CommandLine command_line = parseCommandLine(args);
    if (command_line.command != Command::Run)
        throw ToolError("--help and --version do not poll");
    return command_line.options;
}

}  // namespace keltool
