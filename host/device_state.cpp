#include "host/device_state.h"

#include <mutex>
#include <new>
#include <shared_mutex>
#include <unordered_map>

#include "framework/zrn_spdevice.h"
#include "host/device_observer.h"

namespace kelhost {
namespace {

struct DeviceState {
    DeviceObserver* observer = nullptr;
    std::string port_path;
    int port_fd = -1;
};

class DeviceTable {
public:
    // Runs fn on the device's entry, or on nullptr if it has none.
    template <typename Fn>
    auto read(const ZRNVDevice& device, Fn fn) const
    {
        std::shared_lock<std::shared_mutex> lock(mutex_);
        const auto found = states_.find(&device);
        return fn(found != states_.end() ? &found->second : nullptr);
    }
    // Runs fn on the device's entry, made first if it has none.
    template <typename Fn>
    void write(const ZRNVDevice& device, Fn fn)
    {
        std::unique_lock<std::shared_mutex> lock(mutex_);
        fn(states_[&device]);
    }
    // Runs fn on the device's entry if it has one.
    template <typename Fn>
    void update(const ZRNVDevice& device, Fn fn)
    {
        std::unique_lock<std::shared_mutex> lock(mutex_);
        const auto found = states_.find(&device);
        if (found != states_.end())
            fn(found->second);
    }
    void erase(const ZRNVDevice& device)
    {
        std::unique_lock<std::shared_mutex> lock(mutex_);
        states_.erase(&device);
    }

private:
    mutable std::shared_mutex mutex_;
    std::unordered_map<const ZRNVDevice*, DeviceState> states_;
};

DeviceTable& table()
{
    // Built in static storage on first use (allocating nothing, so a polling
    // step that happens to be the first user stays allocation-free) and never
    // destroyed: a device may be destroyed after the static objects are.
    alignas(DeviceTable) static unsigned char storage[sizeof(DeviceTable)];
    static DeviceTable* const instance = new (storage) DeviceTable;
    return *instance;
}

}  // namespace

void attachObserver(ZRNVDevice& device, DeviceObserver* observer)
{
    // Detaching keeps the entry, so attaching again allocates nothing.
    table().write(device, [observer](DeviceState& state) { state.observer = observer; });
}

DeviceObserver* attachedObserver(const ZRNVDevice& device)
{
    return table().read(device,
                        [](const DeviceState* state) { return state ? state->observer : nullptr; });
}

DeviceObserver* observerOf(const ZRNVDevice& device)
{
    DeviceObserver* own = attachedObserver(device);
    return own ? own : defaultObserver();
}

void setPortPath(ZRNSPDevice& device, const std::string& path)
{
    table().write(device, [&path](DeviceState& state) { state.port_path = path; });
}

std::string portPath(const ZRNSPDevice& device)
{
    return table().read(
        device, [](const DeviceState* state) { return state ? state->port_path : std::string(); });
}

void setPortFd(ZRNSPDevice& device, int fd)
{
    if (fd < 0) {
        table().update(device, [](DeviceState& state) { state.port_fd = -1; });
        return;
    }
    table().write(device, [fd](DeviceState& state) { state.port_fd = fd; });
}

int portFd(const ZRNSPDevice& device)
{
    return table().read(device,
                        [](const DeviceState* state) { return state ? state->port_fd : -1; });
}

void forgetDevice(const ZRNVDevice& device)
{
    table().erase(device);
}

}  // namespace kelhost
