#include "control/control_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace kelsim {
namespace {

// At most this much is written at once: on a blocking standard output that
// poll() has found writable, a write of up to PIPE_BUF bytes does not block.
constexpr std::size_t kWriteChunk = 4096;

std::runtime_error pathError(const std::string& path, const std::string& reason)
{
    return std::runtime_error(path + ": " + reason);
}

sockaddr_un socketAddress(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        throw pathError(path, "a control socket path must be 1.." +
                                  std::to_string(sizeof address.sun_path - 1) + " bytes long");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// A socket file nobody accepts on is what a killed simulator leaves behind.
void removeStaleSocket(const std::string& path, const sockaddr_un& address)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return;
        throw pathError(path, std::strerror(errno));
    }
    if (!S_ISSOCK(st.st_mode))
        throw pathError(path, "exists and is not a socket; not replacing it");
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0)
        throw pathError(path, std::string("socket: ") + std::strerror(errno));
    const int connected =
        ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int error = errno;
    ::close(probe);
    if (connected == 0 || error == EAGAIN || error == EINPROGRESS)
        throw pathError(path, "another program is listening on this control socket");
    if (error != ECONNREFUSED)
        throw pathError(path, std::strerror(error));
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        throw pathError(path,
                        std::string("cannot remove the stale socket: ") + std::strerror(errno));
}

class Server final : public ControlServer {
public:
    Server(int listen_fd, std::string path) : listen_fd_(listen_fd), path_(std::move(path))
    {
        struct stat st {};
        if (::stat(path_.c_str(), &st) == 0) {
            device_ = st.st_dev;
            inode_ = st.st_ino;
        }
        openWake();
    }

    // Standard streams: one client that is there from the start.
    Server()
    {
        openWake();
        Client stdio;
        stdio.in_fd = STDIN_FILENO;
        stdio.out_fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        stdio.socket = false;
        clients_.push_back(std::move(stdio));
    }

    ~Server() override
    {
        stop();
        for (Client& c : clients_)
            closeClient(c);
        if (listen_fd_ >= 0)
            ::close(listen_fd_);
        if (wake_fd_ >= 0)
            ::close(wake_fd_);
    }

    void start(Handler handler) override
    {
        handler_ = std::move(handler);
        thread_ = std::thread([this] { run(); });
    }

    void stop() override
    {
        std::lock_guard<std::mutex> lock(stop_mutex_);
        if (thread_.joinable()) {
            const uint64_t one = 1;
            [[maybe_unused]] ssize_t written = ::write(wake_fd_, &one, sizeof one);
            thread_.join();
        }
        removeSocketFile();
    }

private:
    struct Client {
        int in_fd = -1;
        int out_fd = -1;
        bool socket = true;  // in_fd == out_fd, owned
        std::string in, out;
        bool discarding = false;  // inside a line that is too long
        bool input_done = false;
        bool dead = false;
    };

    void openWake()
    {
        wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_fd_ < 0)
            throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    }

    // Only the file this server made: another simulator may have replaced it.
    void removeSocketFile()
    {
        if (path_.empty())
            return;
        struct stat st {};
        if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_)
            ::unlink(path_.c_str());
        path_.clear();
    }

    void run()
    {
        for (;;) {
            std::vector<pollfd> fds{{wake_fd_, POLLIN, 0}};
            if (listen_fd_ >= 0)
                fds.push_back({listen_fd_, POLLIN, 0});
            const std::size_t first_client = fds.size();
            for (const Client& c : clients_) {
                fds.push_back({c.input_done ? -1 : c.in_fd, POLLIN, 0});
                fds.push_back({c.out.empty() ? -1 : c.out_fd, POLLOUT, 0});
            }
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[0].revents)
                return;
            for (std::size_t i = 0; i < clients_.size(); ++i) {
                Client& c = clients_[i];
                const pollfd& in = fds[first_client + 2 * i];
                const pollfd& out = fds[first_client + 2 * i + 1];
                if (in.fd >= 0 && in.revents)
                    readFrom(c);
                if (out.fd >= 0 && out.revents && !c.dead)
                    writeTo(c);
            }
            dropFinishedClients();
            if (listen_fd_ >= 0 && (fds[1].revents & POLLIN))
                accept();
        }
    }

    void accept()
    {
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        std::size_t sockets = 0;
        for (const Client& c : clients_)
            sockets += c.socket;
        if (sockets >= kMaxClients) {
            const std::string refusal =
                "error too many control clients (" + std::to_string(kMaxClients) + ")\n";
            [[maybe_unused]] ssize_t n = ::send(fd, refusal.data(), refusal.size(), MSG_NOSIGNAL);
            ::close(fd);
            return;
        }
        Client c;
        c.in_fd = c.out_fd = fd;
        clients_.push_back(std::move(c));
    }

    void readFrom(Client& c)
    {
        char buffer[4096];
        const ssize_t n = ::read(c.in_fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) {
            // The end of input: an unterminated last line is a command too.
            if (!c.discarding && !c.in.empty())
                answer(c, c.in);
            c.in.clear();
            c.input_done = true;
            return;
        }
        for (ssize_t i = 0; i < n; ++i) {
            const char byte = buffer[i];
            if (byte == '\n') {
                if (!c.discarding)
                    answer(c, c.in);
                c.in.clear();
                c.discarding = false;
            } else if (c.discarding) {
                continue;
            } else if (c.in.size() >= kMaxCommandBytes) {
                c.out +=
                    "error command longer than " + std::to_string(kMaxCommandBytes) + " bytes\n";
                c.in.clear();
                c.discarding = true;
            } else {
                c.in += byte;
            }
        }
        if (c.out.size() > kMaxUnreadBytes) {
            // It sends and never reads: nobody is there to see the answers.
            c.dead = true;
        }
    }

    void answer(Client& c, std::string line)
    {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            return;  // a blank line is no command
        c.out += handler_(line) + "\n";
    }

    void writeTo(Client& c)
    {
        const std::size_t length = std::min(c.out.size(), kWriteChunk);
        const ssize_t n = c.socket ? ::send(c.out_fd, c.out.data(), length, MSG_NOSIGNAL)
                                   : ::write(c.out_fd, c.out.data(), length);
        if (n > 0)
            c.out.erase(0, static_cast<std::size_t>(n));
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            c.dead = true;
    }

    void dropFinishedClients()
    {
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (it->dead || (it->input_done && it->out.empty())) {
                closeClient(*it);
                it = clients_.erase(it);
            } else {
                ++it;
            }
        }
    }

    static void closeClient(Client& c)
    {
        if (c.socket) {
            if (c.in_fd >= 0)
                ::close(c.in_fd);
        } else if (c.out_fd >= 0) {
            ::close(c.out_fd);  // a duplicate of standard output; standard input stays open
        }
        c.in_fd = c.out_fd = -1;
    }

    int listen_fd_ = -1;
    std::string path_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    int wake_fd_ = -1;
    Handler handler_;
    std::vector<Client> clients_;  // only the server's thread touches them once started
    std::mutex stop_mutex_;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<ControlServer> ControlServer::onSocket(const std::string& path)
{
    const sockaddr_un address = socketAddress(path);
    removeStaleSocket(path, address);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        throw pathError(path, std::string("socket: ") + std::strerror(errno));
    // Whoever can connect can change what the monitoring unit sees: the owner only.
    const mode_t previous = ::umask(0177);
    const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int bind_error = errno;
    ::umask(previous);
    if (bound != 0) {
        ::close(fd);
        throw pathError(path, std::strerror(bind_error));
    }
    if (::listen(fd, 8) != 0) {
        const int error = errno;
        ::close(fd);
        ::unlink(path.c_str());
        throw pathError(path, std::strerror(error));
    }
    return std::make_unique<Server>(fd, path);
}

std::unique_ptr<ControlServer> ControlServer::onStandardStreams()
{
    return std::make_unique<Server>();
}

}  // namespace kelsim
