#pragma once
// The poller's end of a line in tests: open a device path, write frames, read
// replies with a time limit.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace kelsim::testing {

class LineClient {
public:
    explicit LineClient(const std::string& path)
        : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
    }
    explicit LineClient(int fd) : fd_(fd) {}
    ~LineClient()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    LineClient(const LineClient&) = delete;
    LineClient& operator=(const LineClient&) = delete;

    bool isOpen() const { return fd_ >= 0; }

    bool write(const std::string& bytes)
    {
        return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // Reads until `count` bytes have come or `limit` has passed.
    std::string read(std::size_t count,
                     std::chrono::milliseconds limit = std::chrono::milliseconds(2000))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::string out;
        while (out.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            char buffer[64];
            const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - out.size()));
            if (n <= 0)
                break;
            out.append(buffer, static_cast<std::size_t>(n));
        }
        return out;
    }

    // What one read returns once bytes are there; empty after `limit` without any.
    std::string readSome(std::chrono::milliseconds limit)
    {
        pollfd p{fd_, POLLIN, 0};
        char buffer[64];
        if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0)
            return {};
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }

private:
    int fd_;
};

}  // namespace kelsim::testing
