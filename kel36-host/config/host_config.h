#pragma once
// The devices kel36-host polls: from a host configuration file (a JSON list of
// devices) or from the one-device flags.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "cli/rs485.h"

#include "kel36-host/config/options.h"

namespace keltool {

struct DeviceSpec {
    std::string name;
    uint32_t data_id = 1;
    std::string port;                            // empty: a simulated controller
    bool rtscts = false;                         // hardware flow control
    std::optional<kelcli::Rs485Settings> rs485;  // the port's RS-485 mode, when set
    bool echo_cancel = false;             // the adapter hears its own requests: drop their echo
    Json::Value node{Json::objectValue};  // handed to InitSetting as it is
    std::string scenario;                 // scenario file of a simulated controller; empty: default
    bool simulated = false;               // port is a simulated controller's pseudo-terminal
    // With --simulate: the configured port. Devices that share it share one
    // simulated line, each controller answering its own address.
    std::string simulated_line;
    std::string origin;  // where it was configured, for messages
};

// The run's own settings from the file's "host" object; unset: not in the file.
struct HostSettings {
    std::optional<std::string> history;
    std::optional<int> keep_days;
    std::optional<std::string> cache;
    std::optional<HttpAddress> http;
    std::optional<std::string> capture;
};

HostSettings parseHostSettings(const std::string& text, const std::string& source);

// The options as the run uses them: a flag given on the command line wins,
// else the configuration file's "host" settings apply.
ToolOptions withConfiguredSettings(ToolOptions options);

// Parses a host configuration file's text. Errors name the source, the line and
// column and, for content errors, the JSON path: "host.json:4:17: devices[0].dataId: ...".
std::vector<DeviceSpec> parseHostConfig(const std::string& text, const std::string& source);

// Reads and parses the file; relative scenario paths are taken relative to it.
std::vector<DeviceSpec> loadHostConfig(const std::string& path);

// A warning when the device's "appSetting"/"addr" text holds no number and
// so reads as address 0 ("A" for 65, say); empty otherwise.
std::string addressWarning(const DeviceSpec& device);

// The one device the flags describe.
DeviceSpec deviceFromFlags(const ToolOptions& options);

// The devices to poll, after --simulate and --scenario are applied.
std::vector<DeviceSpec> devicesFor(const ToolOptions& options);

}  // namespace keltool
