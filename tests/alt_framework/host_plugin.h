#pragma once
// This host's device providers. create() is typed as the serial device here.

class ZRNSPDevice;

class Provider {
public:
    virtual ~Provider();
};

class ZRNSPDeviceProvider : public Provider {
public:
    ~ZRNSPDeviceProvider() override;
    virtual ZRNSPDevice* create() const = 0;
};
