#include "host/device_state.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <unordered_map>

#include "framework/zrn_spdevice.h"
#include "host/device_observer.h"

namespace kelhost {
namespace {

// What every host call of a device reads. Trivial, so that the per-thread
// cache needs no initialisation guard.
struct HotState {
    DeviceObserver* observer;
    int port_fd;
};
constexpr HotState kNoState{nullptr, -1};

struct DeviceState {
    HotState hot = kNoState;
    std::string port_path;
};

// The table behind a shared mutex, plus a small per-thread cache of the hot
// fields: a polling round makes some 70 host calls, and taking the shared lock
// for each would cost several times what the driver's own step does. Every
// write bumps the generation, which empties all caches at once; writes happen
// when a device is set up, its line opens or closes, or it is destroyed.
class DeviceTable {
public:
    HotState hot(const ZRNVDevice& device) const
    {
        CacheLine& line = t_cache[cacheSlot(&device)];
        if (line.device == &device &&
            line.generation == generation_.load(std::memory_order_acquire))
            return line.hot;
        std::shared_lock<std::shared_mutex> lock(mutex_);
        const auto found = states_.find(&device);
        line.device = &device;
        line.generation = generation_.load(std::memory_order_relaxed);
        line.hot = found != states_.end() ? found->second.hot : kNoState;
        return line.hot;
    }

    std::string portPath(const ZRNVDevice& device) const
    {
        std::shared_lock<std::shared_mutex> lock(mutex_);
        const auto found = states_.find(&device);
        return found != states_.end() ? found->second.port_path : std::string();
    }

    // Runs fn on the device's entry, made first if it has none.
    template <typename Fn>
    void write(const ZRNVDevice& device, Fn fn)
    {
        std::unique_lock<std::shared_mutex> lock(mutex_);
        fn(states_[&device]);
        generation_.fetch_add(1, std::memory_order_release);
    }

    // Runs fn on the device's entry if it has one.
    template <typename Fn>
    void update(const ZRNVDevice& device, Fn fn)
    {
        std::unique_lock<std::shared_mutex> lock(mutex_);
        const auto found = states_.find(&device);
        if (found == states_.end())
            return;
        fn(found->second);
        generation_.fetch_add(1, std::memory_order_release);
    }

    void erase(const ZRNVDevice& device)
    {
        std::unique_lock<std::shared_mutex> lock(mutex_);
        if (states_.erase(&device) != 0)
            generation_.fetch_add(1, std::memory_order_release);
    }

private:
    struct CacheLine {
        const ZRNVDevice* device;
        std::uint64_t generation;
        HotState hot;
    };
    static constexpr std::size_t kCacheLines = 8;  // devices one thread drives by turns

    static std::size_t cacheSlot(const ZRNVDevice* device)
    {
        const auto bits = reinterpret_cast<std::uintptr_t>(device);
        return ((bits >> 6) ^ (bits >> 12)) % kCacheLines;
    }

    // Initial-exec: this library is loaded with the program, never by dlopen,
    // so the cache is reached without a call into the dynamic linker.
    static thread_local CacheLine t_cache[kCacheLines] __attribute__((tls_model("initial-exec")));

    mutable std::shared_mutex mutex_;
    std::unordered_map<const ZRNVDevice*, DeviceState> states_;
    // Starts above the zero of an unused cache line.
    std::atomic<std::uint64_t> generation_{1};
};

thread_local DeviceTable::CacheLine DeviceTable::t_cache[DeviceTable::kCacheLines]
    __attribute__((tls_model("initial-exec")));

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
    table().write(device, [observer](DeviceState& state) { state.hot.observer = observer; });
}

DeviceObserver* attachedObserver(const ZRNVDevice& device)
{
    return table().hot(device).observer;
}

DeviceObserver* observerOf(const ZRNVDevice& device)
{
    DeviceObserver* own = attachedObserver(device);
    return own ? own : defaultObserver();
}

DeviceLine lineOf(const ZRNVDevice& device)
{
    const HotState hot = table().hot(device);
    return DeviceLine{hot.observer ? hot.observer : defaultObserver(), hot.port_fd};
}

void setPortPath(ZRNSPDevice& device, const std::string& path)
{
    table().write(device, [&path](DeviceState& state) { state.port_path = path; });
}

std::string portPath(const ZRNSPDevice& device)
{
    return table().portPath(device);
}

void setPortFd(ZRNSPDevice& device, int fd)
{
    if (fd < 0) {
        table().update(device, [](DeviceState& state) { state.hot.port_fd = -1; });
        return;
    }
    table().write(device, [fd](DeviceState& state) { state.hot.port_fd = fd; });
}

int portFd(const ZRNSPDevice& device)
{
    return table().hot(device).port_fd;
}

void forgetDevice(const ZRNVDevice& device)
{
    table().erase(device);
}

}  // namespace kelhost
