#include "replay_player.h"

#include "protocol.h"

namespace kelsim {
namespace {

std::string joined(const std::vector<ReplayChunk>& chunks)
{
    std::string bytes;
    for (const ReplayChunk& c : chunks)
        bytes += c.bytes;
    return bytes;
}

// A clean reply's value and whether it echoes; nothing for any other bytes.
struct CleanReply {
    uint8_t value;
    bool echoes;
};

std::optional<CleanReply> clean(const ReplayExchange& e)
{
    const std::string bytes = joined(e.reply);
    if (bytes.size() != kReplyLength)
        return std::nullopt;
    const int high = hexDigitValue(bytes[0], false), low = hexDigitValue(bytes[1], false);
    if (high < 0 || low < 0)
        return std::nullopt;
    const auto field = encodeRequest(0, static_cast<uint8_t>(e.reg));
    const bool echoes = bytes.compare(2, 2, &field[5], 2) == 0;
    return CleanReply{static_cast<uint8_t>((high << 4 | low) ^ kXorMask), echoes};
}

}  // namespace

ReplayPlayer::ReplayPlayer(ReplayScript script, ReplayDiverge diverge, ReplayAtEnd at_end)
    : script_(std::move(script)), diverge_(diverge), at_end_(at_end)
{
    image_.fill(-1);
    // Before the capture has shown a register, its first captured value stands in.
    for (auto e = script_.exchanges.rbegin(); e != script_.exchanges.rend(); ++e)
        learn(*e);
}

void ReplayPlayer::learn(const ReplayExchange& e)
{
    if (const auto reply = clean(e)) {
        image_[e.reg] = reply->value;
        echo_ = reply->echoes ? ReplyEcho::Register : ReplyEcho::None;
        turnaround_ = e.reply.front().gap;
    }
}

std::optional<std::size_t> ReplayPlayer::find(int reg) const
{
    const auto& all = script_.exchanges;
    const uint32_t round = all[next_].round;
    for (std::size_t i = next_; i < all.size(); ++i) {
        if (all[i].round != round && !(all[i].round == round + 1 && all[i].reg == 0))
            break;
        if (all[i].reg == reg)
            return i;
        if (all[i].round != round)
            break;
    }
    return std::nullopt;
}

std::optional<TimedReply> ReplayPlayer::play(std::size_t index)
{
    for (; next_ < index; ++next_) {
        learn(script_.exchanges[next_]);
        ++counts_.skipped;
    }
    const ReplayExchange& e = script_.exchanges[next_++];
    learn(e);
    ++counts_.played;
    if (e.reply.empty())
        return std::nullopt;
    TimedReply reply;
    for (const ReplayChunk& c : e.reply)
        reply.chunks.push_back({c.bytes, c.gap});
    return reply;
}

std::optional<TimedReply> ReplayPlayer::fromImage(int reg)
{
    if (image_[reg] < 0)
        return std::nullopt;
    ++counts_.from_image;
    const auto bytes = encodeReply(static_cast<uint8_t>(image_[reg]), static_cast<uint8_t>(reg), echo_);
    return TimedReply{{{std::string(bytes.begin(), bytes.end()), turnaround_}}};
}

std::optional<TimedReply> ReplayPlayer::answer(const Request& request)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (request.address != script_.address) {
        ++counts_.other_address;
        return std::nullopt;
    }
    if (next_ >= script_.exchanges.size()) {
        ++counts_.past_end;
        if (at_end_ == ReplayAtEnd::Stop)
            finished_ = true;
        if (at_end_ != ReplayAtEnd::Image)
            return std::nullopt;
        return fromImage(request.reg);
    }
    if (const auto index = find(request.reg))
        return play(*index);
    ++counts_.diverged;
    if (diverge_ == ReplayDiverge::Silent)
        return std::nullopt;
    return fromImage(request.reg);
}

ReplayCounts ReplayPlayer::counts() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_;
}

}  // namespace kelsim
