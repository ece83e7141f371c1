#include "kel36-host/scan/scan_command.h"

#include <chrono>
#include <memory>

#include "kel36-host/scan/line_probe.h"
#include "kel36-host/scan/scan_output.h"
#include "kel36-host/line/serial_line.h"
#include "kel36-host/tool_error.h"

namespace keltool {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitFound = 0;
constexpr int kExitNothingFound = 1;

// The second request that confirms an address. Replies carry no address: a
// reply that comes in a probe's window may be a late one to the probe
// before. Only a controller that answers both requests counts, and a second
// register shows whether its replies really name the register they answer.
constexpr uint8_t kConfirmRegister = 2;
constexpr int kAttempts = 2;

class Scanner {
public:
    Scanner(const ScanOptions& options, ScanOutput& output) : options_(options), output_(output) {}

    void probeAddress(int fd, int address, int baud, const ProbeTiming& timing)
    {
        const auto addr = static_cast<uint8_t>(address);
        // An address that answers anything is asked twice: garbage may be a
        // late reply colliding with this one, and a missed second reply a
        // moment's delay. Silence the first time means nobody is there.
        ProbeResult::Kind failure = ProbeResult::Kind::Silent;
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            const ProbeResult first = probe(fd, requestFrame(addr, 0), timing);
            if (first.kind == ProbeResult::Kind::Silent && attempt == 0)
                return;
            if (first.kind != ProbeResult::Kind::Reply) {
                failure = first.kind;
                continue;
            }
            const ProbeResult second = probe(fd, requestFrame(addr, kConfirmRegister), timing);
            if (second.kind == ProbeResult::Kind::Reply) {
                found(address, baud, first.reply, second.reply);
                return;
            }
            failure = ProbeResult::Kind::Silent;  // a reply not repeated
        }
        ++(failure == ProbeResult::Kind::Garbage ? totals_.garbage : totals_.unconfirmed);
    }

    ScanTotals& totals() { return totals_; }

private:
    void found(int address, int baud, const DecodedReply& first, const DecodedReply& second)
    {
        FoundController controller;
        controller.address = address;
        controller.baud = baud;
        controller.data = first.data;
        controller.echoes = replyEchoes(first, 0) && replyEchoes(second, kConfirmRegister);
        ++totals_.found;
        output_.found(controller);
    }

    ProbeResult probe(int fd, const Frame& frame, const ProbeTiming& timing)
    {
        const ProbeResult result =
            probeLine(fd, options_.port, frame, timing, options_.echo_cancel ? &echo_ : nullptr);
        totals_.echo_missing += result.echo_missing ? 1 : 0;
        totals_.own_request += result.own_request ? 1 : 0;
        return result;
    }

    const ScanOptions& options_;
    ScanOutput& output_;
    EchoCanceller echo_;
    ScanTotals totals_;
};

// Closed however the scan ends.
class ScanLine {
public:
    ScanLine(const ScanOptions& options, int baud)
    {
        LineOptions settings;
        settings.baud = baud;
        settings.rs485 = options.rs485;
        // Short garbage and an adapter's echo are to be seen, not only whole replies.
        settings.wake_per_byte = true;
        std::string error;
        if (!openLine(options.port, settings, &line_, &error))
            throw ToolError("scan: " + error);
    }
    ~ScanLine() { closeLine(&line_); }
    ScanLine(const ScanLine&) = delete;
    ScanLine& operator=(const ScanLine&) = delete;
    int fd() const { return line_.fd; }

private:
    OpenedLine line_;
};

}  // namespace

int runScan(const ScanOptions& options, std::FILE* out, bool terminal)
{
    const int per_baud = options.last_address - options.first_address + 1;
    const int pairs = per_baud * static_cast<int>(options.bauds.size());
    // A line that cannot be used is reported before anything is printed.
    auto line = std::make_unique<ScanLine>(options, options.bauds.front());
    const std::unique_ptr<ScanOutput> output = makeScanOutput(options, out, terminal);
    Scanner scanner(options, *output);
    const Clock::time_point began = Clock::now();
    output->started(options, pairs);
    int done = 0;
    for (std::size_t b = 0; b < options.bauds.size(); ++b) {
        const int baud = options.bauds[b];
        if (b > 0) {
            line.reset();
            line = std::make_unique<ScanLine>(options, baud);
        }
        ProbeTiming timing = probeTimingFor(baud);
        if (options.timeout_ms)
            timing.reply_wait = std::chrono::milliseconds(*options.timeout_ms);
        output->baudStarted(baud, timing.reply_wait);
        for (int address = options.first_address; address <= options.last_address; ++address) {
            const auto elapsed = Clock::now() - began;
            const auto left = done > 0 ? elapsed * (pairs - done) / done
                                       : Clock::duration(timing.reply_wait * pairs);
            output->probing(address, baud, done, pairs, scanner.totals().found,
                            std::chrono::duration_cast<std::chrono::seconds>(left));
            scanner.probeAddress(line->fd(), address, baud, timing);
            ++done;
        }
    }
    ScanTotals& totals = scanner.totals();
    totals.probed = done;
    totals.seconds = std::chrono::duration<double>(Clock::now() - began).count();
    output->finished(totals);
    return totals.found > 0 ? kExitFound : kExitNothingFound;
}

}  // namespace keltool
