// The stand-in host's serial-port device: a raw line at the device's baud rate,
// a receive buffer that Reset and RefreshStatus empty, and every send recorded.

#include "framework/zrn_spdevice.h"

#include <cerrno>
#include <unistd.h>

#include "host/device_observer.h"
#include "host/device_state.h"
#include "host/serial_port.h"

using kelhost::observerOf;

ZRNSPDevice::ZRNSPDevice() = default;

ZRNSPDevice::~ZRNSPDevice() { ClosePort(); }

void ZRNSPDevice::Reset()
{
    rx_len_ = 0;
    ZRNVDevice::Reset();
}

int ZRNSPDevice::RefreshStatus()
{
    rx_len_ = 0;
    if (auto* o = observerOf(*this))
        o->onRefreshStatus(*this);
    return 1;
}

// The base device understands no protocol; drivers replace this.
int ZRNSPDevice::process(unsigned char* /*data*/, unsigned int /*length*/) { return 0; }

bool ZRNSPDevice::IsProcessing() { return rx_len_ > 0; }
bool ZRNSPDevice::IsStalled() { return false; }

int ZRNSPDevice::SendData(const unsigned char* data, unsigned int length)
{
    const kelhost::DeviceLine line = kelhost::lineOf(*this);
    if (line.observer)
        line.observer->onSendData(*this, data, length);
    if (line.port_fd < 0)
        return static_cast<int>(length);
    // Never waits for room: the caller's other lines must not wait with it.
    const long written = kelhost::writeNow(line.port_fd, data, length);
    if (written == static_cast<long>(length))
        return static_cast<int>(length);
    const int error = written < 0 ? errno : EAGAIN;
    if (line.observer)
        line.observer->onSendIncomplete(
            *this, written < 0 ? 0u : static_cast<unsigned int>(written), length, error);
    return written < 0 ? -1 : static_cast<int>(written);
}

// Parity is fixed when the line is opened; the stand-in sends the bytes as they are.
int ZRNSPDevice::SendParityData(const unsigned char* data, unsigned int length,
                                EnumParity /*parity*/)
{
    return SendData(data, length);
}

int ZRNSPDevice::OpenPort()
{
    ClosePort();
    const std::string path = kelhost::portPath(*this);
    if (path.empty())
        return 0;
    kelhost::SerialSettings settings;
    settings.baud = baud_rate_;
    const int fd = kelhost::openSerialPort(path, settings, nullptr);
    kelhost::setPortFd(*this, fd);
    return fd >= 0 ? 1 : 0;
}

void ZRNSPDevice::ClosePort()
{
    const int fd = kelhost::portFd(*this);
    if (fd >= 0)
        ::close(fd);
    kelhost::setPortFd(*this, -1);
}
