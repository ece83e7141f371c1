#include "faults.h"

namespace kelsim {
namespace {

// Printable, not hexadecimal, not the frame start: obviously wrong in a trace.
constexpr char kNonHex[] = "GHJKLMNPQRSTUVWXYZghjkz?#*";
constexpr char kHex[] = "0123456789ABCDEF";
constexpr int kMaxExtraBytes = 3;
constexpr int kMinGapMs = 2;
constexpr int kMaxGapMs = 15;

}  // namespace

std::string ReplyPlan::bytes() const {
    std::string all;
    for (const auto& chunk : chunks) all += chunk.bytes;
    return all;
}

FaultPlanner::FaultPlanner(const Faults& faults) : faults_(faults), random_(faults.seed) {}

double FaultPlanner::unit() {
    return static_cast<double>(random_() >> 11) * 0x1.0p-53;
}

uint64_t FaultPlanner::below(uint64_t bound) {
    return random_() % bound;  // bounds are tiny; the bias is negligible
}

bool FaultPlanner::chance(double probability) {
    return unit() < probability;
}

ReplyPlan FaultPlanner::plan(const std::array<char, kReplyLength>& reply) {
    ReplyPlan plan;
    // Every decision is drawn for every reply, so changing one rate does not
    // shift the others' sequence for the same seed.
    plan.dropped = chance(faults_.drop);
    plan.delayed = chance(faults_.delay);
    plan.garbled = chance(faults_.garble);
    plan.overlong = chance(faults_.overlong);
    plan.split = chance(faults_.split);
    if (plan.dropped) {
        plan.delayed = plan.garbled = plan.overlong = plan.split = false;
        return plan;
    }
    if (plan.delayed) plan.delay_ms = faults_.delay_ms;

    std::string bytes(reply.begin(), reply.end());
    if (plan.garbled) {
        // One or both characters of the data pair.
        const uint64_t which = 1 + below(3);
        for (int i = 0; i < 2; ++i) {
            if (which & (1u << i)) bytes[i] = kNonHex[below(sizeof kNonHex - 1)];
        }
    }
    if (plan.overlong) {
        const uint64_t extra = 1 + below(kMaxExtraBytes);
        for (uint64_t i = 0; i < extra; ++i) bytes += kHex[below(16)];
    }
    if (!plan.split) {
        plan.chunks.push_back({bytes, 0});
        return plan;
    }
    // Cut at each inner position with even odds, at least once.
    std::vector<std::size_t> cuts;
    for (std::size_t pos = 1; pos < bytes.size(); ++pos) {
        if (below(2)) cuts.push_back(pos);
    }
    if (cuts.empty()) cuts.push_back(1 + below(bytes.size() - 1));
    std::size_t start = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t end = i < cuts.size() ? cuts[i] : bytes.size();
        const int gap = i == 0 ? 0 : kMinGapMs + static_cast<int>(below(kMaxGapMs - kMinGapMs + 1));
        plan.chunks.push_back({bytes.substr(start, end - start), gap});
        start = end;
    }
    return plan;
}

}  // namespace kelsim
