// The stand-in host's virtual device. It keeps no alarm or history state of its
// own: every service call goes to the device's observer, which decides what the
// host answers.

#include "framework/zrn_vdevice.h"

#include <atomic>

#include "host/device_observer.h"
#include "host/device_state.h"

namespace kelhost {
namespace {
std::atomic<DeviceObserver*> g_default_observer{nullptr};
}

void setDefaultObserver(DeviceObserver* observer) { g_default_observer.store(observer); }
DeviceObserver* defaultObserver() { return g_default_observer.load(); }

}  // namespace kelhost

using kelhost::observerOf;

ZRNVDevice::ZRNVDevice() = default;
ZRNVDevice::~ZRNVDevice() { kelhost::forgetDevice(*this); }

void ZRNVDevice::Reset()
{
    if (auto* o = observerOf(*this))
        o->onReset(*this);
}

int ZRNVDevice::InitV(ZRNVDevice* /*parent*/, unsigned int data_id, const Json::Value& config)
{
    data_id_ = data_id;
    return InitSetting(config);
}

int ZRNVDevice::Init(std::weak_ptr<ZRNController> controller, unsigned int data_id,
                     const Json::Value& config)
{
    controller_ = std::move(controller);
    data_id_ = data_id;
    return InitSetting(config);
}

int ZRNVDevice::InitSetting(const Json::Value& config)
{
    if (auto* o = observerOf(*this))
        o->onInitSetting(*this, config);
    return 1;
}

bool ZRNVDevice::IsSupportDevice(const std::string& device_type) const
{
    return device_type == device_type_;
}

int ZRNVDevice::SendSP(int record_type, const unsigned char* data, unsigned int length,
                       bool urgent)
{
    if (auto* o = observerOf(*this))
        o->onSendSP(*this, record_type, data, length, urgent);
    return 1;
}

// Digital and analogue channels belong to other device kinds of the host.
int ZRNVDevice::SendDelayData(int /*delay_ms*/) { return 0; }
int ZRNVDevice::SendDoData(int /*channel*/, char /*value*/) { return 0; }
int ZRNVDevice::ReadDi(int /*channel*/) { return 0; }
float ZRNVDevice::ReadAi(int /*channel*/) { return 0.0f; }
float ZRNVDevice::Get_SP_Value(unsigned int index, const std::string& name)
{
    return Get_Value(index, name);
}

// A plain virtual device has no serial line.
int ZRNVDevice::RefreshStatus() { return 0; }
int ZRNVDevice::process(unsigned char* /*data*/, unsigned int /*length*/) { return 0; }
bool ZRNVDevice::IsProcessing() { return false; }
bool ZRNVDevice::IsStalled() { return false; }
int ZRNVDevice::SendData(const unsigned char* /*data*/, unsigned int /*length*/) { return -1; }
int ZRNVDevice::SendParityData(const unsigned char* /*data*/, unsigned int /*length*/,
                               EnumParity /*parity*/)
{
    return -1;
}
int ZRNVDevice::OpenPort() { return 0; }
void ZRNVDevice::ClosePort() {}

bool ZRNVDevice::CheckAOReport(const std::string& name, float value)
{
    auto* o = observerOf(*this);
    return o ? o->onCheckAOReport(*this, name, value) : false;
}

int ZRNVDevice::CheckThreshold(const std::string& name, const std::string& text,
                               const float& value, int seq)
{
    if (auto* o = observerOf(*this))
        o->onCheckThreshold(*this, name, text, value, seq);
    return 0;
}

int ZRNVDevice::CheckThresholdBool(int kind, const std::string& name,
                                   const std::string& alarm_code, const std::string& text,
                                   const std::string& text2, bool state, unsigned short seq)
{
    if (auto* o = observerOf(*this))
        o->onCheckThresholdBool(*this, kind, name, alarm_code, text, text2, state, seq);
    return 0;
}

int ZRNVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules)
{
    auto* o = observerOf(*this);
    return (o && o->onDoBatchCheckThreshold(*this, rules)) ? 1 : 0;
}

int ZRNVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int length)
{
    if (auto* o = observerOf(*this))
        o->onSaveDeviceHistory(*this, data, length);
    return 1;
}
