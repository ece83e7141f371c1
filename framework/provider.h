#pragma once
// Device providers: a plug-in hands the host one provider per device model it
// can make.

class ZRNVDevice;

class Provider {
public:
    Provider();
    virtual ~Provider();
};

class ZRNSPDeviceProvider : public Provider {
public:
    ZRNSPDeviceProvider();
    ~ZRNSPDeviceProvider() override;
    virtual ZRNVDevice* create() const = 0;
};
