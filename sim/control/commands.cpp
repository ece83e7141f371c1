#include "control/commands.h"

#include <cctype>
#include <sstream>
#include <stdexcept>

#include "number_text.h"
#include "report_text.h"
#include "scenario.h"

namespace kelsim {
namespace {

constexpr unsigned long long kMaxDelayMs = 600'000;

const char kHelp[] =
    "ok commands: [@ADDRESS] set NAME VALUE | alarm NAME on|off | release NAME|all | "
    "fault drop|split|overlong|garble|delay RATE | fault delay-ms MS | pause | resume | state; "
    "help. NAME: uab ubc uca frequency ua ub uc battery_voltage, a_5 a_6 a_7 b_2 b_6, reg0..reg64";

// Raised for an answer "error <what>".
struct CommandError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Echoed words stay printable, so every answer stays one line.
std::string shown(const std::string& word)
{
    std::string out = "\"";
    for (char c : word)
        out += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
    return out + "\"";
}

std::vector<std::string> wordsOf(const std::string& command)
{
    std::vector<std::string> words;
    std::string word;
    for (char c : command) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty())
        words.push_back(word);
    return words;
}

void expectArguments(const std::vector<std::string>& args, std::size_t count, const char* usage)
{
    if (args.size() != count)
        throw CommandError(std::string("usage: ") + usage);
}

bool onOff(const std::string& name, const std::string& word)
{
    if (word == "on")
        return true;
    if (word == "off")
        return false;
    throw CommandError(name + ": " + shown(word) + " is not on or off");
}

class Session {
public:
    Session(Controller& controller, Clock::time_point now) : c_(controller), now_(now) {}

    std::string run(const std::string& verb, const std::vector<std::string>& args)
    {
        if (verb == "set") {
            expectArguments(args, 2, "set NAME VALUE");
            return set(args[0], args[1]);
        }
        if (verb == "alarm") {
            expectArguments(args, 2, "alarm NAME on|off");
            if (!isAlarm(args[0]))
                throw CommandError("alarm: unknown alarm " + shown(args[0]) +
                                   " (a_5 a_6 a_7 b_2 b_6)");
            return set(args[0], args[1]);
        }
        if (verb == "release") {
            expectArguments(args, 1, "release NAME|all");
            return release(args[0]);
        }
        if (verb == "fault") {
            expectArguments(args, 2, "fault KIND RATE");
            return fault(args[0], args[1]);
        }
        if (verb == "pause" || verb == "resume") {
            expectArguments(args, 0, verb == "pause" ? "pause" : "resume");
            return verb == "pause" ? "paused at " + formatSeconds(c_.pause(now_))
                                   : "running from " + formatSeconds(c_.resume(now_));
        }
        if (verb == "state") {
            expectArguments(args, 0, "state");
            return describeState(c_.report(now_));
        }
        throw CommandError("unknown command " + shown(verb) + " (try help)");
    }

private:
    std::string set(const std::string& name, const std::string& value)
    {
        if (isQuantity(name)) {
            double number = 0;
            if (!parseReal(value, &number))
                throw CommandError(name + ": " + shown(value) + " is not a number");
            try {
                c_.holdQuantity(name, number);
            } catch (const std::invalid_argument& e) {
                throw CommandError(name + ": " + e.what());
            }
            return name + " " + formatNumber(number) + " " + quantityUnit(name) + " held";
        }
        if (isAlarm(name)) {
            const bool active = onOff(name, value);
            c_.holdAlarm(name, active);
            return name + (active ? " on" : " off") + " held";
        }
        const int reg = registerFromName(name);
        if (reg >= 0) {
            unsigned long long number = 0;
            if (!parseUnsigned(value, &number) || number > 255)
                throw CommandError(name + ": " + shown(value) + " is not a register value 0..255");
            c_.holdRegister(reg, static_cast<uint8_t>(number));
            return name + " " + std::to_string(number) + " held";
        }
        throw CommandError("set: unknown name " + shown(name) +
                           " (a quantity, an alarm or reg0..reg64; try help)");
    }

    std::string release(const std::string& name)
    {
        if (name == "all") {
            c_.releaseAll();
            return "all values follow the timeline";
        }
        if (!c_.release(name))
            throw CommandError("release: unknown name " + shown(name) +
                               " (a quantity, an alarm, reg0..reg64 or all)");
        return name + " follows the timeline";
    }

    std::string fault(const std::string& kind, const std::string& value)
    {
        Faults f = c_.faults();
        if (kind == "delay-ms") {
            unsigned long long ms = 0;
            if (!parseUnsigned(value, &ms) || ms > kMaxDelayMs)
                throw CommandError("fault delay-ms: " + shown(value) +
                                   " is not a delay 0..600000 ms");
            f.delay_ms = static_cast<int>(ms);
        } else {
            double* const rates[] = {&f.drop, &f.split, &f.overlong, &f.garble, &f.delay};
            const char* const names[] = {"drop", "split", "overlong", "garble", "delay"};
            double* rate = nullptr;
            for (std::size_t i = 0; i < 5; ++i) {
                if (kind == names[i])
                    rate = rates[i];
            }
            if (!rate)
                throw CommandError("fault: unknown kind " + shown(kind) +
                                   " (drop split overlong garble delay delay-ms)");
            double p = 0;
            if (!parseReal(value, &p) || p < 0 || p > 1)
                throw CommandError("fault " + kind + ": " + shown(value) +
                                   " is not a probability 0..1");
            *rate = p;
        }
        c_.setFaults(f);
        return "faults: " + describeFaults(c_.faults());
    }

    Controller& c_;
    Clock::time_point now_;
};

Controller& addressed(const std::vector<Controller*>& controllers, const std::string& word)
{
    unsigned long long address = 0;
    if (!parseUnsigned(word.substr(1), &address) || address > 255)
        throw CommandError(shown(word) + " is not an address @0..@255");
    for (Controller* c : controllers) {
        if (c->address() == address)
            return *c;
    }
    std::string present;
    for (const Controller* c : controllers)
        present += (present.empty() ? "" : ", ") + std::to_string(c->address());
    throw CommandError("no controller at address " + std::to_string(address) +
                       " on this line (addresses " + present + ")");
}

}  // namespace

std::string runCommand(const std::vector<Controller*>& controllers, const std::string& command,
                       Clock::time_point now)
{
    try {
        std::vector<std::string> words = wordsOf(command);
        if (words.empty())
            throw CommandError("empty command (try help)");
        Controller* target = controllers.empty() ? nullptr : controllers.front();
        if (words[0][0] == '@') {
            target = &addressed(controllers, words[0]);
            words.erase(words.begin());
            if (words.empty())
                throw CommandError("a command must follow the address");
        }
        if (words[0] == "help" && words.size() == 1)
            return kHelp;
        if (!target)
            throw CommandError("no controller on this line");
        const std::vector<std::string> args(words.begin() + 1, words.end());
        return "ok @" + std::to_string(target->address()) + " " +
               Session(*target, now).run(words[0], args);
    } catch (const CommandError& e) {
        return std::string("error ") + e.what();
    }
}

}  // namespace kelsim
