#pragma once
// Where live-control commands come from while the simulator serves: a
// Unix-domain stream socket that any number of clients (up to a limit) use
// one after another or at once, or the standard input with the answers on
// standard output. One line in, one line out, in order per client.

#include <functional>
#include <memory>
#include <string>

namespace kelsim {

class ControlServer {
public:
    using Handler = std::function<std::string(const std::string& command)>;

    static constexpr std::size_t kMaxCommandBytes = 1024;  // a longer line is refused
    static constexpr std::size_t kMaxClients = 16;         // more are told so and closed
    // A client that leaves this much of its answers unread is disconnected.
    static constexpr std::size_t kMaxUnreadBytes = 64 * 1024;

    // Creates the socket, mode 0600 (only its owner may connect). A socket
    // file left by a simulator that is gone (nobody accepts on it) is
    // replaced; a live one, or a file that is no socket, is refused. Throws
    // std::runtime_error "<path>: <reason>".
    static std::unique_ptr<ControlServer> onSocket(const std::string& path);
    // Commands from standard input, answers on standard output. The end of
    // input ends the commands, not the simulator.
    static std::unique_ptr<ControlServer> onStandardStreams();

    virtual ~ControlServer() = default;
    // Starts taking commands on a thread of its own.
    virtual void start(Handler handler) = 0;
    // Stops taking commands and removes the socket file; idempotent.
    virtual void stop() = 0;
};

}  // namespace kelsim
