#include "kel36-host/mqtt/broker_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace keltool {
namespace {

constexpr std::size_t kBuffer = 64 * 1024;  // each way; the kernel's buffers hold the rest

bool wouldBlock()
{
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

}  // namespace

std::unique_ptr<BrokerRelay> BrokerRelay::insert(int library_fd, std::string* why)
{
    const int broker = ::fcntl(library_fd, F_DUPFD_CLOEXEC, 3);
    if (broker < 0) {
        *why = std::string("cannot relay the broker's connection: ") + std::strerror(errno);
        return nullptr;
    }
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) {
        *why = std::string("cannot relay the broker's connection: ") + std::strerror(errno);
        ::close(broker);
        return nullptr;
    }
    // Atomic: libmosquitto's descriptor is never closed or unused meanwhile.
    if (::dup3(pair[0], library_fd, O_CLOEXEC) < 0) {
        *why = std::string("cannot relay the broker's connection: ") + std::strerror(errno);
        ::close(pair[0]);
        ::close(pair[1]);
        ::close(broker);
        return nullptr;
    }
    ::close(pair[0]);
    return std::unique_ptr<BrokerRelay>(new BrokerRelay(broker, pair[1]));
}

BrokerRelay::BrokerRelay(int broker_fd, int library_fd)
    : broker_fd_(broker_fd), library_fd_(library_fd)
{
    in_.reserve(kBuffer);
}

BrokerRelay::~BrokerRelay()
{
    ::close(broker_fd_);
    ::close(library_fd_);
}

bool BrokerRelay::refuse(const std::string& why)
{
    why_ = why;
    ::shutdown(broker_fd_, SHUT_RDWR);
    broker_gone_ = true;
    in_.clear();
    passable_ = 0;
    return false;
}

void BrokerRelay::brokerGone()
{
    broker_gone_ = true;
    in_.resize(passable_);  // a header cut short is never handed over
}

// Advances passable_ over the packets whose fixed header is within bounds.
bool BrokerRelay::checkHeaders()
{
    while (passable_ < in_.size()) {
        if (packet_left_ > 0) {
            const std::size_t take =
                static_cast<std::size_t>(std::min<uint64_t>(packet_left_, in_.size() - passable_));
            passable_ += take;
            packet_left_ -= take;
            continue;
        }
        // Type byte, then the remaining length in 1 to 4 bytes of 7 bits.
        uint64_t length = 0;
        std::size_t at = passable_ + 1;
        bool complete = false;
        for (int i = 0; i < 4 && at < in_.size(); ++i) {
            const uint8_t byte = in_[at++];
            length |= static_cast<uint64_t>(byte & 0x7f) << (7 * i);
            if (!(byte & 0x80)) {
                complete = true;
                break;
            }
        }
        if (!complete) {
            if (at - passable_ - 1 >= 4)
                return refuse("it sent a packet whose length is malformed");
            return true;  // the rest of the header is still on its way
        }
        const std::size_t header = at - passable_;
        if (length + header > kMaxIncomingPacket)
            return refuse("it sent a packet of " + std::to_string(length + header) +
                          " bytes; at most " + std::to_string(kMaxIncomingPacket) +
                          " are accepted");
        passable_ += header;
        packet_left_ = length;
    }
    return true;
}

bool BrokerRelay::pump(int timeout_ms)
{
    pollfd fds[2] = {{broker_fd_, 0, 0}, {library_fd_, 0, 0}};
    if (!broker_gone_) {
        if (in_.size() < kBuffer)
            fds[0].events |= POLLIN;
        if (!out_.empty())
            fds[0].events |= POLLOUT;
    }
    if (!library_gone_ && out_.size() < kBuffer)
        fds[1].events |= POLLIN;
    if (passable_ > 0)
        fds[1].events |= POLLOUT;
    if (::poll(fds, 2, timeout_ms) < 0 && errno != EINTR)
        return refuse(std::string("poll: ") + std::strerror(errno));

    uint8_t chunk[16 * 1024];
    if (!broker_gone_ && in_.size() < kBuffer) {
        const ssize_t n =
            ::recv(broker_fd_, chunk, std::min(sizeof chunk, kBuffer - in_.size()), MSG_DONTWAIT);
        if (n > 0)
            in_.insert(in_.end(), chunk, chunk + n);
        else if (n == 0 || !wouldBlock())
            brokerGone();
        if (n > 0 && !checkHeaders())
            return false;
    }
    if (passable_ > 0) {
        const ssize_t n = ::send(library_fd_, in_.data(), passable_, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            in_.erase(in_.begin(), in_.begin() + n);
            passable_ -= static_cast<std::size_t>(n);
        } else if (n < 0 && !wouldBlock()) {
            in_.clear();
            passable_ = 0;
        }
    }
    // Once the broker is gone and all it sent is handed over, libmosquitto
    // reads the end of the connection and reports it as it always has.
    if (broker_gone_ && passable_ == 0 && !library_gone_)
        ::shutdown(library_fd_, SHUT_WR);

    if (!library_gone_ && out_.size() < kBuffer) {
        const ssize_t n =
            ::recv(library_fd_, chunk, std::min(sizeof chunk, kBuffer - out_.size()), MSG_DONTWAIT);
        if (n > 0)
            out_.insert(out_.end(), chunk, chunk + n);
        else if (n == 0 || !wouldBlock())
            library_gone_ = true;
    }
    if (!out_.empty() && !broker_gone_) {
        const ssize_t n = ::send(broker_fd_, out_.data(), out_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0)
            out_.erase(out_.begin(), out_.begin() + n);
        else if (n < 0 && !wouldBlock())
            brokerGone();
    }
    if (broker_gone_)
        out_.clear();
    if (library_gone_ && out_.empty() && !broker_gone_)
        ::shutdown(broker_fd_, SHUT_WR);
    return true;
}

void BrokerRelay::flush(int timeout_ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (!pump(0) || broker_gone_)
            return;
        pollfd p = out_.empty() ? pollfd{library_fd_, POLLIN, 0} : pollfd{broker_fd_, POLLOUT, 0};
        if (out_.empty() && (library_gone_ || ::poll(&p, 1, 0) == 0))
            return;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              until - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            return;
        ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 10)));
    }
}

}  // namespace keltool
