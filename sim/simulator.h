#pragma once
// Public face of the controller simulator library (kel36sim). kel36-sim and
// kel36-host --simulate both use it. Written from the serial protocol only: it
// includes nothing of the driver.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kelsim {

// Register values the simulated controller answers with (registers 0..64).
struct Scenario {
    uint8_t registers[65] = {};
};

// Builds a scenario from a JSON scenario file's text: named quantities and/or
// raw registers. Throws std::runtime_error with a one-line reason.
Scenario parseScenario(const std::string& json_text, const std::string& source_name);
Scenario loadScenarioFile(const std::string& path);
Scenario defaultScenario();

// Seeded, reproducible fault injection; rates are probabilities per reply.
struct Faults {
    uint64_t seed = 1;
    double drop = 0.0;        // send no reply
    double split = 0.0;       // send the reply in random chunks with small gaps
    double overlong = 0.0;    // append extra bytes to the reply
    double garble = 0.0;      // non-hex characters in the data pair
    double delay = 0.0;       // delay the reply by delay_ms
    int delay_ms = 0;
    bool pace = false;        // pace output at the line's baud rate
    int baud = 19200;
};

struct Stats {
    uint64_t requests = 0;     // well-formed requests seen (any address)
    uint64_t other_address = 0;  // of those, requests for another address (not answered)
    uint64_t malformed = 0;    // malformed requests ignored
    uint64_t replies = 0;      // replies sent
    uint64_t dropped = 0, split = 0, overlong = 0, garbled = 0, delayed = 0;
};

// A further controller on the same line (an RS-485 bus), answering its own
// address with its own registers.
struct LinePeer {
    uint8_t address = 65;
    Scenario scenario = defaultScenario();
};

struct Options {
    uint8_t address = 65;
    Scenario scenario = defaultScenario();
    Faults faults;
    std::vector<LinePeer> peers;  // requests for other addresses stay unanswered
};

// A simulated controller serving one line on its own thread.
class Simulator {
public:
    virtual ~Simulator() = default;
    // Path of the line the simulator answers on (the pseudo-terminal's peer
    // side when started on a pseudo-terminal).
    virtual const std::string& devicePath() const = 0;
    virtual Stats stats() const = 0;
    // Changes the answered registers (of the first controller on the line)
    // while running (tests, live scenarios).
    virtual void setScenario(const Scenario& scenario) = 0;
    virtual void stop() = 0;  // idempotent; also done by the destructor
    // Why the simulator stopped serving on its own (a serial device that went
    // away, say); empty as long as that has not happened.
    virtual std::string failure() const { return {}; }
};

// Options out of range (a rate outside 0..1, a negative delay, a baud rate of
// 0 or less, or one a serial device cannot take) throw std::runtime_error too.
// Starts on a new pseudo-terminal. Throws std::runtime_error on failure.
std::unique_ptr<Simulator> startOnPty(const Options& options);
// Starts on an existing serial device (19200 8N1 unless faults.baud says otherwise).
std::unique_ptr<Simulator> startOnPort(const std::string& path, const Options& options);

}  // namespace kelsim
