#pragma once
// A Kel36 device made by the built kel36.so, loaded with dlopen as the host
// loads it, with no open port and an observer that does nothing: every host
// call the driver makes costs one virtual call and no I/O. Shared by the
// benchmarks and the instruction counter.

#include <array>
#include <memory>
#include <string>

#include <json/value.h>

#include "framework/zrn_spdevice.h"
#include "host/device_observer.h"
#include "host/plugin_loader.h"
#include "kel36-host/run/driver_output.h"

namespace kelbench {

constexpr unsigned kRepliesPerRound = 63;

// One round's replies in polling order, with the polling step each belongs to.
struct RoundScript {
    std::array<unsigned, kRepliesPerRound> steps;
    std::array<std::array<unsigned char, 4>, kRepliesPerRound> replies;
};

// Replies carrying a plausible running generator (400 V lines, 50.3 Hz ...),
// built from the protocol: hex pair of value XOR 0x9E, then two more digits.
const RoundScript& roundScript();

class BenchDevice {
public:
    BenchDevice();
    ~BenchDevice();
    BenchDevice(const BenchDevice&) = delete;
    BenchDevice& operator=(const BenchDevice&) = delete;

    ZRNSPDevice& device() { return *device_; }

    // RefreshStatus, then all 63 replies: the last one completes the round.
    // Returns the result of the last process call (0 on completion).
    int runRound();
    // One reply at a given polling step, as if the round had reached it.
    int replyAt(unsigned index);

    static Json::Value config(const std::string& addr);

private:
    kelhost::Plugin plugin_;
    kelhost::DeviceObserver null_observer_;
    std::shared_ptr<ZRNVDevice> owner_;
    ZRNSPDevice* device_ = nullptr;
};

// Sends std::cout's output into nothing while alive, as kel36-host does: the
// text is still formatted and flushed, only not written. Round completion
// prints one diagnostic line per round, which would otherwise measure the
// terminal.
class SilencedCout {
public:
    SilencedCout() : routed_(false) {}

private:
    keltool::DriverOutput routed_;
};

}  // namespace kelbench
