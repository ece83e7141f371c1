#pragma once
// What the stand-in host keeps for each device beside the framework's members:
// the observer that watches the device's calls into the host, and its serial
// line. A real host keeps such things its own way; here they live in a table
// keyed by the device, so the framework's declarations stay what a host
// declares. A device's entry goes when the device does.
//
// Every host call of a device reads its observer and line from a small
// per-thread cache, or on a miss under a shared lock; neither allocates.
// Entries are written only when a tool or test sets a device up, when its line
// opens or closes, and when it is destroyed. Attach and detach observers while
// the device is not being driven.

#include <string>

class ZRNVDevice;
class ZRNSPDevice;

namespace kelhost {

class DeviceObserver;

// The device's calls go to this observer from now on; nullptr detaches it, and
// they go to the default observer again (setDefaultObserver).
void attachObserver(ZRNVDevice& device, DeviceObserver* observer);
DeviceObserver* attachedObserver(const ZRNVDevice& device);
// Where a call of the device goes: its own observer, else the default one.
DeviceObserver* observerOf(const ZRNVDevice& device);

// Both at once, for SendData: where its calls go, and its open line (-1: none).
struct DeviceLine {
    DeviceObserver* observer;
    int port_fd;
};
DeviceLine lineOf(const ZRNVDevice& device);

// The line that the device's OpenPort opens.
void setPortPath(ZRNSPDevice& device, const std::string& path);
std::string portPath(const ZRNSPDevice& device);
// An open line the device sends on from now on (-1: none). The device closes it
// in ClosePort and when it is destroyed.
void setPortFd(ZRNSPDevice& device, int fd);
int portFd(const ZRNSPDevice& device);

// Drops the device's entry; the stand-in's ZRNVDevice destructor calls it.
void forgetDevice(const ZRNVDevice& device);

}  // namespace kelhost
