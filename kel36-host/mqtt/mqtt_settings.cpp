#include "kel36-host/mqtt/mqtt_settings.h"

#include <unistd.h>

#include <cctype>
#include <cstdlib>

#include "cli/input_file.h"
#include "kel36-host/tool_error.h"

namespace keltool {
namespace {

constexpr std::size_t kMaxPasswordBytes = 4096;

[[noreturn]] void badUrl(const std::string& url, const std::string& why)
{
    throw ToolError("--mqtt: " + why + " in '" + url +
                    "' (expected mqtt://HOST[:PORT] or mqtts://HOST[:PORT])");
}

void requireReadable(const char* what, const std::string& path)
{
    std::string text;
    std::string error;
    if (!kelcli::readInputFile(path, &text, &error))
        throw ToolError(std::string("cannot read the MQTT ") + what + " " + path + ": " + error);
}

}  // namespace

MqttOptions mergeMqttOptions(MqttOptions flags, const MqttOptions& file)
{
    const auto fill = [](auto& mine, const auto& theirs) {
        if (!mine)
            mine = theirs;
    };
    fill(flags.url, file.url);
    fill(flags.user, file.user);
    fill(flags.password_file, file.password_file);
    fill(flags.ca_file, file.ca_file);
    fill(flags.cert_file, file.cert_file);
    fill(flags.key_file, file.key_file);
    fill(flags.client_id, file.client_id);
    fill(flags.prefix, file.prefix);
    fill(flags.keepalive_s, file.keepalive_s);
    fill(flags.home_assistant, file.home_assistant);
    return flags;
}

std::string MqttBroker::text() const
{
    const bool v6 = host.find(':') != std::string::npos;
    return std::string(tls ? "mqtts://" : "mqtt://") + (v6 ? "[" + host + "]" : host) + ":" +
           std::to_string(port);
}

MqttBroker parseMqttUrl(const std::string& url)
{
    MqttBroker broker;
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        broker.tls = true;
        broker.port = 8883;
        rest = url.substr(8);
    } else {
        badUrl(url, "unknown scheme");
    }
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    if (rest.find_first_of("/@?#") != std::string::npos)
        badUrl(url, "a user, path or query is not taken (use --mqtt-user)");
    std::string port;
    if (!rest.empty() && rest[0] == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos)
            badUrl(url, "an unclosed '['");
        broker.host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty() && after[0] != ':')
            badUrl(url, "text after ']'");
        if (!after.empty())
            port = after.substr(1);
        if (after == ":")
            badUrl(url, "an empty port");
    } else {
        const auto colon = rest.find(':');
        broker.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            port = rest.substr(colon + 1);
            if (port.empty())
                badUrl(url, "an empty port");
        }
    }
    if (broker.host.empty())
        badUrl(url, "no host");
    for (const char c : broker.host)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_' &&
            c != ':')
            badUrl(url, "a host name with '" + std::string(1, c) + "'");
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
            badUrl(url, "a port that is no number");
        broker.port = std::atoi(port.c_str());
        if (broker.port < 1 || broker.port > 65535)
            badUrl(url, "a port out of 1-65535");
    }
    return broker;
}

std::string defaultClientId()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        name[0] = '\0';
    std::string id = "kel36-host-";
    for (const char* p = name; *p; ++p)
        id.push_back(std::isalnum(static_cast<unsigned char>(*p)) || *p == '-' ? *p : '_');
    return id.substr(0, 64);
}

MqttSettings resolveMqttSettings(const MqttOptions& options)
{
    if (!options.url)
        throw ToolError("the MQTT options need --mqtt URL (or \"url\" in the \"mqtt\" object)");
    MqttSettings s;
    s.broker = parseMqttUrl(*options.url);
    s.user = options.user.value_or("");
    if (options.password_file) {
        if (s.user.empty())
            throw ToolError("--mqtt-password-file needs --mqtt-user");
        std::string text;
        std::string error;
        if (!kelcli::readInputFile(*options.password_file, &text, &error, kMaxPasswordBytes))
            throw ToolError("cannot read the MQTT password file " + *options.password_file +
                            ": " + error);
        // The first line; a file written by an editor ends in a newline.
        text = text.substr(0, text.find_first_of("\r\n"));
        if (text.empty())
            throw ToolError("the MQTT password file " + *options.password_file +
                            " holds no password on its first line");
        s.password = text;
    }
    const bool tls_files = options.ca_file || options.cert_file || options.key_file;
    if (tls_files && !s.broker.tls)
        throw ToolError("--mqtt-ca, --mqtt-cert and --mqtt-key need an mqtts:// broker");
    if (s.broker.tls && !options.ca_file)
        throw ToolError("an mqtts:// broker needs --mqtt-ca FILE (the CA that signed it)");
    if (options.cert_file.has_value() != options.key_file.has_value())
        throw ToolError("--mqtt-cert and --mqtt-key go together");
    s.ca_file = options.ca_file.value_or("");
    s.cert_file = options.cert_file.value_or("");
    s.key_file = options.key_file.value_or("");
    if (!s.ca_file.empty())
        requireReadable("CA file", s.ca_file);
    if (!s.cert_file.empty()) {
        requireReadable("certificate", s.cert_file);
        requireReadable("key", s.key_file);
    }
    s.client_id = options.client_id.value_or(defaultClientId());
    if (s.client_id.empty() || s.client_id.size() > 64)
        throw ToolError("--mqtt-client-id: expected 1 to 64 characters");
    s.prefix = options.prefix.value_or("kel36");
    if (s.prefix.empty() || s.prefix.size() > 128 ||
        s.prefix.find_first_of("+#") != std::string::npos || s.prefix.front() == '/' ||
        s.prefix.back() == '/' || s.prefix.front() == '$')
        throw ToolError("--mqtt-prefix: expected topic levels without + or #, not starting with "
                        "$ or / nor ending with /, got '" + s.prefix + "'");
    for (const char c : s.prefix)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            throw ToolError("--mqtt-prefix: a control character");
    s.keepalive_s = options.keepalive_s.value_or(30);
    if (s.keepalive_s < 5 || s.keepalive_s > 3600)
        throw ToolError("--mqtt-keepalive: expected 5 to 3600 seconds");
    s.home_assistant = options.home_assistant.value_or(false);
    return s;
}

}  // namespace keltool
