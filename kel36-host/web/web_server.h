#pragma once
// --http: the dashboard (/), the JSON API (/api/devices) and the Prometheus
// metrics (/metrics), served read-only by cpp-httplib on threads of its own.
// Requests read the live state; polling never waits for a client.

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>

#include "kel36-host/web/http_address.h"

namespace httplib {
class Server;
}

namespace keltool {

class LiveState;

// Descriptors the server may hold at once: its listening socket and one
// connection per worker (a connection waiting for a worker sits in the
// kernel's queue, not in a descriptor).
constexpr std::size_t kWebServerDescriptors = 9;

class WebServer {
public:
    // Binds at once and serves from then on. A port in use or an address that
    // cannot be had is a ToolError naming --http and the reason.
    WebServer(const HttpAddress& address, const LiveState& state);
    // Stops taking connections, ends the open ones and joins the threads.
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    int port() const { return port_; }
    std::string url() const { return address_.url(port_); }

private:
    void route();

    HttpAddress address_;
    const LiveState& state_;
    std::unique_ptr<httplib::Server> server_;
    int port_ = 0;
    std::atomic<bool> listen_returned_{false};
    std::thread thread_;
};

}  // namespace keltool
