#include "pty_handover.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "line.h"

namespace kelsim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPings = 41;
// A measurement spoilt by a busy machine stays a fraction of a character at 19200 baud.
constexpr std::chrono::nanoseconds kCeiling = std::chrono::microseconds(200);

std::chrono::nanoseconds measure()
{
    Line line;
    try {
        line = openPseudoTerminal();
    } catch (const std::exception&) {
        return std::chrono::nanoseconds(0);
    }
    const int master = line.fd, peer = line.keep_open;
    std::atomic<int64_t> written_at{0};
    std::vector<int64_t> delays;
    delays.reserve(kPings);
    std::thread reader([&] {
        for (int i = 0; i < kPings; ++i) {
            pollfd fd{peer, POLLIN, 0};
            char byte;
            if (::poll(&fd, 1, 1000) != 1 || ::read(peer, &byte, 1) != 1)
                return;
            delays.push_back(Clock::now().time_since_epoch().count() - written_at.load());
        }
    });
    for (int i = 0; i < kPings; ++i) {
        // Spaced so that the reader is asleep again, as a poller is between characters.
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        written_at = Clock::now().time_since_epoch().count();
        const char byte = 'U';
        if (::write(master, &byte, 1) != 1)
            break;
    }
    reader.join();
    if (delays.size() < kPings)
        return std::chrono::nanoseconds(0);
    std::nth_element(delays.begin(), delays.begin() + kPings / 2, delays.end());
    const auto median = std::chrono::duration_cast<std::chrono::nanoseconds>(
        Clock::duration(delays[kPings / 2]));
    return std::clamp(median, std::chrono::nanoseconds(0), kCeiling);
}

}  // namespace

std::chrono::nanoseconds ptyHandover()
{
    static std::once_flag once;
    static std::chrono::nanoseconds handover{0};
    std::call_once(once, [] { handover = measure(); });
    return handover;
}

}  // namespace kelsim
