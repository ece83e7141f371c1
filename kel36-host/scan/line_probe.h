#pragma once
// One request and what came back for it, on an open line: the scan's only
// exchange with the controllers.

#include <chrono>
#include <string>

#include "kel36-host/line/echo_canceller.h"
#include "kel36-host/output/protocol_view.h"

namespace keltool {

struct ProbeTiming {
    std::chrono::milliseconds reply_wait{56};  // from the request written to the first byte
    std::chrono::milliseconds tail_wait{7};    // after the fourth byte: nothing more may come
};

// The request and reply on the wire at `baud` (10 bits a character) plus a
// turnaround margin for the controller; and the quiet wanted after a reply.
ProbeTiming probeTimingFor(int baud);

struct ProbeResult {
    enum class Kind { Silent, Reply, Garbage } kind = Kind::Silent;
    DecodedReply reply;         // Kind::Reply
    bool echo_missing = false;  // with an echo canceller: the request's echo did not come whole
    bool own_request = false;   // without one: the request itself came back first
};

// Flushes the line's input, sends `frame` and collects what arrives. A reply
// is exactly four hex digits followed by silence; anything else that
// arrives is garbage (also an over-long reply, or a short one). Throws
// ToolError when the line cannot be written or read.
ProbeResult probeLine(int fd, const std::string& port, const Frame& frame,
                      const ProbeTiming& timing, EchoCanceller* echo);

}  // namespace keltool
