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

// What to send for one reply, and how.
struct ReplyPlan {
    bool dropped = false;
    bool delayed = false;
    bool garbled = false;
    bool overlong = false;
    bool split = false;
    int delay_ms = 0;  // before the first chunk
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

private:
    bool chance(double probability);

    Faults faults_;
    std::mt19937_64 random_;
};

}  // namespace kelsim
