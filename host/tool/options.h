#pragma once
// Command-line options of kel36-host.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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
};

struct ToolOptions {
    std::string config_path;          // host configuration file
    std::optional<std::string> port;  // one device from flags
    std::optional<std::string> addr;  // text as the device node carries it
    std::optional<uint32_t> data_id;
    std::optional<std::string> name;
    bool rtscts = false;

    bool simulate = false;
    std::string scenario_path;
    SimFaultOptions faults;

    std::string plugin_path;
    int interval_ms = 1000;
    int period_ms = 0;  // 0: --interval paces the rounds
    int timeout_ms = 1000;
    int give_up_s = 0;  // 0: never
    uint64_t rounds = 0;  // 0: until stopped

    OutputMode output = OutputMode::Human;
    bool trace = false;
    bool check = false;
    std::string history_path;
    std::string cache_dir;

    bool help = false;
    bool version = false;
};

// Throws ToolError naming the offending argument.
ToolOptions parseOptions(const std::vector<std::string>& args);

const char* usageText();

}  // namespace keltool
