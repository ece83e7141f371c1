// kel36-host: runs kel36.so the way the monitoring unit's host does, on real
// or simulated serial lines. Every bad input ends in one line on stderr and
// exit status 2.

#include <cstdio>
#include <string>
#include <vector>

#include "host/tool/exit_status.h"
#include "host/tool/host_session.h"
#include "host/tool/options.h"
#include "host/tool/tool_error.h"

#ifndef KEL36_VERSION
#define KEL36_VERSION "unknown"
#endif

int main(int argc, char** argv)
{
    try {
        const keltool::CommandLine command_line =
            keltool::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
        switch (command_line.command) {
            case keltool::Command::Help:
                std::fputs(command_line.help.c_str(), stdout);
                return 0;
            case keltool::Command::Version:
                std::printf("kel36-host %s\n", KEL36_VERSION);
                return 0;
            case keltool::Command::Run:
                break;
        }
        const keltool::ToolOptions& options = command_line.options;
        const int status = keltool::runHost(options, stdout, stderr);
        std::fflush(stdout);
        return status;
    } catch (const keltool::ToolError& e) {
        std::fprintf(stderr, "kel36-host: %s\n", e.what());
        return keltool::kExitBadInput;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kel36-host: internal error: %s\n", e.what());
        return keltool::kExitInternal;
    }
}
