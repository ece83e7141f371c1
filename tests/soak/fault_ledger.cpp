#include "fault_ledger.h"

#include <algorithm>

#include "protocol.h"

namespace soak {

const std::vector<int>& roundRegisters()
{
    static const std::vector<int> regs = [] {
        std::vector<int> out;
        for (int reg = 0; reg <= 64; ++reg)
            if (reg != 1 && reg != 51)
                out.push_back(reg);
        return out;
    }();
    return regs;
}

int replyIndexOf(int reg)
{
    const auto& regs = roundRegisters();
    for (std::size_t i = 0; i < regs.size(); ++i)
        if (regs[i] == reg)
            return static_cast<int>(i);
    return -1;
}

namespace {

// Margins around the host's own timers: scheduling on a loaded machine, the
// time on the wire, and every pause a split reply may hold (up to 90 ms).
constexpr int kTimerMarginMs = 60;
constexpr int kSplitPausesMs = 100;

Lateness latenessOf(int delay_ms, int timeout_ms)
{
    if (delay_ms + kSplitPausesMs + kTimerMarginMs / 2 < timeout_ms)
        return Lateness::InTime;
    if (delay_ms < timeout_ms + kTimerMarginMs)
        return Lateness::Unclear;
    if (delay_ms > 2 * timeout_ms + kTimerMarginMs && delay_ms < 3 * timeout_ms - kTimerMarginMs)
        return Lateness::NextRound;
    return Lateness::Stray;
}

bool stopsRound(const ReplyFaults& f)
{
    return f.dropped || f.garbled || f.overlong ||
           (f.lateness != Lateness::None && f.lateness != Lateness::InTime);
}

bool lateBeyondRound(const ReplyFaults& f)
{
    return f.lateness == Lateness::Unclear || f.lateness == Lateness::NextRound ||
           f.lateness == Lateness::Stray;
}

// After one late reply, every reply answers the request before, so a reply
// the controller holds back past the time-out stalls the round unless it is
// the last one asked for. While replies still arrive whole, a garbled one
// stalls it too.
bool mustStallSomehow(const std::vector<ReplyFaults>& replies, bool whole_replies)
{
    const std::size_t before_last = std::min<std::size_t>(replies.size(), kRepliesPerRound - 1);
    for (std::size_t i = 0; i < before_last; ++i) {
        const ReplyFaults& f = replies[i];
        if (f.dropped)
            continue;
        if (f.lateness == Lateness::NextRound || f.lateness == Lateness::Stray)
            return true;
        if (f.garbled && whole_replies)
            return true;
        whole_replies = whole_replies && !f.overlong;
    }
    return false;
}

RoundVerdict exactly(Outcome outcome, int index)
{
    RoundVerdict v;
    v.must_stall = outcome != Outcome::Completed;
    v.earliest = v.latest = index;
    v.may_complete = outcome == Outcome::Completed;
    return v;
}

RoundVerdict ambiguously(const char* cause, int earliest, int latest, bool may_complete)
{
    RoundVerdict v;
    v.exact = false;
    v.earliest = earliest;
    v.latest = latest;
    v.may_complete = may_complete;
    v.cause = cause;
    return v;
}

// What the faults allow, before looking at what happened.
RoundVerdict allowed(const std::vector<ReplyFaults>& replies, Carry carry,
                     const ReplyFaults& late_reply, bool confirmed, Outcome* exact_outcome)
{
    const int last = kRepliesPerRound - 1;
    *exact_outcome = Outcome::Completed;
    // Replies may be queued several deep at the controller then: the round
    // may end before any reply of its own is needed.
    if (carry == Carry::Unsettled)
        return ambiguously("a round that may have left bytes on the line", 0, last, true);
    if (carry == Carry::LateReply) {
        // It comes before the controller can answer this round's first request.
        if (late_reply.garbled || late_reply.tail_bunched || (confirmed && late_reply.reg != 0)) {
            *exact_outcome = Outcome::Refused;
            return exactly(Outcome::Refused, 0);
        }
        return ambiguously("a late reply", 0, last,
                           !mustStallSomehow(replies, !late_reply.overlong));
    }
    const int n = static_cast<int>(replies.size());
    int f = 0;
    while (f < n && !stopsRound(replies[static_cast<std::size_t>(f)]))
        ++f;
    if (f == n)
        return exactly(Outcome::Completed, last);
    const ReplyFaults& r = replies[static_cast<std::size_t>(f)];
    if (r.dropped || r.lateness == Lateness::NextRound || r.lateness == Lateness::Stray) {
        *exact_outcome = Outcome::NoReply;
        return exactly(Outcome::NoReply, f);
    }
    if (r.lateness == Lateness::Unclear)
        return ambiguously("a reply late by about the time-out", f, last, true);
    if (r.garbled || r.tail_bunched) {
        *exact_outcome = Outcome::Refused;
        return exactly(Outcome::Refused, f);
    }
    // Over-long, extra digits in reads of their own unless the host is slow
    // to read the reply's last byte (then refused at once).
    if (f == last)
        return ambiguously("an over-long last reply", f, last, true);
    if (confirmed &&
        (f + 1 >= n || !misframedReplyEchoes(r, replies[static_cast<std::size_t>(f + 1)])))
        return ambiguously("an over-long reply", f, f + 1, false);
    return ambiguously("an over-long reply", f, last, true);
}

// "late@13 dropped@20", what a failure message needs to be followed up.
std::string faultsOf(const std::vector<ReplyFaults>& replies, Carry carry)
{
    std::string text = carry == Carry::None        ? "clean start"
                       : carry == Carry::LateReply ? "a late reply waiting"
                                                   : "unsettled start";
    for (std::size_t i = 0; i < replies.size(); ++i) {
        const ReplyFaults& f = replies[i];
        const auto mark = [&](bool on, const char* name) {
            if (on)
                text += std::string(" ") + name + "@" + std::to_string(i);
        };
        mark(f.dropped, "dropped");
        mark(f.garbled, "garbled");
        mark(f.overlong, f.tail_bunched ? "overlong-bunched" : "overlong");
        mark(f.split, "split");
        mark(f.lateness == Lateness::InTime, "delayed");
        mark(f.lateness == Lateness::Unclear || f.lateness == Lateness::Stray, "late-unclear");
        mark(f.lateness == Lateness::NextRound, "late");
    }
    return text;
}

const char* nameOf(Outcome o)
{
    return o == Outcome::Completed ? "completed" : o == Outcome::NoReply ? "no reply" : "refused";
}

}  // namespace

ReplyFaults classify(const kelsim::ReplyPlan& plan, int delay_ms, int timeout_ms)
{
    ReplyFaults f;
    f.dropped = plan.dropped;
    f.garbled = plan.garbled;
    f.overlong = plan.overlong;
    f.split = plan.split;
    if (plan.delayed)
        f.lateness = latenessOf(delay_ms, timeout_ms);
    std::size_t sent = 0;
    for (const auto& chunk : plan.chunks) {
        if (plan.split && sent < kelsim::kReplyLength &&
            sent + chunk.bytes.size() > kelsim::kReplyLength)
            f.tail_bunched = true;
        sent += chunk.bytes.size();
    }
    f.bytes = plan.bytes();
    return f;
}

bool misframedReplyEchoes(const ReplyFaults& overlong, const ReplyFaults& next)
{
    if (next.dropped || overlong.bytes.size() <= kelsim::kReplyLength)
        return false;
    std::string taken = overlong.bytes.substr(kelsim::kReplyLength) + next.bytes;
    if (taken.size() < kelsim::kReplyLength)
        return false;
    const int hi = kelsim::hexDigitValue(taken[2], false);
    const int lo = kelsim::hexDigitValue(taken[3], false);
    return hi >= 0 && lo >= 0 && (hi * 16 + lo) == (next.reg ^ kelsim::kXorMask);
}

RoundVerdict judgeRound(const std::vector<ReplyFaults>& replies, Carry carry,
                        const ReplyFaults& late_reply, bool confirmed, const RoundEnd& end)
{
    Outcome want = Outcome::Completed;
    RoundVerdict v = allowed(replies, carry, late_reply, confirmed, &want);
    const bool completed = end.outcome == Outcome::Completed;
    const auto fail = [&](std::string why) {
        v.consistent = false;
        v.why = std::move(why);
        return v;
    };
    if (completed && static_cast<int>(replies.size()) != kRepliesPerRound)
        return fail("completed after " + std::to_string(replies.size()) + " replies");
    if (v.exact) {
        if (end.outcome != want)
            return fail(std::string(nameOf(end.outcome)) + " at reply " +
                        std::to_string(end.index) + ", the faults say " + nameOf(want) +
                        (v.must_stall ? " at reply " + std::to_string(v.earliest) : ""));
        if (v.must_stall && end.index != v.earliest)
            return fail(std::string(nameOf(end.outcome)) + " at reply " +
                        std::to_string(end.index) + ", the faults say at reply " +
                        std::to_string(v.earliest));
        return v;
    }
    if (completed && !v.may_complete)
        return fail(std::string("completed after ") + v.cause + " at reply " +
                    std::to_string(v.earliest) + " that must stall it by reply " +
                    std::to_string(v.latest));
    if (!completed && (end.index < v.earliest || end.index > v.latest))
        return fail(std::string(nameOf(end.outcome)) + " at reply " + std::to_string(end.index) +
                    ", outside replies " + std::to_string(v.earliest) + ".." +
                    std::to_string(v.latest) + " allowed after " + v.cause);
    return v;
}

void FaultTotals::add(const ReplyFaults& f)
{
    ++requests;
    dropped += f.dropped;
    split += f.split;
    overlong += f.overlong;
    garbled += f.garbled;
    delayed += f.lateness != Lateness::None;
}

FaultLedger::FaultLedger(const LineSetup& setup, const kelsim::Scenario& scenario)
    : setup_(setup), planner_(setup.faults), scenario_(scenario)
{
}

RoundVerdict FaultLedger::round(Outcome outcome, int awaited_register, bool record_ok,
                                double ended_ms)
{
    // A late reply that no round was sure to take may land in any round that
    // starts before it is due (each round starts after the one before ended).
    if (previous_end_ms_ < pending_until_ms_)
        carry_ = Carry::Unsettled;
    previous_end_ms_ = ended_ms;
    RoundEnd end{outcome, kRepliesPerRound - 1};
    if (outcome != Outcome::Completed) {
        end.index = replyIndexOf(awaited_register);
        if (end.index < 0) {
            RoundVerdict v;
            v.consistent = false;
            v.why = "stall while awaiting register " + std::to_string(awaited_register);
            return v;
        }
    }
    std::vector<ReplyFaults> replies;
    replies.reserve(static_cast<std::size_t>(end.index + 1));
    for (int i = 0; i <= end.index; ++i) {
        const auto reg = static_cast<uint8_t>(roundRegisters()[static_cast<std::size_t>(i)]);
        ReplyFaults f =
            classify(planner_.plan(kelsim::encodeReply(scenario_.registers[reg], reg, setup_.echo)),
                     setup_.faults.delay_ms, setup_.timeout_ms);
        f.reg = reg;
        totals_.add(f);
        replies.push_back(std::move(f));
    }
    RoundVerdict v = judgeRound(replies, carry_, late_reply_, confirmed_, end);
    const std::string faults = faultsOf(replies, carry_);
    if (!v.consistent)
        v.why += " [this round: " + faults + "; the round before: " + previous_ + "]";
    previous_ = faults;
    ++rounds_;
    const bool stalled = outcome != Outcome::Completed;
    stalls_ += stalled;
    must_stall_ += v.must_stall;
    ambiguous_ += !v.exact;
    ambiguous_stalled_ += !v.exact && stalled;
    late_replies_ += carry_ == Carry::LateReply;

    if (setup_.echo == kelsim::ReplyEcho::Register && !stalled && record_ok)
        confirmed_ = true;
    // What this round leaves for the next one. The host's quiet wait after a
    // stall outlasts the tail of a refused reply and an answer to a request
    // still queued at the controller; only late replies outlast it.
    const bool carried_exactly = v.exact && v.must_stall && outcome == Outcome::NoReply &&
                                 replies.back().lateness == Lateness::NextRound;
    const bool other_late =
        std::any_of(replies.begin(), replies.end() - (carried_exactly ? 1 : 0), lateBeyondRound);
    if (other_late)
        pending_until_ms_ =
            std::max(pending_until_ms_, ended_ms + setup_.faults.delay_ms + setup_.timeout_ms);
    if (carried_exactly) {
        carry_ = Carry::LateReply;
        late_reply_ = replies.back();
    } else if (other_late || (!stalled && !v.exact)) {
        carry_ = Carry::Unsettled;
    } else {
        carry_ = Carry::None;
    }
    return v;
}

}  // namespace soak
