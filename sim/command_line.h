#pragma once
// kel36-sim's command line.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/rs485.h"
#include "simulator.h"

namespace kelsim {

// One controller as the command line describes it.
struct ControllerArgs {
    uint8_t address = 65;
    std::string scenario_file;  // empty: the built-in default scenario
    ReplyEcho echo = ReplyEcho::Register;
    Faults faults;
};

struct CommandLine {
    bool help = false;
    bool version = false;
    std::string port;       // empty: a new pseudo-terminal
    std::string pty_link;   // empty: none; else a symbolic link made once it answers
    double duration_s = 0;  // 0: until SIGINT/SIGTERM
    LineTiming line;
    bool local_echo = false;
    std::optional<kelcli::Rs485Settings> rs485;
    std::string control;  // empty: none; "-": standard input; else a socket path
    // At least one; each --address starts the next.
    std::vector<ControllerArgs> controllers;

    bool baud_given = false;
    // --replay FILE: play a capture's controller instead of simulating one.
    std::string replay_file;
    std::string replay_device;  // empty: the capture's only device
    std::string replay_diverge = "image";  // image or silent
    std::string replay_at_end = "image";   // image, silent or stop

    // --send PATH COMMAND...: a client of another simulator's control socket.
    std::string send_path;
    std::vector<std::string> send_commands;
};

// A bad command line; the message names the option and what was wrong.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Arguments without the program name. Throws UsageError.
CommandLine parseCommandLine(const std::vector<std::string>& args);

const char* usageText();

}  // namespace kelsim
