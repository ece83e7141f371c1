// kel36-host: runs kel36.so the way the monitoring unit's host does, on real
// or simulated serial lines. Every bad input ends in one line on stderr and
// exit status 2; output that cannot be written ends it with status 1.

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "cli/standard_streams.h"
#include "kel36-host/config/device_name.h"
#include "kel36-host/exit_status.h"
#include "kel36-host/run/host_session.h"
#include "kel36-host/config/options.h"
#include "kel36-host/report/report_command.h"
#include "kel36-host/capture/sniff_command.h"
#include "kel36-host/scan/scan_command.h"
#include "kel36-host/snapshot/snapshot_command.h"
#include "kel36-host/store/history_export.h"
#include "kel36-host/tool_error.h"

#include "kel36_version.h"

namespace {

using keltool::kExitBadInput;
constexpr int kExitFailed = keltool::kExitInternal;

// The tool's own output has a descriptor of its own (taken before this).
// The driver's std::cout lines are routed by runHost (a null stream buffer,
// or stderr with --trace); whatever else writes to descriptor 1 lands where
// they would.
void separateDriverOutput(bool show_driver_lines)
{
    std::fflush(stdout);
    const int target =
        show_driver_lines ? ::dup(STDERR_FILENO) : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (target >= 0) {
        ::dup2(target, STDOUT_FILENO);
        ::close(target);
    }
}

int run(const std::vector<std::string>& args, std::FILE* out)
{
    const keltool::CommandLine command_line = keltool::parseCommandLine(args);
    switch (command_line.command) {
        case keltool::Command::Help:
            std::fputs(command_line.help.c_str(), out);
            return 0;
        case keltool::Command::Version:
            std::fprintf(out, "kel36-host %s\n", KEL36_VERSION);
            return 0;
        case keltool::Command::Scan:
            return keltool::runScan(command_line.scan, out, ::isatty(STDOUT_FILENO) == 1);
        case keltool::Command::Sniff:
            return keltool::runSniff(command_line.sniff, out, stderr);
        case keltool::Command::Snapshot:
            separateDriverOutput(false);
            return keltool::runSnapshot(command_line.snapshot, out, stderr);
        case keltool::Command::History:
            return keltool::runHistoryExport(command_line.query, out);
        case keltool::Command::Report:
            return keltool::runReport(command_line.query, out);
        case keltool::Command::Run:
            break;
    }
    separateDriverOutput(command_line.options.trace);
    if (!command_line.options.trace)
        return keltool::runHost(command_line.options, out, stderr);
    // --trace makes stderr the run's second output: its failure ends the run
    // as one of stdout does (the reader of `2>&1 | head` went away).
    kelcli::CheckedOutput trace(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3));
    if (!trace.stream())
        return keltool::runHost(command_line.options, out, stderr);
    std::setvbuf(trace.stream(), nullptr, _IOLBF, 0);
    const int status = keltool::runHost(command_line.options, out, trace.stream());
    const int error = trace.flushAndCheck();
    if (error == 0)
        return status;
    std::fflush(out);
    if (error == EPIPE) {
        std::signal(SIGPIPE, SIG_DFL);
        std::raise(SIGPIPE);
    }
    return kExitFailed;
}

}  // namespace

int main(int argc, char** argv)
{
    // A file-size limit (ulimit -f) is a failed write that the history
    // reports and survives, not the end of the process.
    std::signal(SIGXFSZ, SIG_IGN);
    // First of all: a closed descriptor 0-2 would be taken by the first file
    // opened (a history file, a pseudo-terminal), and the tool's output would
    // land in it.
    if (!kelcli::ensureStandardDescriptors())
        return kExitFailed;
    kelcli::CheckedOutput output(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
    int status = 0;
    const std::vector<std::string> args(argv + 1, argv + argc);
    // In the journal an error is logged at its level.
    const char* const error_level =
        std::find(args.begin(), args.end(), "--service") != args.end() ? "<3>" : "";
    try {
        status = run(args, output.stream());
    } catch (const keltool::ToolError& e) {
        // Messages name paths (ports, files) that may hold control characters.
        std::fprintf(stderr, "%skel36-host: %s\n", error_level, keltool::shownText(e.what()).c_str());
        status = kExitBadInput;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%skel36-host: internal error: %s\n", error_level, e.what());
        status = kExitFailed;
    }
    return kelcli::finishOutput(output, "kel36-host", status, kExitFailed);
}
