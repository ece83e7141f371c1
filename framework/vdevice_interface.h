#pragma once
// Root of the host's device hierarchy. The first eight virtual slots of every
// device live here; their order is part of the binary contract with the host.

#include <climits>
#include <cstddef>
#include <stdexcept>
#include <string>

class VDeviceInterface {
public:
    virtual float Get_Value(unsigned int index, const std::string& name) const
    {
        (void)index;
        (void)name;
        throw std::out_of_range("数据未就绪");
    }
    virtual int LoadFromCache(const std::string& cached)
    {
        // A length beyond int would wrap into a plausible one; pass -1, which
        // every record size refuses.
        const int length = cached.size() > static_cast<std::size_t>(INT_MAX)
                               ? -1
                               : static_cast<int>(cached.size());
        return LoadFromCache(reinterpret_cast<const unsigned char*>(cached.data()), length);
    }
    virtual int LoadFromCache(const unsigned char* bytes, int length) = 0;
    virtual unsigned int DataId() const { return data_id_; }
    virtual const std::string& DeviceType() const { return device_type_; }
    virtual int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                                int& out_written)
    {
        (void)code;
        (void)in;
        (void)in_len;
        (void)out;
        (void)out_len;
        (void)out_written;
        return -2;
    }
    virtual void RoundDone() {}
    virtual bool UseControllerDb() { return use_controller_db_; }

    unsigned int data_id_ = 0;
    std::string device_type_;
    bool use_controller_db_ = false;

    // No virtual destructor here: devices are destroyed through ZRNVDevice.
protected:
    VDeviceInterface() = default;
    VDeviceInterface(const VDeviceInterface&) = default;
    VDeviceInterface& operator=(const VDeviceInterface&) = default;
    ~VDeviceInterface() = default;
};
