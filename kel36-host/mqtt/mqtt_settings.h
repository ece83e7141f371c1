#pragma once
// --mqtt and the configuration's "mqtt" object: where the broker is, how to
// log in and under which topics to publish. Everything outside (the URL, the
// password, CA, certificate and key files) is checked here, before polling.

#include <optional>
#include <string>

namespace keltool {

// As given: a flag, else the file's key, else the default.
struct MqttOptions {
    std::optional<std::string> url;
    std::optional<std::string> user;
    std::optional<std::string> password_file;
    std::optional<std::string> ca_file;
    std::optional<std::string> cert_file;
    std::optional<std::string> key_file;
    std::optional<std::string> client_id;
    std::optional<std::string> prefix;
    std::optional<int> keepalive_s;
    std::optional<bool> home_assistant;

    bool any() const
    {
        return url || user || password_file || ca_file || cert_file || key_file || client_id ||
               prefix || keepalive_s || home_assistant;
    }
};

// `flags` with each field it leaves unset taken from `file`.
MqttOptions mergeMqttOptions(MqttOptions flags, const MqttOptions& file);

struct MqttBroker {
    bool tls = false;
    std::string host;  // a name or a numeric address, IPv6 without brackets
    int port = 1883;
    // "mqtt://host:port", the same for every spelling of one broker.
    std::string text() const;
};

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT]. Throws ToolError naming --mqtt.
MqttBroker parseMqttUrl(const std::string& url);

// What the publisher uses: checked and read.
struct MqttSettings {
    MqttBroker broker;
    std::string user;      // empty: no login
    std::string password;  // from the password file
    std::string ca_file, cert_file, key_file;
    std::string client_id;
    std::string prefix = "kel36";
    int keepalive_s = 30;
    bool home_assistant = false;
    // The outbox's destination: the broker and the prefix.
    std::string destination() const { return broker.text() + " " + prefix; }
};

// Checks the options and reads the password file. Throws ToolError with
// one line: a bad URL, a prefix with wildcards, a file that cannot be read,
// options that need mqtts://.
MqttSettings resolveMqttSettings(const MqttOptions& options);

// "kel36-host-<hostname>", made of the characters every broker takes.
std::string defaultClientId();

}  // namespace keltool
