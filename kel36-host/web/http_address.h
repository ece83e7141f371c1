#pragma once
// --http ADDR:PORT: where the web view listens.

#include <string>

namespace keltool {

struct HttpAddress {
    std::string host;  // a name or a numeric address, IPv6 without brackets
    int port = 0;      // 0: any free port, chosen when binding

    // "127.0.0.1:8080", "[::1]:8080"
    std::string text() const;
    std::string url(int bound_port) const;  // "http://127.0.0.1:8080/"
};

// "PORT" (on 127.0.0.1), "HOST:PORT" or "[IPV6]:PORT". Throws ToolError
// naming --http and what is wrong.
HttpAddress parseHttpAddress(const std::string& text);

}  // namespace keltool
