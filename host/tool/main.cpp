// kel36-host: runs kel36.so the way the monitoring unit's host does, on real
// or simulated serial lines. Every bad input ends in one line on stderr and
// exit status 2.

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "host/tool/host_session.h"
#include "host/tool/options.h"
#include "host/tool/tool_error.h"

#ifndef KEL36_VERSION
#define KEL36_VERSION "unknown"
#endif

namespace {

constexpr int kExitBadInput = 2;
constexpr int kExitInternal = 1;

// The driver writes its diagnostic lines to standard output. The tool's own
// output gets a descriptor of its own, and the driver's lines go to stderr
// with --trace and nowhere otherwise, so --json output stays pure JSON Lines.
std::FILE* separateDriverOutput(bool show_driver_lines)
{
    const int tool_fd = ::dup(STDOUT_FILENO);
    if (tool_fd < 0)
        return stdout;
    std::FILE* out = ::fdopen(tool_fd, "w");
    if (!out) {
        ::close(tool_fd);
        return stdout;
    }
    std::fflush(stdout);
    const int target =
        show_driver_lines ? ::dup(STDERR_FILENO) : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (target >= 0) {
        ::dup2(target, STDOUT_FILENO);
        ::close(target);
    }
    return out;
}

}  // namespace

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
        std::FILE* out = separateDriverOutput(options.trace);
        const int status = keltool::runHost(options, out, stderr);
        std::fflush(out);
        return status;
    } catch (const keltool::ToolError& e) {
        std::fprintf(stderr, "kel36-host: %s\n", e.what());
        return kExitBadInput;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kel36-host: internal error: %s\n", e.what());
        return kExitInternal;
    }
}
