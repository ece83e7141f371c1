#pragma once

#include "framework/provider.h"

// Makes Kel36 drivers for the host.
class Kel36Provider : public ZRNSPDeviceProvider {
public:
    Kel36Provider() = default;
    ~Kel36Provider() override = default;
    ZRNVDevice* create() const override;
};
