#pragma once
// Plays a capture's controller back to a live poller. Requests are matched to
// the captured ones in capture order by register, within rounds: the next
// captured request answers when the poller asks for its register; a poller
// that asks for another register is looked up ahead in the current round
// (and the first request of the next one, for a poller that starts a round
// early); found, the exchanges in between are skipped. What is not found
// diverges, and one past the last exchange is the end: either is answered
// from the register image (the last value the capture showed for that
// register, its first one before that) or left unanswered, as asked.

#include <array>
#include <atomic>
#include <mutex>
#include <optional>

#include "replay_script.h"
#include "simulator.h"

namespace kelsim {

enum class ReplayDiverge { Image, Silent };
enum class ReplayAtEnd { Image, Silent, Stop };

struct ReplayCounts {
    uint64_t played = 0;     // captured exchanges answered as captured (silence included)
    uint64_t skipped = 0;    // captured exchanges jumped over by a look-ahead
    uint64_t diverged = 0;   // requests the capture had no place for
    uint64_t past_end = 0;   // requests after the last captured exchange
    uint64_t from_image = 0; // of the last two, answered from the image
    uint64_t other_address = 0;
};

class ReplayPlayer final : public ReplySource {
public:
    ReplayPlayer(ReplayScript script, ReplayDiverge diverge, ReplayAtEnd at_end);

    std::optional<TimedReply> answer(const Request& request) override;

    ReplayCounts counts() const;
    std::size_t exchanges() const { return script_.exchanges.size(); }
    // With ReplayAtEnd::Stop: a request came after the last exchange.
    bool finished() const { return finished_.load(); }

private:
    std::optional<std::size_t> find(int reg) const;
    std::optional<TimedReply> play(std::size_t index);
    std::optional<TimedReply> fromImage(int reg);
    void learn(const ReplayExchange& exchange);

    const ReplayScript script_;
    const ReplayDiverge diverge_;
    const ReplayAtEnd at_end_;
    std::atomic<bool> finished_{false};

    mutable std::mutex mutex_;
    std::size_t next_ = 0;
    std::array<int, kRegisterCount> image_;  // -1: never seen
    ReplyEcho echo_ = ReplyEcho::Register;
    std::chrono::nanoseconds turnaround_{std::chrono::milliseconds(2)};
    ReplayCounts counts_;
};

}  // namespace kelsim
