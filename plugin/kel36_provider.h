#pragma once

#include "framework.h"
#include "kel36/kel36.h"

// Makes Kel36 drivers for the host.
class Kel36Provider : public ZRNSPDeviceProvider {
public:
    Kel36Provider() = default;
    ~Kel36Provider() override = default;
    // Typed as the driver itself: the override then fits a framework that
    // declares create() returning any base of the device (ZRNVDevice*,
    // ZRNSPDevice*), and the object needs no adjustment to either.
    Kel36* create() const override;
};
