#pragma once
// Loads a device plug-in the way the monitoring unit's host does: dlopen with
// every symbol bound at load, look up get_providers, ask the providers for
// devices. Devices and providers keep the library loaded until the last of them
// is gone, so the plug-in's code is never unmapped under them.

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class Provider;
class ZRNVDevice;

namespace kelhost {

class PluginLibrary;

class Plugin {
public:
    // Throws PluginError with a one-line reason (path and dlerror text).
    static Plugin load(const std::string& path);

    const std::string& path() const { return path_; }
    std::size_t providerCount() const { return providers_.size(); }
    const std::vector<std::shared_ptr<Provider>>& providers() const { return providers_; }

    // A new device from the first provider that makes serial-port devices.
    std::shared_ptr<ZRNVDevice> createDevice() const;

private:
    std::string path_;
    std::shared_ptr<PluginLibrary> library_;
    std::vector<std::shared_ptr<Provider>> providers_;
};

class PluginError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace kelhost
