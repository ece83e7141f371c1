#include "faults.h"

namespace kelsim {
namespace {

// Printable, not hexadecimal, not the frame start: obviously wrong in a trace.
constexpr char kNonHex[] = "GHJKLMNPQRSTUVWXYZghjkz?#*";
constexpr char kHex[] = "0123456789ABCDEF";
constexpr int kMaxExtraBytes = 3;
constexpr int kMinGapMs = 2;
constexpr int kMaxGapMs = 15;

double unitFrom(uint64_t bits)
{
    return static_cast<double>(bits >> 11) * 0x1.0p-53;
}

// Details of one reply's faults (which characters, where to cut), drawn from a
// generator seeded once per reply so their number does not matter.
class DetailRandom {
public:
    explicit DetailRandom(uint64_t seed) : state_(seed) {}
    // SplitMix64: small, fast, and the same everywhere.
    uint64_t next()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    uint64_t below(uint64_t bound) { return next() % bound; }  // tiny bounds: bias negligible

private:
    uint64_t state_;
};

}  // namespace

std::string faultsProblem(const Faults& f)
{
    const double rates[] = {f.drop, f.split, f.overlong, f.garble, f.delay};
    for (double rate : rates) {
        if (!(rate >= 0.0 && rate <= 1.0))
            return "fault rate must be within 0..1";
    }
    if (f.delay_ms < 0)
        return "reply delay must not be negative";
    return {};
}

std::string ReplyPlan::bytes() const
{
    std::string all;
    for (const auto& chunk : chunks)
        all += chunk.bytes;
    return all;
}

FaultPlanner::FaultPlanner(const Faults& faults) : faults_(faults), random_(faults.seed) {}

bool FaultPlanner::chance(double probability)
{
    return unitFrom(random_()) < probability;
}

void FaultPlanner::setRates(const Faults& faults)
{
    const uint64_t seed = faults_.seed;
    faults_ = faults;
    faults_.seed = seed;
}

ReplyPlan FaultPlanner::plan(const std::array<char, kReplyLength>& reply)
{
    ReplyPlan p = decide();
    shape(p, reply);
    return p;
}

ReplyPlan FaultPlanner::decide()
{
    ReplyPlan plan;
    plan.dropped = chance(faults_.drop);
    plan.delayed = chance(faults_.delay);
    plan.garbled = chance(faults_.garble);
    plan.overlong = chance(faults_.overlong);
    plan.split = chance(faults_.split);
    plan.detail_seed = random_();
    if (plan.dropped) {
        plan.delayed = plan.garbled = plan.overlong = plan.split = false;
        return plan;
    }
    if (plan.delayed)
        plan.delay_ms = faults_.delay_ms;
    return plan;
}

void FaultPlanner::shape(ReplyPlan& plan, const std::array<char, kReplyLength>& reply)
{
    plan.chunks.clear();
    if (plan.dropped)
        return;
    DetailRandom detail(plan.detail_seed);
    std::string bytes(reply.begin(), reply.end());
    if (plan.garbled) {
        // One or both characters of the data pair.
        const uint64_t which = 1 + detail.below(3);
        for (int i = 0; i < 2; ++i) {
            if (which & (1u << i))
                bytes[i] = kNonHex[detail.below(sizeof kNonHex - 1)];
        }
    }
    if (plan.overlong) {
        const uint64_t extra = 1 + detail.below(kMaxExtraBytes);
        for (uint64_t i = 0; i < extra; ++i)
            bytes += kHex[detail.below(16)];
    }
    if (!plan.split) {
        plan.chunks.push_back({bytes, 0});
        return;
    }
    // Cut at each inner position with even odds, at least once.
    std::vector<std::size_t> cuts;
    for (std::size_t pos = 1; pos < bytes.size(); ++pos) {
        if (detail.below(2))
            cuts.push_back(pos);
    }
    if (cuts.empty())
        cuts.push_back(1 + detail.below(bytes.size() - 1));
    std::size_t start = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t end = i < cuts.size() ? cuts[i] : bytes.size();
        const int gap =
            i == 0 ? 0 : kMinGapMs + static_cast<int>(detail.below(kMaxGapMs - kMinGapMs + 1));
        plan.chunks.push_back({bytes.substr(start, end - start), gap});
        start = end;
    }
}

}  // namespace kelsim
