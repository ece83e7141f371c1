#include "kel36-host/line/bus_plan.h"

#include <sys/stat.h>

#include "kel36-host/output/protocol_view.h"
#include "kel36-host/tool_error.h"

namespace keltool {
namespace {

// What identifies a line: the device number of a device file (so that
// /dev/ttyUSB0 and a /dev/serial/by-id link to it are one line), else the
// path as written. A device simulated on a line of its own has no key.
std::string lineKey(const DeviceSpec& d)
{
    const std::string& path = d.port.empty() ? d.simulated_line : d.port;
    if (path.empty())
        return {};
    struct stat st {};
    if (!d.port.empty() && ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode))
        return "dev:" + std::to_string(static_cast<unsigned long long>(st.st_rdev));
    return "path:" + path;
}

std::string named(const DeviceSpec& d)
{
    return d.name + " (" + d.origin + ")";
}

void checkSharing(const DeviceSpec& first, const DeviceSpec& added)
{
    const std::string line = added.port.empty() ? added.simulated_line : added.port;
    const unsigned address = addressFromNode(added.node);
    if (addressFromNode(first.node) == address)
        throw ToolError(added.origin + ": device " + added.name + " has the same line " + line +
                        " and address " + std::to_string(address) + " as " + named(first) +
                        ": their replies could not be told apart");
    if (first.rtscts != added.rtscts)
        throw ToolError(added.origin + ": device " + added.name + " shares the line " + line +
                        " with " + named(first) + " but not its flow control");
}

}  // namespace

std::vector<BusPlan> planBuses(const std::vector<DeviceSpec>& devices)
{
    std::vector<BusPlan> plans;
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const std::string key = lineKey(devices[i]);
        std::size_t bus = plans.size();
        if (!key.empty())
            for (std::size_t b = 0; b < keys.size(); ++b)
                if (keys[b] == key)
                    bus = b;
        if (bus == plans.size()) {
            plans.push_back(BusPlan{devices[i].port, {}});
            keys.push_back(key);
        } else {
            for (std::size_t member : plans[bus].devices)
                checkSharing(devices[member], devices[i]);
        }
        plans[bus].devices.push_back(i);
    }
    return plans;
}

}  // namespace keltool
