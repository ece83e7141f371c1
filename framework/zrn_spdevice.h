#pragma once
// The host's serial-port device: owns the port, the receive buffer and the
// polling step of a device that talks request/reply on a serial line.

#include <cstdint>

#include <boost/thread/mutex.hpp>
#include <boost/thread/shared_mutex.hpp>

#include "zrn_vdevice.h"

class ZRNSPDevice : public ZRNVDevice {
public:
    ZRNSPDevice();
    ~ZRNSPDevice() override;

    void Reset() override;
    int RefreshStatus() override;
    int process(unsigned char* data, unsigned int length) override;
    bool IsProcessing() override;
    bool IsStalled() override;
    int SendData(const unsigned char* data, unsigned int length) override;
    int SendParityData(const unsigned char* data, unsigned int length, EnumParity parity) override;
    int OpenPort() override;
    void ClosePort() override;

    uint32_t poll_step_ = 0;
    unsigned char rx_buf_[256] = {};
    uint32_t rx_len_ = 0;
    int32_t baud_rate_ = 9600;
    int32_t port_setting_ = 0;  // line format code chosen by the driver

    boost::mutex port_mutex_;
    boost::shared_mutex state_mutex_;
};
