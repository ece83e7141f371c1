// The stand-in host's own state of a device (observer, serial line), kept
// outside the framework's classes: calls reach the observer attached last,
// also across threads that cache it, and a device's state goes with it.

#include <future>
#include <new>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "host/call_log.h"
#include "host/device_state.h"
#include "kel36/kel36.h"

namespace {

using kelhost::CallLog;

std::size_t sends(const CallLog& log)
{
    return log.callsOf("SendData").size();
}

TEST(StandInDeviceState, CallsAndBytesGoWhereTheDeviceWasLastPointed)
{
    CallLog fallback, first, second;
    kelhost::setDefaultObserver(&fallback);
    Kel36 device;
    device.RefreshStatus();
    kelhost::attachObserver(device, &first);
    device.RefreshStatus();
    kelhost::attachObserver(device, &second);
    device.RefreshStatus();
    kelhost::attachObserver(device, nullptr);
    device.RefreshStatus();
    kelhost::setDefaultObserver(nullptr);
    EXPECT_EQ(sends(fallback), 2u);
    EXPECT_EQ(sends(first), 1u);
    EXPECT_EQ(sends(second), 1u);

    int line[2];
    ASSERT_EQ(::pipe2(line, O_NONBLOCK), 0);  // a frame not sent fails the read, not hangs it
    kelhost::setPortFd(device, line[1]);
    kelhost::attachObserver(device, &first);
    device.RefreshStatus();
    unsigned char frame[8] = {};
    ASSERT_EQ(::read(line[0], frame, sizeof frame), 7);
    EXPECT_EQ(std::vector<unsigned char>(frame, frame + 7), first.callsOf("SendData").back().bytes);
    device.ClosePort();
    EXPECT_EQ(kelhost::portFd(device), -1);
    EXPECT_EQ(::write(line[1], "x", 1), -1) << "ClosePort closed the line";
    ::close(line[0]);
}

// The plainest device: its destruction alone must drop its state.
struct PlainDevice : ZRNVDevice {
    int LoadFromCache(const unsigned char*, int) override { return 0; }
};

TEST(StandInDeviceState, ADeviceBuiltWhereAnotherWasStartsWithNone)
{
    alignas(PlainDevice) unsigned char storage[sizeof(PlainDevice)];
    CallLog log;
    auto* device = new (storage) PlainDevice();
    kelhost::attachObserver(*device, &log);
    device->Reset();  // the calling thread now holds the entry
    device->~PlainDevice();

    device = new (storage) PlainDevice();
    EXPECT_EQ(kelhost::attachedObserver(*device), nullptr);
    device->Reset();
    EXPECT_EQ(log.callsOf("Reset").size(), 1u);
    device->~PlainDevice();

    alignas(Kel36) unsigned char line_storage[sizeof(Kel36)];
    auto* line = new (line_storage) Kel36();
    kelhost::setPortPath(*line, "/dev/null");
    line->~Kel36();
    line = new (line_storage) Kel36();
    EXPECT_EQ(kelhost::portPath(*line), "");
    line->~Kel36();
}

TEST(StandInDeviceState, AThreadDrivingADeviceSeesAnObserverAttachedElsewhere)
{
    Kel36 device;
    CallLog before, after;
    kelhost::attachObserver(device, &before);
    std::promise<void> drove_once, reattached;
    std::thread driver([&] {
        device.RefreshStatus();
        drove_once.set_value();
        reattached.get_future().wait();
        device.RefreshStatus();
    });
    drove_once.get_future().wait();
    kelhost::attachObserver(device, &after);
    reattached.set_value();
    driver.join();
    EXPECT_EQ(sends(before), 1u);
    EXPECT_EQ(sends(after), 1u);
}

}  // namespace
