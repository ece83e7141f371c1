#include "command_line.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "line.h"

namespace kelsim {
namespace {

constexpr int kDefaultDelayMs = 300;
constexpr int kMaxDelayMs = 600'000;
constexpr int kMaxTurnaroundMs = 10'000;

const char kUsage[] =
    "Usage: kel36-sim [--pty | --port DEV [--baud N]] [options]\n"
    "Simulates a Kel36 generator-set controller on a serial line.\n"
    "\n"
    "Line:\n"
    "  --pty             create a pseudo-terminal and print its path as the first\n"
    "                    line on stdout (the default when --port is not given)\n"
    "  --port DEV        serve a serial device, raw 8N1, no flow control\n"
    "  --baud N          baud rate of --port and of --pace (default 19200)\n"
    "  --pace            model the line at the baud rate: 10 bit times per\n"
    "                    character for requests and replies, replies one\n"
    "                    character at a time\n"
    "  --turnaround MS   with --pace: pause from the end of a request to the\n"
    "                    start of its reply (default 2)\n"
    "\n"
    "Controller:\n"
    "  --address N       controller address, 0..255 or 0x00..0xFF (default 65)\n"
    "  --scenario FILE   JSON scenario with the register values to answer\n"
    "                    (default: the built-in healthy generator)\n"
    "  --echo register   bytes 2-3 of a reply echo the request's register field\n"
    "                    (the default)\n"
    "  --echo none       bytes 2-3 never echo it (a controller that does not echo)\n"
    "\n"
    "Faults (P is a probability per reply, 0..1; all off by default):\n"
    "  --seed N          seed of the fault decisions (default 1)\n"
    "  --drop P          send no reply\n"
    "  --split P         send the reply in chunks with pauses of 2..15 ms\n"
    "  --overlong P      append 1..3 extra bytes to the reply\n"
    "  --garble P        put non-hex characters into the data pair\n"
    "  --delay P         delay the reply by --delay-ms\n"
    "  --delay-ms MS     the delay (default 300)\n"
    "\n"
    "  --duration S      stop after S seconds (default: run until SIGINT/SIGTERM)\n"
    "  --help            show this text\n"
    "\n"
    "Statistics are printed on stderr when the simulator stops. Exit status: 0 on\n"
    "a normal stop, 1 when the line failed while serving, 2 on bad input.\n";

[[noreturn]] void bad(const std::string& option, const std::string& value,
                      const std::string& expected)
{
    throw UsageError(option + ": \"" + value + "\" is not " + expected);
}

// Whole text, decimal or 0x-prefixed hex, no sign, no blanks.
bool parseUnsigned(const std::string& text, unsigned long long* out)
{
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0]))))
        return false;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char* end = nullptr;
    *out = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    return errno == 0 && end == text.c_str() + text.size();
}

bool parseReal(const std::string& text, double* out)
{
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    errno = 0;
    char* end = nullptr;
    *out = std::strtod(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size() && std::isfinite(*out);
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
    cl.faults.delay_ms = kDefaultDelayMs;
    bool pty = false;
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

        if (option == "--help" || option == "-h") {
            flag();
            cl.help = true;
        } else if (option == "--pty") {
            flag();
            pty = true;
        } else if (option == "--pace") {
            flag();
            cl.line.pace = true;
        } else if (option == "--port") {
            cl.port = takeValue();
            if (cl.port.empty())
                throw UsageError("--port needs a device path");
        } else if (option == "--scenario") {
            cl.scenario_file = takeValue();
            if (cl.scenario_file.empty())
                throw UsageError("--scenario needs a file name");
        } else if (option == "--baud") {
            const auto baud = integer(option, takeValue(), 230400, "a baud rate");
            if (!isSupportedBaud(static_cast<int>(baud))) {
                bad(option, value,
                    "a supported baud rate (1200 2400 4800 9600 19200 38400 57600 115200 230400)");
            }
            cl.line.baud = static_cast<int>(baud);
        } else if (option == "--turnaround") {
            cl.line.turnaround_ms = static_cast<int>(
                integer(option, takeValue(), kMaxTurnaroundMs, "a turnaround 0..10000 ms"));
        } else if (option == "--echo") {
            const std::string& echo = takeValue();
            if (echo == "register")
                cl.echo = ReplyEcho::Register;
            else if (echo == "none")
                cl.echo = ReplyEcho::None;
            else
                bad(option, echo, "register or none");
        } else if (option == "--address") {
            cl.address =
                static_cast<uint8_t>(integer(option, takeValue(), 255, "an address 0..255"));
        } else if (option == "--seed") {
            cl.faults.seed =
                integer(option, takeValue(), UINT64_MAX, "a seed 0..18446744073709551615");
        } else if (option == "--delay-ms") {
            cl.faults.delay_ms =
                static_cast<int>(integer(option, takeValue(), kMaxDelayMs, "a delay 0..600000 ms"));
        } else if (option == "--drop") {
            cl.faults.drop = probability(option, takeValue());
        } else if (option == "--split") {
            cl.faults.split = probability(option, takeValue());
        } else if (option == "--overlong") {
            cl.faults.overlong = probability(option, takeValue());
        } else if (option == "--garble") {
            cl.faults.garble = probability(option, takeValue());
        } else if (option == "--delay") {
            cl.faults.delay = probability(option, takeValue());
        } else if (option == "--duration") {
            double seconds = 0;
            if (!parseReal(takeValue(), &seconds) || seconds <= 0 || seconds > 1e6) {
                bad(option, value, "a duration in seconds above 0");
            }
            cl.duration_s = seconds;
        } else {
            throw UsageError("unknown option " + option + " (see --help)");
        }
    }
    if (pty && !cl.port.empty())
        throw UsageError("use either --pty or --port, not both");
    return cl;
}

}  // namespace kelsim
