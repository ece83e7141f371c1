#pragma once
// How the stand-in host makes a device's calls into the framework visible.
// Tests record them; the field tools print, trace and store them. Every hook
// has a do-nothing default, so a null observer costs one virtual call.

#include <string>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>
#include <json/value.h>

#include "framework/enum_parity.h"
#include "framework/rule_value.h"

class ZRNVDevice;
class ZRNSPDevice;

namespace kelhost {

class DeviceObserver {
public:
    virtual ~DeviceObserver() = default;

    virtual void onGetTtime(boost::posix_time::ptime when) { (void)when; }
    virtual void onSendSP(ZRNVDevice& dev, int record_type, const unsigned char* data,
                          unsigned int length, bool urgent)
    {
        (void)dev, (void)record_type, (void)data, (void)length, (void)urgent;
    }
    virtual void onReset(ZRNVDevice& dev) { (void)dev; }
    virtual void onRefreshStatus(ZRNVDevice& dev) { (void)dev; }
    virtual void onSendData(ZRNVDevice& dev, const unsigned char* data, unsigned int length)
    {
        (void)dev, (void)data, (void)length;
    }
    // A send the line did not take whole at once: `written` of `length` bytes
    // went out; `error` is the errno of the failed write (EAGAIN: the line's
    // output buffer is full).
    virtual void onSendIncomplete(ZRNVDevice& dev, unsigned int written, unsigned int length,
                                  int error)
    {
        (void)dev, (void)written, (void)length, (void)error;
    }
    // Returns what the host's report check answers (true: report the value).
    virtual bool onCheckAOReport(ZRNVDevice& dev, const std::string& name, float value)
    {
        (void)dev, (void)name, (void)value;
        return false;
    }
    virtual void onCheckThreshold(ZRNVDevice& dev, const std::string& name, const std::string& text,
                                  const float& value, int seq)
    {
        (void)dev, (void)name, (void)text, (void)value, (void)seq;
    }
    virtual void onCheckThresholdBool(ZRNVDevice& dev, int kind, const std::string& name,
                                      const std::string& code, const std::string& text,
                                      const std::string& text2, bool state, unsigned short seq)
    {
        (void)dev, (void)kind, (void)name, (void)code, (void)text, (void)text2, (void)state,
            (void)seq;
    }
    // Returns what the host's batch check answers.
    virtual bool onDoBatchCheckThreshold(ZRNVDevice& dev, const std::vector<rule_value>& rules)
    {
        (void)dev, (void)rules;
        return false;
    }
    virtual void onSaveDeviceHistory(ZRNVDevice& dev, const unsigned char* data,
                                     unsigned int length)
    {
        (void)dev, (void)data, (void)length;
    }
    virtual void onInitSetting(ZRNVDevice& dev, const Json::Value& config)
    {
        (void)dev, (void)config;
    }
};

// Receives the calls of devices that have no observer of their own, and every
// get_ttime call (a free function that knows no device).
void setDefaultObserver(DeviceObserver* observer);
DeviceObserver* defaultObserver();

}  // namespace kelhost
