#pragma once
// Reconciles what the simulator injected with what the host saw, round by
// round. The simulator's fault decisions are reproducible from its seed and
// the sequence of requests, so the soak replays them here and checks that
// every round ended the way its replies' faults force it to end.

#include <cstdint>
#include <string>
#include <vector>

#include "faults.h"

namespace soak {

// The registers of one round, in the order the driver asks for them.
const std::vector<int>& roundRegisters();
constexpr int kRepliesPerRound = 63;

// Position of a register in a round (0..62), or -1 for 1, 51 and others.
int replyIndexOf(int reg);

// One reply's faults, as far as the outcome of a round depends on them.
struct ReplyFaults {
    bool dropped = false;
    bool garbled = false;
    bool overlong = false;
    // The four reply bytes end at a chunk boundary, so the extra bytes of an
    // over-long reply may reach the host in a later read than the reply.
    bool tail_separable = false;
    bool split = false;
    bool delayed = false;
};

ReplyFaults classify(const kelsim::ReplyPlan& plan);

enum class Outcome { Completed, NoReply, Refused };

struct RoundVerdict {
    bool consistent = true;
    bool must_stall = false;  // the faults leave the round no way to complete
    bool ambiguous = false;   // completing and stalling are both correct
    std::string why;          // when not consistent
};

// `replies` are the faults of the replies the simulator was asked for in this
// round, in order; the last one is the reply the round ended on.
//
// Drop: no reply, time-out. Garble: the driver refuses the reply. Over-long:
// refused when the extra bytes come with the reply; when they come in a later
// read they spoil the next reply (refused, or a time-out if that reply is
// dropped), or, after the round's last reply, nothing at all. A split reply
// and a delayed one (shorter than the time-out) complete normally.
RoundVerdict judgeRound(const std::vector<ReplyFaults>& replies, Outcome outcome);

struct FaultTotals {
    uint64_t requests = 0, dropped = 0, split = 0, overlong = 0, garbled = 0, delayed = 0;
    void add(const ReplyFaults& f);
};

// Replays the simulator's decisions for the rounds the host reports.
class FaultLedger {
public:
    FaultLedger(const kelsim::Faults& faults, const kelsim::Scenario& scenario);

    // One host round: completed, or stalled while awaiting `awaited_register`.
    RoundVerdict round(Outcome outcome, int awaited_register);

    const FaultTotals& totals() const { return totals_; }
    uint64_t rounds() const { return rounds_; }
    uint64_t stalls() const { return stalls_; }
    uint64_t mustStall() const { return must_stall_; }
    uint64_t ambiguous() const { return ambiguous_; }
    uint64_t ambiguousStalled() const { return ambiguous_stalled_; }

private:
    kelsim::FaultPlanner planner_;
    kelsim::Scenario scenario_;
    FaultTotals totals_;
    uint64_t rounds_ = 0, stalls_ = 0, must_stall_ = 0, ambiguous_ = 0, ambiguous_stalled_ = 0;
};

}  // namespace soak
