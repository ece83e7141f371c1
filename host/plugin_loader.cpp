#include "host/plugin_loader.h"

#include <dlfcn.h>

#include "framework/provider.h"
#include "framework/zrn_vdevice.h"

namespace kelhost {
namespace {
// The plug-in entry point as the host resolves it by name.
using GetProvidersFn = std::vector<std::shared_ptr<Provider>> (*)();
}  // namespace

class PluginLibrary {
public:
    explicit PluginLibrary(void* handle) : handle_(handle) {}
    ~PluginLibrary() { dlclose(handle_); }
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;
    void* handle() const { return handle_; }

private:
    void* handle_;
};

Plugin Plugin::load(const std::string& path)
{
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        throw PluginError("cannot load plug-in " + path + ": " + (why ? why : "unknown error"));
    }
    auto library = std::make_shared<PluginLibrary>(handle);
    dlerror();
    void* symbol = dlsym(handle, "get_providers");
    if (!symbol) {
        const char* why = dlerror();
        throw PluginError("plug-in " + path + " has no get_providers: " +
                          (why ? why : "symbol is null"));
    }
    auto entry = reinterpret_cast<GetProvidersFn>(symbol);

    Plugin plugin;
    plugin.path_ = path;
    plugin.library_ = library;
    for (std::shared_ptr<Provider>& provider : entry()) {
        // Each provider keeps the library mapped for as long as it lives.
        Provider* raw = provider.get();
        plugin.providers_.emplace_back(raw, [provider, library](Provider*) mutable {
            provider.reset();
            library.reset();
        });
    }
    if (plugin.providers_.empty())
        throw PluginError("plug-in " + path + " offers no device provider");
    return plugin;
}

std::shared_ptr<ZRNVDevice> Plugin::createDevice() const
{
    for (const std::shared_ptr<Provider>& provider : providers_) {
        auto* sp = dynamic_cast<ZRNSPDeviceProvider*>(provider.get());
        if (!sp)
            continue;
        ZRNVDevice* device = sp->create();
        if (!device)
            throw PluginError("plug-in " + path_ + ": provider made no device");
        auto library = library_;
        return std::shared_ptr<ZRNVDevice>(device, [library](ZRNVDevice* d) mutable {
            delete d;
            library.reset();
        });
    }
    throw PluginError("plug-in " + path_ + " offers no serial-port device provider");
}

}  // namespace kelhost
