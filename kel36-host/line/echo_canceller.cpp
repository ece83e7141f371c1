#include "kel36-host/line/echo_canceller.h"

#include <cstring>

namespace keltool {

void EchoCanceller::sent(const unsigned char* data, std::size_t length)
{
    if (!awaiting())
        reset();
    // Requests are 7 bytes; a longer write keeps the echo of its start only,
    // and the rest reaches the driver, which refuses it as too many bytes.
    const std::size_t room = echo_.size() - expected_;
    const std::size_t take = length < room ? length : room;
    std::memcpy(echo_.data() + expected_, data, take);
    expected_ += take;
}

std::size_t EchoCanceller::strip(unsigned char* data, std::size_t length)
{
    std::size_t taken = 0;
    while (taken < length && awaiting()) {
        if (data[taken] != echo_[matched_]) {
            mismatch_ = true;
            reset();
            break;
        }
        ++taken;
        ++matched_;
    }
    if (!awaiting())
        reset();
    std::memmove(data, data + taken, length - taken);
    return length - taken;
}

}  // namespace keltool
