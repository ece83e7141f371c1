#include "pty_handover.h"

#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <vector>

#include "line.h"

namespace kelsim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPings = 50;
// A measurement spoilt by a busy machine stays a fraction of a character at 19200 baud.
constexpr std::chrono::nanoseconds kCeiling = std::chrono::microseconds(200);

// The mean of the fastest nine tenths: a wake-up that a busy machine delayed
// now and then says nothing of the usual one.
std::chrono::nanoseconds typical(std::vector<int64_t> samples)
{
    std::sort(samples.begin(), samples.end());
    samples.resize(samples.size() - samples.size() / 10);
    const int64_t sum = std::accumulate(samples.begin(), samples.end(), int64_t{0});
    const auto mean = std::chrono::nanoseconds(sum / static_cast<int64_t>(samples.size()));
    return std::clamp(mean, std::chrono::nanoseconds(0), kCeiling);
}

PtyHandover measure()
{
    Line line;
    try {
        line = openPseudoTerminal();
    } catch (const std::exception&) {
        return {};
    }
    const int master = line.fd, peer = line.keep_open;
    std::atomic<int64_t> due_at{0}, written_at{0};
    std::vector<int64_t> late, handed;
    std::thread reader([&] {
        for (int i = 0; i < kPings; ++i) {
            pollfd fd{peer, POLLIN, 0};
            char byte;
            if (::poll(&fd, 1, 1000) != 1 || ::read(peer, &byte, 1) != 1)
                return;
            const int64_t now = Clock::now().time_since_epoch().count();
            late.push_back(now - due_at.load());
            handed.push_back(now - written_at.load());
        }
    });
    // The writer waits as the paced line's thread does: ppoll to a deadline,
    // no timer slack.
    bool ok = true;
    std::thread writer([&] {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        for (int i = 0; i < kPings && ok; ++i) {
            const auto due = Clock::now() + std::chrono::microseconds(300);
            for (auto now = Clock::now(); now < due; now = Clock::now()) {
                const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(due - now);
                const timespec timeout{0, static_cast<long>(left.count())};
                ::ppoll(nullptr, 0, &timeout, nullptr);
            }
            due_at = due.time_since_epoch().count();
            written_at = Clock::now().time_since_epoch().count();
            const char byte = 'U';
            ok = ::write(master, &byte, 1) == 1;
        }
    });
    writer.join();
    reader.join();
    if (!ok || late.size() < static_cast<std::size_t>(kPings))
        return {};
    return {typical(late), typical(handed)};
}

}  // namespace

PtyHandover ptyHandover()
{
    static std::once_flag once;
    static PtyHandover handover;
    std::call_once(once, [] { handover = measure(); });
    return handover;
}

}  // namespace kelsim
