#pragma once
// kel36-sim's command line.

#include <stdexcept>
#include <string>
#include <vector>

#include "simulator.h"

namespace kelsim {

struct CommandLine {
    bool help = false;
    std::string port;           // empty: a new pseudo-terminal
    std::string scenario_file;  // empty: the built-in default scenario
    double duration_s = 0;      // 0: until SIGINT/SIGTERM
    uint8_t address = 65;
    ReplyEcho echo = ReplyEcho::Register;
    LineTiming line;
    Faults faults;
};

// A bad command line; the message names the option and what was wrong.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Arguments without the program name. Throws UsageError.
CommandLine parseCommandLine(const std::vector<std::string>& args);

const char* usageText();

}  // namespace kelsim
