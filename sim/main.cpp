// kel36-sim: Kel36 generator-set controllers on a pseudo-terminal or a serial
// port, for bench-testing a monitoring unit without a generator.
//
// stdout carries only the pseudo-terminal's path (first line, for scripts)
// and, with --control -, the answers to the commands; the banner, the
// statistics and errors go to stderr.

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kel36_version.h"
#include "line.h"
#include "cli/standard_streams.h"
#include "command_line.h"
#include "control/control_client.h"
#include "control/control_server.h"
#include "replay/replay_player.h"
#include "report_text.h"
#include "simulator.h"

namespace {

using namespace kelsim;

constexpr int kExitFailed = 1;
constexpr int kExitBadInput = 2;

// --pty-link: the path a script waits for. It is made under a temporary name
// and renamed into place, so it never exists half-made or pointing elsewhere,
// and it only ever replaces a symbolic link, never a file.
std::string linkProblem(const std::string& path)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
        return "--pty-link: " + path + " exists and is not a symbolic link";
    return "";
}

bool publishLink(const std::string& path, const std::string& target)
{
    const std::string temporary = path + ".kel36-sim-" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) == 0 &&
        ::rename(temporary.c_str(), path.c_str()) == 0)
        return true;
    std::fprintf(stderr, "kel36-sim: --pty-link: cannot make %s: %s\n", path.c_str(),
                 std::strerror(errno));
    ::unlink(temporary.c_str());
    return false;
}

// Only our own link: another simulator may have taken the path since.
void removeLink(const std::string& path, const std::string& target)
{
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
    if (n > 0 && std::string(buffer, static_cast<std::size_t>(n)) == target)
        ::unlink(path.c_str());
}

std::string describeLine(const CommandLine& cl)
{
    std::string text = cl.line.pace
                           ? "paced at " + std::to_string(cl.line.baud) + " baud, turnaround " +
                                 std::to_string(cl.line.turnaround_ms) + " ms"
                           : "unpaced";
    if (cl.local_echo)
        text += "; local echo";
    if (cl.rs485)
        text += "; RS-485 mode, RTS delays " + std::to_string(cl.rs485->delay_before_ms) + "/" +
                std::to_string(cl.rs485->delay_after_ms) + " ms";
    return text;
}

std::string addressList(const CommandLine& cl)
{
    std::string text = cl.controllers.size() == 1 ? "address " : "addresses ";
    for (std::size_t i = 0; i < cl.controllers.size(); ++i)
        text += (i ? ", " : "") + std::to_string(cl.controllers[i].address);
    return text;
}

void printBanner(const CommandLine& cl, const Options& options, const std::string& path)
{
    std::fprintf(stderr, "kel36-sim: answering %s on %s\n", addressList(cl).c_str(), path.c_str());
    for (std::size_t i = 0; i < cl.controllers.size(); ++i) {
        const ControllerArgs& c = cl.controllers[i];
        const Timeline& timeline = options.controllers[i].timeline;
        std::fprintf(stderr,
                     "kel36-sim: address %u: scenario %s: %s\n"
                     "kel36-sim: address %u: timeline: %s; replies %s; faults: %s\n",
                     static_cast<unsigned>(c.address),
                     c.scenario_file.empty() ? "(built-in)" : c.scenario_file.c_str(),
                     describeQuantities(timeline.start()).c_str(), static_cast<unsigned>(c.address),
                     describeTimeline(timeline).c_str(),
                     c.echo == ReplyEcho::Register ? "echo the register field" : "do not echo",
                     describeFaults(c.faults).c_str());
    }
    std::fprintf(stderr, "kel36-sim: line: %s\n", describeLine(cl).c_str());
    if (!cl.control.empty())
        std::fprintf(
            stderr, "kel36-sim: control: %s\n",
            cl.control == "-" ? "commands on stdin, answers on stdout" : cl.control.c_str());
}

void printStats(const Simulator& sim, bool local_echo)
{
    const Stats s = sim.stats();
    std::fprintf(
        stderr,
        "kel36-sim: requests %llu (other address %llu), malformed %llu, replies %llu\n"
        "kel36-sim: faults injected: dropped %llu, split %llu, overlong %llu, garbled %llu, "
        "delayed %llu\n",
        static_cast<unsigned long long>(s.requests),
        static_cast<unsigned long long>(s.other_address),
        static_cast<unsigned long long>(s.malformed), static_cast<unsigned long long>(s.replies),
        static_cast<unsigned long long>(s.dropped), static_cast<unsigned long long>(s.split),
        static_cast<unsigned long long>(s.overlong), static_cast<unsigned long long>(s.garbled),
        static_cast<unsigned long long>(s.delayed));
    if (local_echo)
        std::fprintf(stderr, "kel36-sim: local echo: %llu bytes\n",
                     static_cast<unsigned long long>(s.echoed));
    for (const ControllerReport& r : sim.report()) {
        const unsigned address = r.address;
        std::fprintf(stderr,
                     "kel36-sim: address %u: requests %llu, replies %llu; %s\n"
                     "kel36-sim: address %u: %s; held: %s\n"
                     "kel36-sim: address %u: registers %s\n",
                     address, static_cast<unsigned long long>(r.stats.requests),
                     static_cast<unsigned long long>(r.stats.replies), describePosition(r).c_str(),
                     address, describeQuantities(r.image).c_str(), describeHeld(r.held).c_str(),
                     address, registersHex(r.image).c_str());
    }
}

// Waits for SIGINT/SIGTERM/SIGHUP (a closed terminal), the end of the duration, or the line
// failing. The signals are blocked in every thread and taken here synchronously.
void waitForStop(const sigset_t& signals, const Simulator& sim, double duration_s,
                 const ReplayPlayer* replay)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(duration_s));
    // A failing line is noticed within this slice.
    constexpr auto kSlice = std::chrono::milliseconds(250);
    for (;;) {
        auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(kSlice);
        if (duration_s > 0) {
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero())
                return;
            wait = std::min(wait, std::chrono::duration_cast<std::chrono::nanoseconds>(left));
        }
        const timespec timeout{0, static_cast<long>(wait.count())};
        if (sigtimedwait(&signals, nullptr, &timeout) > 0)
            return;
        if (!sim.failure().empty() || (replay && replay->finished()))
            return;
    }
}

std::shared_ptr<ReplayPlayer> loadReplay(CommandLine& cl)
{
    const ReplayScript script = buildReplayScript(readCaptureFile(cl.replay_file), cl.replay_device);
    // The capture's own speed, unless asked otherwise.
    if (!cl.baud_given && script.baud > 0) {
        if (!isSupportedBaud(static_cast<int>(std::min<uint64_t>(script.baud, 1u << 30))))
            throw CaptureError(cl.replay_file + ": captured at " + std::to_string(script.baud) +
                               " baud, which this line cannot take: give --baud");
        cl.line.baud = static_cast<int>(script.baud);
    }
    cl.controllers.front().address = static_cast<uint8_t>(script.address);
    std::fprintf(stderr, "kel36-sim: replaying %s: %s, %zu exchanges in %u rounds; "
                 "diverging: %s, at the end: %s\n",
                 cl.replay_file.c_str(), script.device.c_str(), script.exchanges.size(),
                 script.exchanges.back().round, cl.replay_diverge.c_str(),
                 cl.replay_at_end.c_str());
    return std::make_shared<ReplayPlayer>(
        script, cl.replay_diverge == "silent" ? ReplayDiverge::Silent : ReplayDiverge::Image,
        cl.replay_at_end == "stop"     ? ReplayAtEnd::Stop
        : cl.replay_at_end == "silent" ? ReplayAtEnd::Silent
                                       : ReplayAtEnd::Image);
}

void printReplayCounts(const ReplayPlayer& replay)
{
    const ReplayCounts c = replay.counts();
    std::fprintf(stderr,
                 "kel36-sim: replay: %llu of %zu captured exchanges played, %llu skipped; "
                 "%llu requests diverged, %llu past the end (%llu answered from the image), "
                 "%llu for another address\n",
                 static_cast<unsigned long long>(c.played), replay.exchanges(),
                 static_cast<unsigned long long>(c.skipped),
                 static_cast<unsigned long long>(c.diverged),
                 static_cast<unsigned long long>(c.past_end),
                 static_cast<unsigned long long>(c.from_image),
                 static_cast<unsigned long long>(c.other_address));
}

int send(const CommandLine& cl, kelcli::CheckedOutput& out)
{
    std::string error;
    const int status = sendCommands(cl.send_path, cl.send_commands, out.stream(), &error);
    if (status == kSendNoServer)
        std::fprintf(stderr, "kel36-sim: %s\n", error.c_str());
    return kelcli::finishOutput(out, "kel36-sim", status, kSendNoServer);
}

int run(const std::vector<std::string>& args, kelcli::CheckedOutput& out)
{
    CommandLine cl;
    try {
        cl = parseCommandLine(args);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "kel36-sim: %s\n", e.what());
        return kExitBadInput;
    }
    if (cl.help) {
        std::fputs(usageText(), out.stream());
        return kelcli::finishOutput(out, "kel36-sim", 0, kExitFailed);
    }
    if (cl.version) {
        std::fprintf(out.stream(), "kel36-sim %s\n", KEL36_VERSION);
        return kelcli::finishOutput(out, "kel36-sim", 0, kExitFailed);
    }
    if (!cl.send_path.empty())
        return send(cl, out);

    Options options;
    options.line = cl.line;
    options.local_echo = cl.local_echo;
    options.rs485 = cl.rs485;
    options.controllers.clear();
    std::unique_ptr<ControlServer> control;
    std::shared_ptr<ReplayPlayer> replay;
    try {
        if (!cl.replay_file.empty()) {
            replay = loadReplay(cl);
            options.replies = replay;
            options.line = cl.line;
        }
        for (const ControllerArgs& c : cl.controllers) {
            ControllerOptions controller;
            controller.address = c.address;
            controller.echo = c.echo;
            controller.faults = c.faults;
            if (!c.scenario_file.empty())
                controller.timeline = loadTimelineFile(c.scenario_file);
            options.controllers.push_back(std::move(controller));
        }
        // Before any thread starts: making the socket sets the process's umask a moment.
        if (cl.control == "-")
            control = ControlServer::onStandardStreams();
        else if (!cl.control.empty())
            control = ControlServer::onSocket(cl.control);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kel36-sim: %s\n", e.what());
        return kExitBadInput;
    }
    if (!cl.pty_link.empty()) {
        const std::string problem = linkProblem(cl.pty_link);
        if (!problem.empty()) {
            std::fprintf(stderr, "kel36-sim: %s\n", problem.c_str());
            return kExitBadInput;
        }
        // A link left by a run that was killed must not look ready.
        ::unlink(cl.pty_link.c_str());
    }

    // Block before any thread starts, so the serving thread inherits the mask
    // and the signals reach only sigtimedwait below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::unique_ptr<Simulator> sim;
    try {
        sim = cl.port.empty() ? startOnPty(options) : startOnPort(cl.port, options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kel36-sim: %s\n", e.what());
        return kExitBadInput;
    }
    if (cl.port.empty()) {
        std::fprintf(out.stream(), "%s\n", sim->devicePath().c_str());
        // A script reads the path from here: without it the simulator is of no
        // use. A reader that has gone away needs it no more.
        const int error = out.flushAndCheck();
        if (error != 0 && error != EPIPE) {
            std::fprintf(stderr, "kel36-sim: cannot write the pseudo-terminal's path: %s\n",
                         std::strerror(error));
            return kExitFailed;
        }
    }
    printBanner(cl, options, sim->devicePath());
    if (control)
        control->start([&sim](const std::string& command) { return sim->control(command); });
    // Last: whoever waits for the link may use the line and the control at once.
    if (!cl.pty_link.empty() && !publishLink(cl.pty_link, sim->devicePath())) {
        if (control)
            control->stop();
        sim->stop();
        return kExitFailed;
    }

    waitForStop(signals, *sim, cl.duration_s, replay.get());
    if (!cl.pty_link.empty())
        removeLink(cl.pty_link, sim->devicePath());
    if (control)
        control->stop();
    const std::string failure = sim->failure();
    sim->stop();
    printStats(*sim, cl.local_echo);
    if (replay)
        printReplayCounts(*replay);
    if (!failure.empty()) {
        std::fprintf(stderr, "kel36-sim: %s\n", failure.c_str());
        return kExitFailed;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    // First of all: a closed descriptor 0-2 would be taken by the
    // pseudo-terminal, and the path meant for stdout written into the line.
    if (!kelcli::ensureStandardDescriptors())
        return kExitFailed;
    // A reader of stdout that went away must not kill us before the statistics.
    signal(SIGPIPE, SIG_IGN);
    kelcli::CheckedOutput out(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
    return run(std::vector<std::string>(argv + 1, argv + argc), out);
}
