#pragma once
// What the scan shows: a progress bar redrawn in place on a terminal, plain
// lines otherwise, or JSON Lines for scripts.

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "kel36-host/config/options.h"

namespace keltool {

struct FoundController {
    int address = 0;
    int baud = 0;
    int data = 0;         // register 0's value
    bool echoes = false;  // both replies named the register they answered
};

struct ScanTotals {
    int probed = 0;  // address and baud pairs
    int found = 0;
    int garbage = 0;       // pairs answered with something that is no reply
    int unconfirmed = 0;   // a reply, but no second one for the same address
    int echo_missing = 0;  // --echo-cancel: probes whose request did not come back
    int own_request = 0;   // probes that heard their own request back
    double seconds = 0;
};

class ScanOutput {
public:
    virtual ~ScanOutput() = default;
    virtual void started(const ScanOptions& options, int pairs) = 0;
    virtual void baudStarted(int baud, std::chrono::milliseconds reply_wait) = 0;
    // Before each address; `left` estimates the time the rest will take.
    virtual void probing(int address, int baud, int done, int pairs, int found,
                         std::chrono::seconds left) = 0;
    virtual void found(const FoundController& controller) = 0;
    virtual void finished(const ScanTotals& totals) = 0;
};

// JSON Lines with --json; the progress bar when `out` is a terminal; plain lines otherwise.
std::unique_ptr<ScanOutput> makeScanOutput(const ScanOptions& options, std::FILE* out,
                                           bool terminal);

}  // namespace keltool
