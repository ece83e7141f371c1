#pragma once
// A capture turned into what the controller did, exchange by exchange, for
// one device: each request the poller sent (round, register) and the reply
// bytes that came back before the next request, with their timing taken
// from the capturing host's monotonic clock.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture_file.h"

namespace kelsim {

struct ReplayChunk {
    std::string bytes;
    // From the end of the request's last character (first chunk) or of the
    // chunk before to this chunk's first character on the wire.
    std::chrono::nanoseconds gap{0};
};

struct ReplayExchange {
    uint32_t round = 0;  // counted from 1 by the requests for register 0
    int reg = 0;
    std::vector<ReplayChunk> reply;  // empty: the controller did not answer
};

struct ReplayScript {
    std::string device;  // "NAME (address N)" for messages
    int address = 0;
    uint64_t baud = 0;  // the captured line's, 0 when the capture does not say
    std::vector<ReplayExchange> exchanges;
};

// The device `which` (its name, or its address in decimal) of the capture's
// first interface that has it; empty `which`: the only device in the capture.
// Throws CaptureError when there is no such device, when `which` is empty
// and the capture has several, or when the capture has no request for it.
ReplayScript buildReplayScript(const CaptureFile& capture, const std::string& which);

}  // namespace kelsim
