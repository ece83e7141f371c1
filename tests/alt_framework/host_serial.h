#pragma once
// This host's serial-port device. It first declares the line operations, after
// everything ZRNVDevice declares, so the table order is the same.

#include <boost/thread/mutex.hpp>
#include <boost/thread/shared_mutex.hpp>

#include "host_device.h"
#include "host_types.h"

class ZRNSPDevice : public ZRNVDevice {
public:
    ZRNSPDevice();
    ~ZRNSPDevice() override;

    void Reset() override;
    virtual int RefreshStatus();
    virtual int process(unsigned char* bytes, unsigned int count);
    virtual bool IsProcessing();
    virtual bool IsStalled();
    virtual int SendData(const unsigned char* bytes, unsigned int count);
    virtual int SendParityData(const unsigned char* bytes, unsigned int count, EnumParity parity);
    virtual int OpenPort();
    virtual void ClosePort();

    int SendData(const std::string& text);

private:
    boost::shared_mutex line_state_;
    boost::mutex write_guard_;
    long bytes_written_ = 0;

protected:
    int baud_rate_ = 9600;
    unsigned int port_setting_ = 0;
    unsigned int rx_len_ = 0;
    unsigned char rx_buf_[64] = {};
    unsigned int poll_step_ = 0;
};
