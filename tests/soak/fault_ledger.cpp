#include "fault_ledger.h"

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

ReplyFaults classify(const kelsim::ReplyPlan& plan)
{
    ReplyFaults f;
    f.dropped = plan.dropped;
    f.garbled = plan.garbled;
    f.overlong = plan.overlong;
    f.split = plan.split;
    f.delayed = plan.delayed;
    std::size_t sent = 0;
    for (const auto& chunk : plan.chunks) {
        sent += chunk.bytes.size();
        if (sent == kelsim::kReplyLength && &chunk != &plan.chunks.back())
            f.tail_separable = true;
    }
    return f;
}

namespace {

bool stopsRound(const ReplyFaults& f) { return f.dropped || f.garbled || f.overlong; }

// An over-long reply whose reply bytes may be taken on their own.
bool tailMayFollow(const ReplyFaults& f)
{
    return f.overlong && f.tail_separable && !f.garbled && !f.dropped;
}

// Keeps what the faults say (must stall, ambiguous), so the counts stay right.
RoundVerdict inconsistent(RoundVerdict v, std::string why)
{
    v.consistent = false;
    v.why = std::move(why);
    return v;
}

Outcome endingOf(const ReplyFaults& f) { return f.dropped ? Outcome::NoReply : Outcome::Refused; }

const char* nameOf(Outcome o)
{
    return o == Outcome::Completed ? "completed" : o == Outcome::NoReply ? "no reply" : "refused";
}

}  // namespace

RoundVerdict judgeRound(const std::vector<ReplyFaults>& replies, Outcome outcome)
{
    const int n = static_cast<int>(replies.size());
    const int last = kRepliesPerRound - 1;
    int first = -1;
    for (int i = 0; i < n && first < 0; ++i)
        if (stopsRound(replies[i]))
            first = i;

    RoundVerdict v;
    if (first >= 0) {
        v.ambiguous = first == last && tailMayFollow(replies[first]);
        v.must_stall = !v.ambiguous;
    }
    if (outcome == Outcome::Completed) {
        if (n != kRepliesPerRound)
            return inconsistent(v, "completed after " + std::to_string(n) + " replies");
        if (first >= 0 && !v.ambiguous)
            return inconsistent(v, "completed although reply " + std::to_string(first) +
                                " was dropped, garbled or over-long");
        return v;
    }
    if (first < 0)
        return inconsistent(v, "stalled (" + std::string(nameOf(outcome)) + ") after " +
                            std::to_string(n) + " replies without a fault");
    const bool at_fault = n == first + 1;
    const bool after_tail = n == first + 2 && tailMayFollow(replies[first]);
    if (!at_fault && !after_tail)
        return inconsistent(v, "stalled after " + std::to_string(n) + " replies, fault at reply " +
                            std::to_string(first));
    const Outcome want = at_fault ? endingOf(replies[first]) : endingOf(replies[first + 1]);
    if (outcome != want)
        return inconsistent(v, std::string("stall reason ") + nameOf(outcome) + ", expected " +
                            nameOf(want));
    return v;
}

void FaultTotals::add(const ReplyFaults& f)
{
    ++requests;
    dropped += f.dropped;
    split += f.split;
    overlong += f.overlong;
    garbled += f.garbled;
    delayed += f.delayed;
}

FaultLedger::FaultLedger(const kelsim::Faults& faults, const kelsim::Scenario& scenario)
    : planner_(faults), scenario_(scenario)
{
}

RoundVerdict FaultLedger::round(Outcome outcome, int awaited_register)
{
    int replies = kRepliesPerRound;
    if (outcome != Outcome::Completed) {
        const int index = replyIndexOf(awaited_register);
        if (index < 0)
            return inconsistent(RoundVerdict{}, "stall while awaiting register " +
                                std::to_string(awaited_register));
        replies = index + 1;
    }
    std::vector<ReplyFaults> faults;
    faults.reserve(static_cast<std::size_t>(replies));
    for (int i = 0; i < replies; ++i) {
        const auto reg = static_cast<uint8_t>(roundRegisters()[static_cast<std::size_t>(i)]);
        const ReplyFaults f =
            classify(planner_.plan(kelsim::encodeReply(scenario_.registers[reg], reg)));
        totals_.add(f);
        faults.push_back(f);
    }
    const RoundVerdict v = judgeRound(faults, outcome);
    ++rounds_;
    const bool stalled = outcome != Outcome::Completed;
    stalls_ += stalled;
    must_stall_ += v.must_stall;
    ambiguous_ += v.ambiguous;
    ambiguous_stalled_ += v.ambiguous && stalled;
    return v;
}

}  // namespace soak
