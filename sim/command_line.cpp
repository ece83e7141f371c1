#include "command_line.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "cli/suggest.h"
#include "line.h"
#include "number_text.h"

namespace kelsim {
namespace {

constexpr int kDefaultDelayMs = 300;
constexpr int kMaxDelayMs = 600'000;
constexpr int kMaxTurnaroundMs = 10'000;

const char kUsage[] =
    "Usage: kel36-sim [--pty | --port DEV [--baud N]] [options]\n"
    "       kel36-sim --send SOCKET COMMAND...\n"
    "Simulates Kel36 generator-set controllers on a serial line.\n"
    "\n"
    "Line:\n"
    "  --pty             create a pseudo-terminal and print its path as the first\n"
    "                    line on stdout (the default when --port is not given)\n"
    "  --pty-link PATH   also make PATH a symbolic link to the pseudo-terminal,\n"
    "                    once it answers (a script waits for PATH to exist);\n"
    "                    removed again on exit\n"
    "  --port DEV        serve a serial device, raw 8N1, no flow control\n"
    "  --baud N          baud rate of --port and of --pace (default 19200)\n"
    "  --pace            model the line at the baud rate: 10 bit times per\n"
    "                    character for requests and replies, replies one\n"
    "                    character at a time\n"
    "  --turnaround MS   with --pace: pause from the end of a request to the\n"
    "                    start of its reply (default 2)\n"
    "  --local-echo      send every byte the poller sends back to it, as a\n"
    "                    half-duplex adapter that hears itself does\n"
    "  --rs485           turn on the port's RS-485 mode (RTS high while sending)\n"
    "  --rs485-delays B,A  RTS delays before and after sending, 0..100 ms each\n"
    "                    (default 0,0)\n"
    "\n"
    "Controllers (each --address adds one; the options after it are its own,\n"
    "those before the first --address apply to every controller):\n"
    "  --address N       controller address, 0..255 or 0x00..0xFF (default 65)\n"
    "  --scenario FILE   JSON scenario, optionally with a timeline\n"
    "                    (default: the built-in healthy generator)\n"
    "  --echo register   bytes 2-3 of a reply echo the request's register field\n"
    "                    (the default)\n"
    "  --echo none       bytes 2-3 never echo it (a controller that does not echo)\n"
    "\n"
    "Faults, per controller (P is a probability per reply, 0..1; all off by default):\n"
    "  --seed N          seed of the fault decisions (default 1; the next\n"
    "                    controllers 2, 3, ... unless given)\n"
    "  --drop P          send no reply\n"
    "  --split P         send the reply in chunks with pauses of 2..15 ms\n"
    "  --overlong P      append 1..3 extra bytes to the reply\n"
    "  --garble P        put non-hex characters into the data pair\n"
    "  --delay P         delay the reply by --delay-ms\n"
    "  --delay-ms MS     the delay (default 300)\n"
    "\n"
    "Replay (docs/capture.md):\n"
    "  --replay FILE     answer as the controller in a capture did: its reply\n"
    "                    bytes, turnaround and faults, paced at the capture's\n"
    "                    baud rate (or --baud)\n"
    "  --device NAME     the captured device to play, by name or address\n"
    "                    (default: the only one)\n"
    "  --diverge MODE    a request the capture has no place for: image (answer\n"
    "                    from the last captured value, the default) or silent\n"
    "  --at-end MODE     after the last captured exchange: image (default),\n"
    "                    silent or stop (exit at the next request)\n"
    "\n"
    "Live control:\n"
    "  --control SOCKET  take commands on a Unix-domain socket (mode 0600)\n"
    "  --control -       take commands on stdin, answer on stdout\n"
    "  --send SOCKET COMMAND...  send commands to a running simulator, print the\n"
    "                    answers; exit 0 when all are ok, 1 on an error answer,\n"
    "                    2 when no simulator answers. Commands: help\n"
    "\n"
    "  --duration S      stop after S seconds (default: until SIGINT/SIGTERM/SIGHUP)\n"
    "  --help            show this text\n"
    "  --version         show the version\n"
    "\n"
    "Statistics are printed on stderr when the simulator stops. Exit status: 0 on\n"
    "a normal stop, 1 when the line failed while serving, 2 on bad input.\n";

[[noreturn]] void bad(const std::string& option, const std::string& value,
                      const std::string& expected)
{
    throw UsageError(option + ": \"" + value + "\" is not " + expected);
}

double probability(const std::string& option, const std::string& value)
{
    double p = 0;
    if (!parseReal(value, &p) || p < 0 || p > 1)
        bad(option, value, "a probability 0..1");
    return p;
}

unsigned long long integer(const std::string& option, const std::string& value,
                           unsigned long long max, const std::string& expected)
{
    unsigned long long n = 0;
    if (!parseUnsigned(value, &n) || n > max)
        bad(option, value, expected);
    return n;
}

}  // namespace

const char* usageText()
{
    return kUsage;
}

CommandLine parseCommandLine(const std::vector<std::string>& args)
{
    CommandLine cl;
    if (!args.empty() && args[0] == "--send") {
        if (args.size() < 3)
            throw UsageError("--send needs a socket path and at least one command");
        cl.send_path = args[1];
        cl.send_commands.assign(args.begin() + 2, args.end());
        return cl;
    }
    ControllerArgs defaults;
    defaults.faults.delay_ms = kDefaultDelayMs;
    std::vector<bool> seed_given;
    bool pty = false;
    bool rs485 = false;
    kelcli::Rs485Settings rs485_settings;
    bool rs485_delays = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string option = args[i];
        std::string value;
        bool inline_value = false;
        const auto equals = option.find('=');
        if (option.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = option.substr(equals + 1);
            option.erase(equals);
            inline_value = true;
        }
        const auto flag = [&] {
            if (inline_value)
                throw UsageError(option + " takes no value");
        };
        const auto takeValue = [&]() -> const std::string& {
            if (!inline_value) {
                if (i + 1 >= args.size())
                    throw UsageError(option + " needs a value");
                value = args[++i];
            }
            return value;
        };
        // Before the first --address: every controller's; after: the last one's.
        ControllerArgs& c = cl.controllers.empty() ? defaults : cl.controllers.back();

        if (option == "--help" || option == "-h") {
            flag();
            cl.help = true;
        } else if (option == "--version") {
            flag();
            cl.version = true;
        } else if (option == "--pty") {
            flag();
            pty = true;
        } else if (option == "--pty-link") {
            cl.pty_link = takeValue();
            if (cl.pty_link.empty())
                throw UsageError("--pty-link needs a path");
        } else if (option == "--pace") {
            flag();
            cl.line.pace = true;
        } else if (option == "--local-echo") {
            flag();
            cl.local_echo = true;
        } else if (option == "--rs485") {
            flag();
            rs485 = true;
        } else if (option == "--rs485-delays") {
            if (!kelcli::parseRs485Delays(takeValue(), &rs485_settings))
                bad(option, value, "BEFORE,AFTER in ms, each 0..100");
            rs485_delays = true;
        } else if (option == "--control") {
            cl.control = takeValue();
            if (cl.control.empty())
                throw UsageError("--control needs a socket path or -");
        } else if (option == "--send") {
            throw UsageError("--send comes first and takes no other options");
        } else if (option == "--port") {
            cl.port = takeValue();
            if (cl.port.empty())
                throw UsageError("--port needs a device path");
        } else if (option == "--scenario") {
            c.scenario_file = takeValue();
            if (c.scenario_file.empty())
                throw UsageError("--scenario needs a file name");
        } else if (option == "--baud") {
            const auto baud = integer(option, takeValue(), 230400, "a baud rate");
            if (!isSupportedBaud(static_cast<int>(baud))) {
                bad(option, value,
                    "a supported baud rate (1200 2400 4800 9600 19200 38400 57600 115200 230400)");
            }
            cl.line.baud = static_cast<int>(baud);
            cl.baud_given = true;
        } else if (option == "--replay") {
            cl.replay_file = takeValue();
            if (cl.replay_file.empty())
                throw UsageError("--replay needs a capture file");
        } else if (option == "--device") {
            cl.replay_device = takeValue();
        } else if (option == "--diverge") {
            cl.replay_diverge = takeValue();
            if (cl.replay_diverge != "image" && cl.replay_diverge != "silent")
                bad(option, value, "image or silent");
        } else if (option == "--at-end") {
            cl.replay_at_end = takeValue();
            if (cl.replay_at_end != "image" && cl.replay_at_end != "silent" &&
                cl.replay_at_end != "stop")
                bad(option, value, "image, silent or stop");
        } else if (option == "--turnaround") {
            cl.line.turnaround_ms = static_cast<int>(
                integer(option, takeValue(), kMaxTurnaroundMs, "a turnaround 0..10000 ms"));
        } else if (option == "--echo") {
            const std::string& echo = takeValue();
            if (echo == "register")
                c.echo = ReplyEcho::Register;
            else if (echo == "none")
                c.echo = ReplyEcho::None;
            else
                bad(option, echo, "register or none");
        } else if (option == "--address") {
            const auto address =
                static_cast<uint8_t>(integer(option, takeValue(), 255, "an address 0..255"));
            for (const ControllerArgs& other : cl.controllers) {
                if (other.address == address)
                    throw UsageError("--address " + std::to_string(address) + " given twice");
            }
            cl.controllers.push_back(defaults);
            cl.controllers.back().address = address;
            seed_given.push_back(false);
        } else if (option == "--seed") {
            c.faults.seed =
                integer(option, takeValue(), UINT64_MAX, "a seed 0..18446744073709551615");
            if (!seed_given.empty())
                seed_given.back() = true;
        } else if (option == "--delay-ms") {
            c.faults.delay_ms =
                static_cast<int>(integer(option, takeValue(), kMaxDelayMs, "a delay 0..600000 ms"));
        } else if (option == "--drop") {
            c.faults.drop = probability(option, takeValue());
        } else if (option == "--split") {
            c.faults.split = probability(option, takeValue());
        } else if (option == "--overlong") {
            c.faults.overlong = probability(option, takeValue());
        } else if (option == "--garble") {
            c.faults.garble = probability(option, takeValue());
        } else if (option == "--delay") {
            c.faults.delay = probability(option, takeValue());
        } else if (option == "--duration") {
            double seconds = 0;
            if (!parseReal(takeValue(), &seconds) || seconds <= 0 || seconds > 1e6) {
                bad(option, value, "a duration in seconds above 0");
            }
            cl.duration_s = seconds;
        } else {
            throw UsageError(kelcli::unknownOptionMessage(option, kelcli::optionsInText(kUsage)));
        }
    }
    if (pty && !cl.port.empty())
        throw UsageError("use either --pty or --port, not both");
    if (!cl.pty_link.empty() && !cl.port.empty())
        throw UsageError("--pty-link needs a pseudo-terminal, not --port");
    if (rs485_delays && !rs485)
        throw UsageError("--rs485-delays needs --rs485");
    if (rs485)
        cl.rs485 = rs485_settings;
    if (!cl.replay_file.empty()) {
        // The capture is the controller: nothing else may stand in for it.
        const ControllerArgs plain;
        const Faults& f = defaults.faults;
        if (!cl.controllers.empty() || !defaults.scenario_file.empty() ||
            defaults.echo != plain.echo || f.drop > 0 || f.split > 0 || f.overlong > 0 ||
            f.garble > 0 || f.delay > 0)
            throw UsageError(
                "--replay plays the captured controller: --address, --scenario, --echo and "
                "faults do not go with it");
        cl.line.pace = true;
    } else if (!cl.replay_device.empty() || cl.replay_diverge != "image" ||
               cl.replay_at_end != "image") {
        throw UsageError("--device, --diverge and --at-end need --replay");
    }
    if (cl.controllers.empty()) {
        cl.controllers.push_back(defaults);
        seed_given.push_back(true);
    }
    // Each controller its own fault sequence, still reproducible from the seed.
    for (std::size_t i = 0; i < cl.controllers.size(); ++i) {
        if (!seed_given[i])
            cl.controllers[i].faults.seed = defaults.faults.seed + i;
    }
    return cl;
}

}  // namespace kelsim
