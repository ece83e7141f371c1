#include "kel36-host/web/http_address.h"

#include "kel36-host/tool_error.h"

namespace keltool {
namespace {

constexpr const char* kLoopback = "127.0.0.1";

bool allDigits(const std::string& text)
{
    return !text.empty() && text.size() <= 5 &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

[[noreturn]] void refuse(const std::string& text, const std::string& why)
{
    throw ToolError("--http: " + why + ", got '" + text + "'");
}

int portOf(const std::string& text, const std::string& port)
{
    if (!allDigits(port) || std::stoi(port) > 65535)
        refuse(text, "expected a port from 0 to 65535 after the address");
    return std::stoi(port);
}

}  // namespace

std::string HttpAddress::text() const
{
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string HttpAddress::url(int bound_port) const
{
    HttpAddress bound = *this;
    bound.port = bound_port;
    return "http://" + bound.text() + "/";
}

HttpAddress parseHttpAddress(const std::string& text)
{
    const std::string expected = "expected PORT, ADDR:PORT or [IPV6]:PORT";
    HttpAddress address;
    if (allDigits(text)) {
        address.host = kLoopback;
        address.port = portOf(text, text);
        return address;
    }
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find("]:");
        if (close == std::string::npos)
            refuse(text, expected);
        address.host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos)
            refuse(text, expected);
        address.host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (address.host.find(':') != std::string::npos)
            refuse(text, "an IPv6 address goes in brackets, as in [::1]:8080");
    }
    if (address.host.empty())
        refuse(text, "expected an address before the port (0.0.0.0 for every interface)");
    if (address.host.find_first_of(" /[]") != std::string::npos)
        refuse(text, expected);
    address.port = portOf(text, port);
    return address;
}

}  // namespace keltool
