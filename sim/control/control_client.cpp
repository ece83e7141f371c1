#include "control/control_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "control/control_server.h"

namespace kelsim {
namespace {

class Socket {
public:
    Socket() : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~Socket()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

bool sendAll(int fd, const std::string& text)
{
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int sendCommands(const std::string& path, const std::vector<std::string>& commands, std::FILE* out,
                 std::string* error, std::chrono::milliseconds limit)
{
    std::string text;
    for (const std::string& command : commands) {
        if (command.find_first_not_of(" \t") == std::string::npos ||
            command.find_first_of("\r\n") != std::string::npos ||
            command.size() > ControlServer::kMaxCommandBytes) {
            *error = "a command is one line of 1.." +
                     std::to_string(ControlServer::kMaxCommandBytes) + " bytes, not blank";
            return kSendNoServer;
        }
        text += command + "\n";
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        *error = path + ": not a control socket path";
        return kSendNoServer;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    Socket socket;
    if (socket.fd() < 0 ||
        ::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        *error = "cannot connect to " + path + ": " + std::strerror(errno);
        return kSendNoServer;
    }
    if (!sendAll(socket.fd(), text)) {
        *error = path + ": cannot send: " + std::strerror(errno);
        return kSendNoServer;
    }
    ::shutdown(socket.fd(), SHUT_WR);

    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string received;
    std::size_t answers = 0;
    int status = kSendOk;
    while (answers < commands.size()) {
        const auto newline = received.find('\n');
        if (newline != std::string::npos) {
            const std::string line = received.substr(0, newline);
            received.erase(0, newline + 1);
            std::fprintf(out, "%s\n", line.c_str());
            if (line.rfind("ok", 0) != 0)
                status = kSendRefused;
            ++answers;
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{socket.fd(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            *error = path + ": no answer within " + std::to_string(limit.count()) + " ms";
            return kSendNoServer;
        }
        char buffer[4096];
        const ssize_t n = ::read(socket.fd(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A server that refuses the connection says why in one line.
            if (!received.empty()) {
                received += '\n';
                continue;
            }
            if (status == kSendRefused)
                return status;
            *error = path + ": the simulator closed the connection after " +
                     std::to_string(answers) + " of " + std::to_string(commands.size()) +
                     " answers";
            return kSendNoServer;
        }
        received.append(buffer, static_cast<std::size_t>(n));
    }
    return status;
}

}  // namespace kelsim
