#pragma once
// --http: the dashboard (/), the JSON API (/api/devices) and the Prometheus
// metrics (/metrics), served read-only by GNU libmicrohttpd on one thread of
// its own. Requests read the live state; polling never waits for a client.
//
// Every client is bounded: the request head (line and headers) to
// kMaxRequestHeadBytes and kMaxRequestHeaders, each request (with the wait
// for it on a kept-alive connection) to kRequestDeadline from start to the
// last byte of the answer, the open connections to kMaxWebConnections, the
// excess closed at once.

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "kel36-host/web/http_address.h"

namespace keltool {

class LiveState;

constexpr std::size_t kMaxWebConnections = 64;
constexpr std::size_t kMaxRequestHeadBytes = 16 * 1024;
constexpr std::size_t kMaxRequestHeaders = 100;
constexpr std::chrono::milliseconds kRequestDeadline{3000};

// Descriptors the server may hold at once: its listening socket, its epoll
// and wake-up descriptors and one per open connection.
constexpr std::size_t kWebServerDescriptors = 3 + kMaxWebConnections;
// Descriptors a connection may never take: polling, the cache and the
// history open theirs while the server is full. A connection accepted into
// this reserve is closed at once.
constexpr std::size_t kWebDescriptorReserve = 32;

class WebServer {
public:
    // Binds at once and serves from then on. A port in use or an address that
    // cannot be had is a ToolError naming --http and the reason.
    WebServer(const HttpAddress& address, const LiveState& state);
    // Stops taking connections and closes the open ones without waiting on
    // any client, then joins the server's thread.
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    int port() const { return port_; }
    std::string url() const { return address_.url(port_); }
    // Bound to the wildcard address: reachable on every interface.
    bool allInterfaces() const { return all_interfaces_; }
    // The start-up line: where the dashboard is, or that every interface
    // serves it.
    std::string announcement() const;

    struct Impl;

private:
    HttpAddress address_;
    int port_ = 0;
    bool all_interfaces_ = false;
    std::unique_ptr<Impl> impl_;
};

}  // namespace keltool
