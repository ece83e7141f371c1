#pragma once
// The poller's end of a line in tests: open a device path, write frames, read
// replies with a time limit.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "protocol.h"

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

inline std::string request(uint8_t address, uint8_t reg)
{
    const auto f = encodeRequest(address, reg);
    return std::string(f.begin(), f.end());
}

inline int dataByte(const std::string& reply)
{
    return std::stoi(reply.substr(0, 2), nullptr, 16) ^ kXorMask;
}

// The data byte of the reply to one request, or -1 when none comes in time.
inline int ask(LineClient& line, uint8_t address, uint8_t reg,
               std::chrono::milliseconds limit = std::chrono::milliseconds(500))
{
    if (!line.write(request(address, reg)))
        return -1;
    const std::string reply = line.read(4, limit);
    return reply.size() == 4 ? dataByte(reply) : -1;
}

}  // namespace kelsim::testing
