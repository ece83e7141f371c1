// The polling step allocates nothing: every global operator new of this
// process is replaced by a counting one, and whole rounds are driven through
// the plug-in loaded with dlopen. Built as its own executable so the
// replacement touches no other suite.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <new>

#include "framework/provider.h"
#include "framework/zrn_spdevice.h"
#include "host/device_observer.h"
#include "host/device_state.h"
#include "polling_support.h"
#include "support/built_plugin.h"

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};

void* countedAllocation(std::size_t size) noexcept
{
    if (g_counting.load(std::memory_order_relaxed))
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}

void* countedAlignedAllocation(std::size_t size, std::align_val_t align) noexcept
{
    if (g_counting.load(std::memory_order_relaxed))
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    const auto alignment = static_cast<std::size_t>(align);
    const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
    return std::aligned_alloc(alignment, rounded == 0 ? alignment : rounded);
}

void* orThrow(void* p)
{
    if (!p)
        throw std::bad_alloc();
    return p;
}

// Counts the allocations made while it lives.
class AllocationCounter {
public:
    AllocationCounter()
    {
        g_allocations.store(0);
        g_counting.store(true);
    }
    ~AllocationCounter() { g_counting.store(false); }
    long count() const { return g_allocations.load(); }
    void pause() { g_counting.store(false); }
    void resume() { g_counting.store(true); }
};

}  // namespace

void* operator new(std::size_t size) { return orThrow(countedAllocation(size)); }
void* operator new[](std::size_t size) { return orThrow(countedAllocation(size)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return countedAllocation(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return countedAllocation(size);
}
void* operator new(std::size_t size, std::align_val_t align)
{
    return orThrow(countedAlignedAllocation(size, align));
}
void* operator new[](std::size_t size, std::align_val_t align)
{
    return orThrow(countedAlignedAllocation(size, align));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

using namespace polltest;

class PollingAllocations : public ::testing::Test {
protected:
    void SetUp() override
    {
        plugin_ = testsupport::loadBuiltPlugin();
        kelhost::setDefaultObserver(nullptr);  // the host side records nothing
    }

    kelhost::Plugin plugin_;
};

TEST_F(PollingAllocations, CounterSeesAllocationsMadeInsideThePlugin)
{
    // Without this the zero below could come from a replacement the plug-in's
    // code never reaches.
    auto* provider = dynamic_cast<ZRNSPDeviceProvider*>(plugin_.providers().front().get());
    ASSERT_NE(provider, nullptr);
    ZRNVDevice* device = nullptr;
    long made = 0;
    {
        AllocationCounter counter;
        device = provider->create();
        made = counter.count();
    }
    EXPECT_GE(made, 1) << "creating a device allocates it";
    delete device;
}

TEST_F(PollingAllocations, WholeRoundsOfRepliesAllocateNothing)
{
    std::shared_ptr<ZRNVDevice> device = plugin_.createDevice();
    auto* serial = dynamic_cast<ZRNSPDevice*>(device.get());
    ASSERT_NE(serial, nullptr);
    ASSERT_EQ(kelhost::attachedObserver(*serial), nullptr);

    // Replies are prepared before counting starts. They echo their register:
    // the first round confirms the controller, so the second compares every
    // reply's bytes 2-3 as well.
    const RegisterImage image = distinctImage();
    const std::vector<unsigned>& steps = roundSteps();
    std::array<std::array<unsigned char, 4>, 63> replies{};
    ASSERT_EQ(steps.size(), replies.size());
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const unsigned reg = registerOfStep(steps[i]);
        const std::string text = echoReply(image[reg], reg);
        std::copy(text.begin(), text.end(), replies[i].begin());
    }

    for (int round = 1; round <= 2; ++round) {
        std::array<int, 63> results{};
        int late_reply = -1;
        long allocations = 0;
        {
            AllocationCounter counter;
            serial->RefreshStatus();
            // Once confirmed, the previous round's last reply arriving late
            // is refused: the stall path must not allocate either.
            if (round == 2)
                late_reply = serial->process(replies.back().data(), 4);
            // Split replies too: the gathering path must not allocate either.
            results[0] = serial->process(replies[0].data(), 1);
            results[0] = serial->process(replies[0].data() + 1, 3);
            for (std::size_t i = 1; i + 1 < replies.size(); ++i)
                results[i] = serial->process(replies[i].data(), 4);
            allocations = counter.count();
            // Completing the round hands the record to the host, whose
            // services are free to allocate.
            counter.pause();
            results.back() = serial->process(replies.back().data(), 4);
        }
        EXPECT_EQ(allocations, 0) << "round " << round;
        if (round == 2) {
            EXPECT_EQ(late_reply, 0) << "the late reply was not refused";
        }
        for (std::size_t i = 0; i + 1 < results.size(); ++i)
            EXPECT_EQ(results[i], 1) << "step " << steps[i];
        EXPECT_EQ(results.back(), 0) << "the round completed";
        EXPECT_EQ(serial->poll_step_, kLastStep);
        EXPECT_TRUE(device->data_valid_);
    }
}

}  // namespace
