#pragma once
// Public face of the controller simulator library (kel36sim). kel36-sim and
// kel36-host --simulate both use it. Written from the serial protocol only: it
// includes nothing of the driver.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/rs485.h"
#include "protocol.h"
#include "scenario.h"
#include "timeline/timeline.h"

namespace kelsim {

// Seeded, reproducible fault injection; rates are probabilities per reply.
struct Faults {
    uint64_t seed = 1;
    double drop = 0.0;      // send no reply
    double split = 0.0;     // send the reply in random chunks with small gaps
    double overlong = 0.0;  // append extra bytes to the reply
    double garble = 0.0;    // non-hex characters in the data pair
    double delay = 0.0;     // delay the reply by delay_ms
    int delay_ms = 0;
};

// The line's timing. Unpaced, requests are answered as soon as they are read
// and replies are written whole: fast, but a pseudo-terminal then shows none
// of a real line's timing. Paced, every character takes its time on the wire
// (10 bit times: start, 8 data, stop), a request is received only when its
// last character has crossed the line, the controller waits its turnaround,
// and the reply leaves one character at a time.
struct LineTiming {
    bool pace = false;
    int baud = 19200;       // also the serial device's speed for startOnPort
    int turnaround_ms = 2;  // paced only: end of a request to start of its reply
};

struct Stats {
    uint64_t requests = 0;       // well-formed requests seen (any address)
    uint64_t other_address = 0;  // of those, requests no controller here answers
    uint64_t malformed = 0;      // malformed requests ignored
    uint64_t replies = 0;        // replies sent
    uint64_t dropped = 0, split = 0, overlong = 0, garbled = 0, delayed = 0;
    uint64_t echoed = 0;  // bytes sent back by the local echo
};

// One controller on the line.
struct ControllerOptions {
    uint8_t address = 65;
    // The registers it answers with, over time; by default the built-in
    // scenario, holding still.
    Timeline timeline = Timeline(defaultScenario());
    ReplyEcho echo = ReplyEcho::Register;
    Faults faults;
};

// A reply that comes from elsewhere than a simulated controller (a replayed
// capture): its bytes in chunks, each after a gap reckoned from the end of
// the request's last character (the first chunk) or of the chunk before.
struct TimedReply {
    struct Chunk {
        std::string bytes;
        std::chrono::nanoseconds gap{0};
    };
    std::vector<Chunk> chunks;
};

class ReplySource {
public:
    virtual ~ReplySource() = default;
    // Called on the line's thread for every well-formed request; nothing: no reply.
    virtual std::optional<TimedReply> answer(const Request& request) = 0;
};

struct Options {
    // When set, it answers every request and the controllers below none.
    std::shared_ptr<ReplySource> replies;
    // One entry per address answered on the line (an RS-485 bus): at least
    // one, each address once. Requests for any other address go unanswered.
    std::vector<ControllerOptions> controllers = {ControllerOptions{}};
    LineTiming line;
    // A half-duplex adapter that hears its own transmission: every byte the
    // poller sends comes back to it (when its character has crossed the line,
    // paced), ahead of the reply.
    bool local_echo = false;
    // The kernel's RS-485 mode on the serial device (or the pseudo-terminal,
    // which refuses it).
    std::optional<kelcli::Rs485Settings> rs485;
};

// One controller as it stands: its counts, its place on the timeline and the
// register image a reply would read now.
struct ControllerReport {
    uint8_t address = 0;
    ReplyEcho echo = ReplyEcho::Register;
    Stats stats;  // requests for this address, its replies and faults
    Faults faults;
    std::size_t timeline_steps = 0;  // 0: the image holds still
    double period_s = 0;             // 0: the timeline plays once
    double elapsed_s = 0;            // time on the timeline; paused time does not count
    double position_s = 0;           // within the period (elapsed_s without one)
    bool paused = false;
    Scenario image;                 // held values included
    std::vector<std::string> held;  // names of the values live control holds
};

// A simulated controller line served on its own thread.
class Simulator {
public:
    virtual ~Simulator() = default;
    // Path of the line the simulator answers on (the pseudo-terminal's peer
    // side when started on a pseudo-terminal).
    virtual const std::string& devicePath() const = 0;
    // The whole line: every controller's counts added up.
    virtual Stats stats() const = 0;
    // Each controller, in the order of Options::controllers.
    virtual std::vector<ControllerReport> report() const = 0;
    // Runs one live-control command (see control/commands.h) and gives its
    // one-line answer, "ok ..." or "error ..."; safe from any thread.
    virtual std::string control(const std::string& command) = 0;
    virtual void stop() = 0;  // idempotent; also done by the destructor
    // Why the simulator stopped serving on its own (a serial device that went
    // away, say); empty as long as that has not happened.
    virtual std::string failure() const { return {}; }
};

// Options out of range (a rate outside 0..1, a negative delay or turnaround, a
// baud rate of 0 or less, or one a serial device cannot take, no controller or
// an address twice) throw std::runtime_error too; so does a port that refuses
// RS-485 mode.
// Starts on a new pseudo-terminal. Throws std::runtime_error on failure.
std::unique_ptr<Simulator> startOnPty(const Options& options);
// Starts on an existing serial device (19200 8N1 unless line.baud says otherwise).
std::unique_ptr<Simulator> startOnPort(const std::string& path, const Options& options);

}  // namespace kelsim
