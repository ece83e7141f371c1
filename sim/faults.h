#pragma once
// Seeded fault injection: decides, reply by reply, what goes wrong on the line.
// The same seed and rates give the same sequence of decisions on any platform:
// only the raw output of std::mt19937_64 (fixed by the C++ standard) is used,
// never the library-specific standard distributions. Each reply takes the same
// number of draws from it whatever happens to the reply, so changing one fault
// rate leaves the other kinds' decisions for a seed where they were.

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "protocol.h"
#include "simulator.h"

namespace kelsim {

// Why these rates cannot be used ("fault rate must be within 0..1"); empty
// when they can.
std::string faultsProblem(const Faults& faults);

// What to send for one reply, and how.
struct ReplyPlan {
    bool dropped = false;
    bool delayed = false;
    bool garbled = false;
    bool overlong = false;
    bool split = false;
    int delay_ms = 0;          // before the first chunk
    uint64_t detail_seed = 0;  // which characters, where to cut
    struct Chunk {
        std::string bytes;
        int gap_ms = 0;  // pause before this chunk
    };
    std::vector<Chunk> chunks;  // empty when dropped

    std::string bytes() const;  // all chunks joined
};

class FaultPlanner {
public:
    explicit FaultPlanner(const Faults& faults);

    ReplyPlan plan(const std::array<char, kReplyLength>& reply);

    // plan() in two halves, so the reply's value can be read when it is sent
    // (after a delay): decide() draws which faults hit the next reply,
    // shape() cuts and spoils its bytes as decided. Together they give the
    // same plans as plan().
    ReplyPlan decide();
    static void shape(ReplyPlan& plan, const std::array<char, kReplyLength>& reply);

    // New rates and delay; the seed and the sequence drawn so far stay.
    void setRates(const Faults& faults);
    const Faults& faults() const { return faults_; }

private:
    bool chance(double probability);

    Faults faults_;
    std::mt19937_64 random_;
};

}  // namespace kelsim
