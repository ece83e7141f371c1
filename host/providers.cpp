#include "framework/provider.h"
#include "framework/zrn_controller.h"

Provider::Provider() = default;
Provider::~Provider() = default;
ZRNSPDeviceProvider::ZRNSPDeviceProvider() = default;
ZRNSPDeviceProvider::~ZRNSPDeviceProvider() = default;

ZRNController::ZRNController() = default;
ZRNController::~ZRNController() = default;
const std::string& ZRNController::Name() const { return name_; }
