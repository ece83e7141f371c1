#pragma once
// Reconciles what the simulator injected with what the host saw, round by
// round, on the paced line. The simulator's fault decisions are reproducible
// from its seed and the sequence of requests, and the host says how many
// requests each round made (63 when it completed, up to the awaited register
// when it stalled), so the soak replays every reply's faults exactly and
// checks each round against what they allow.
//
// Most rounds have exactly one right outcome. Where the outcome depends on
// timing that no seed fixes, the round is "ambiguous" and only bounded:
//   - an over-long reply whose extra digits reach the host in their own
//     read: they start the next reply (refused at once if the host reads them
//     with the reply's last byte);
//   - a late reply reaching a controller that the driver has not confirmed
//     as echoing: every reply after it answers the request before;
//   - a round after one that may have left bytes on their way ("unsettled"),
//     and every round that starts before a late reply no round was sure to
//     take is due (its request's round end plus the delay and a time-out).
// Assumes a reply time-out above 100 ms (split replies' pauses add up to
// 90 ms) and no pause between rounds.

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

// How late a delayed reply is, against the host's time-out T (the next round
// starts a quiet time-out after the stall, and awaits register 0 for another).
enum class Lateness {
    None,
    InTime,     // with every pause of a split reply still well within T
    Unclear,    // near T: may make it or not
    NextRound,  // between 2T and 3T (with margins): arrives while the next
                // round awaits register 0
    Stray,      // later than T otherwise: where it lands depends on timing
};

// One reply's faults, as far as the outcome of a round depends on them.
struct ReplyFaults {
    bool dropped = false;
    bool garbled = false;
    bool overlong = false;
    bool split = false;
    Lateness lateness = Lateness::None;
    int reg = -1;  // the register asked for
    // A split chunk carries the reply's fourth byte and extra digits at once.
    bool tail_bunched = false;
    std::string bytes;  // what was sent, all chunks
};

ReplyFaults classify(const kelsim::ReplyPlan& plan, int delay_ms, int timeout_ms);

enum class Outcome { Completed, NoReply, Refused };

// The stall of a round: at reply `index` (its register's position in the round).
struct RoundEnd {
    Outcome outcome = Outcome::Completed;
    int index = kRepliesPerRound - 1;
};

// Bytes the host may still receive from before a round starts.
enum class Carry {
    None,
    LateReply,  // a whole reply, while the round awaits register 0
    Unsettled,  // anything, at any time
};

struct RoundVerdict {
    bool consistent = true;
    bool exact = true;        // one outcome only (the must-stall counts need it)
    bool must_stall = false;  // exact and a stall
    // Ambiguous rounds: the earliest reply they may stall at, and whether
    // they may complete. A round that completes ambiguously may have been
    // built from replies for other registers.
    int earliest = 0;
    int latest = kRepliesPerRound - 1;
    bool may_complete = false;
    const char* cause = "";  // why ambiguous
    std::string why;         // when not consistent: what happened, what the faults allow, and
                             // the faults of this round and the one before
};

// The faults of the replies a round asked for, in order (the last one is the
// reply the round ended on), what came before, and whether the driver treats
// the controller as echoing: then a reply for another register stalls.
RoundVerdict judgeRound(const std::vector<ReplyFaults>& replies, Carry carry,
                        const ReplyFaults& late_reply, bool confirmed, const RoundEnd& end);

// Bytes 2-3 of what the driver takes as the reply after an over-long one:
// its extra digits, then the next reply's first bytes. True when they echo
// `next_reg` all the same, so a confirmed driver cannot tell.
bool misframedReplyEchoes(const ReplyFaults& overlong, const ReplyFaults& next);

struct FaultTotals {
    uint64_t requests = 0, dropped = 0, split = 0, overlong = 0, garbled = 0, delayed = 0;
    void add(const ReplyFaults& f);
};

struct LineSetup {
    kelsim::Faults faults;
    kelsim::ReplyEcho echo = kelsim::ReplyEcho::Register;
    int timeout_ms = 150;
};

// Replays the simulator's decisions for the rounds the host reports.
class FaultLedger {
public:
    FaultLedger(const LineSetup& setup, const kelsim::Scenario& scenario);

    // One host round: completed (`record_ok`: its record equals the
    // scenario's), or stalled while awaiting `awaited_register`; `ended_ms`
    // is when the host reported it (any clock in milliseconds).
    RoundVerdict round(Outcome outcome, int awaited_register, bool record_ok = true,
                       double ended_ms = 0);

    // The driver has seen a whole round of echoing replies: a correct record
    // from an echoing controller. From then on it stalls on a reply for
    // another register.
    bool confirmed() const { return confirmed_; }

    const FaultTotals& totals() const { return totals_; }
    uint64_t rounds() const { return rounds_; }
    uint64_t stalls() const { return stalls_; }
    uint64_t mustStall() const { return must_stall_; }
    uint64_t ambiguous() const { return ambiguous_; }
    uint64_t ambiguousStalled() const { return ambiguous_stalled_; }
    uint64_t lateReplies() const { return late_replies_; }  // reached a later round

private:
    LineSetup setup_;
    kelsim::FaultPlanner planner_;
    kelsim::Scenario scenario_;
    Carry carry_ = Carry::None;
    ReplyFaults late_reply_;
    std::string previous_;  // the faults of the round before, for messages
    double previous_end_ms_ = 0;
    double pending_until_ms_ = 0;  // a late reply not yet sure to have landed
    bool confirmed_ = false;
    FaultTotals totals_;
    uint64_t rounds_ = 0, stalls_ = 0, must_stall_ = 0, ambiguous_ = 0, ambiguous_stalled_ = 0;
    uint64_t late_replies_ = 0;
};

}  // namespace soak
