#pragma once
// Command-line options of kel36-host.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/rs485.h"
#include "kel36-host/web/http_address.h"

namespace keltool {

enum class OutputMode { Human, Json, Watch };

// Fault injection for simulated controllers, as the simulator library takes it.
struct SimFaultOptions {
    uint64_t seed = 1;
    double drop = 0.0;
    double split = 0.0;
    double overlong = 0.0;
    double garble = 0.0;
    double delay = 0.0;
    int delay_ms = 300;  // as kel36-sim
    bool pace = false;
    int turnaround_ms = 2;      // as kel36-sim; used when paced
    bool echo_register = true;  // false: replies' bytes 2-3 never echo (--sim-echo none)
};

struct ToolOptions {
    std::string config_path;          // host configuration file
    std::optional<std::string> port;  // one device from flags
    std::optional<std::string> addr;  // text as the device node carries it
    std::optional<uint32_t> data_id;
    std::optional<std::string> name;
    bool rtscts = false;
    std::optional<std::string> reply_echo;  // "appSetting"/"replyEcho"
    std::optional<kelcli::Rs485Settings> rs485;
    bool echo_cancel = false;

    bool simulate = false;
    std::string scenario_path;
    SimFaultOptions faults;
    // The first --sim-* option given, if any: it needs a simulated controller.
    std::string sim_option;

    std::string plugin_path;
    int interval_ms = 1000;
    int period_ms = 0;  // 0: --interval paces the rounds
    int timeout_ms = 1000;
    int give_up_s = 0;  // 0: never
    uint64_t rounds = 0;  // 0: until stopped

    OutputMode output = OutputMode::Human;
    bool trace = false;
    bool check = false;
    // Run as a supervised service: lines for the journal, a port missing at
    // start is a lost line (a USB adapter that is not there yet at boot).
    bool service = false;
    std::string history_path;  // SQLite history database
    int keep_days = 0;         // prune history rows older than this (0: keep all)
    std::string cache_dir;
    std::optional<HttpAddress> http;  // --http: the web view and /metrics
    std::string capture_path;         // --capture: the lines in pcapng
    uint64_t capture_limit_bytes = 0;  // one capture file's bound (0: no rotation)
    unsigned capture_files = 5;        // files kept with a limit
    bool capture_files_given = false;
};

// `history FILE ...` and `report FILE ...`: which stored records to read.
struct HistoryQueryOptions {
    std::string path;
    std::string device;              // empty: every device
    std::optional<int64_t> from_ms;  // UTC ms since the epoch, inclusive
    std::optional<int64_t> to_ms;    // inclusive
    bool json = false;               // history: JSON Lines instead of CSV
    std::string output;              // report: the HTML file to write
};

// `scan --port DEV ...`: which addresses and baud rates to probe.
struct ScanOptions {
    std::string port;
    int first_address = 0;
    int last_address = 255;
    std::vector<int> bauds{19200};
    std::optional<int> timeout_ms;  // per probe; default from the baud rate
    bool json = false;
    std::optional<kelcli::Rs485Settings> rs485;
    bool echo_cancel = false;
};

// What the command line asks for. The bare command polls; each subcommand
// (scan, history, report, ...) adds its value here and its options beside
// ToolOptions.
enum class Command { Run, Scan, History, Report, Help, Version };

struct CommandLine {
    Command command = Command::Run;
    ToolOptions options;        // Command::Run
    HistoryQueryOptions query;  // Command::History, Command::Report
    ScanOptions scan;           // Command::Scan
    std::string help;           // Command::Help: the usage text of the command asked about
};

// Throws ToolError naming the offending argument.
CommandLine parseCommandLine(const std::vector<std::string>& args);

// The polling options alone; ToolError also for --help and --version.
ToolOptions parseOptions(const std::vector<std::string>& args);

}  // namespace keltool
