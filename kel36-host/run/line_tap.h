#pragma once
// Sees a device's line as --trace does: each request as the driver wrote it
// and each chunk of reply bytes as a read returned it (after an adapter's
// echo is dropped). Called on the polling thread, between driver calls.

#include <cstddef>

namespace keltool {

class LineTap {
public:
    virtual ~LineTap() = default;
    virtual void roundStarted() = 0;
    virtual void requestSent(const unsigned char* data, std::size_t length) = 0;
    virtual void replyReceived(const unsigned char* data, std::size_t length) = 0;
};

}  // namespace keltool
