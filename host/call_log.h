#pragma once
// A device observer that records every host call in order, with its arguments,
// so tests can check exactly what a driver asked of the host.

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/device_observer.h"

namespace kelhost {

struct HostCall {
    std::string op;                   // e.g. "SendSP", "CheckThresholdBool", "get_ttime"
    std::vector<std::string> args;    // every argument but byte buffers, as text
    std::vector<unsigned char> bytes; // the byte buffer argument, if the call has one
    float value = 0.0f;               // the float argument, exactly, if the call has one
    const ZRNVDevice* device = nullptr;
};

class CallLog : public DeviceObserver {
public:
    // What the host's checks answer: per signal name for CheckAOReport.
    std::map<std::string, bool> ao_report_answers;
    bool batch_answer = false;

    std::vector<HostCall> calls() const;
    std::vector<std::string> ops() const;  // just the names, in order
    std::vector<HostCall> callsOf(const std::string& op) const;
    void clear();

    void onGetTtime(boost::posix_time::ptime when) override;
    void onSendSP(ZRNVDevice& dev, int record_type, const unsigned char* data, unsigned int length,
                  bool urgent) override;
    void onReset(ZRNVDevice& dev) override;
    void onRefreshStatus(ZRNVDevice& dev) override;
    void onSendData(ZRNVDevice& dev, const unsigned char* data, unsigned int length) override;
    bool onCheckAOReport(ZRNVDevice& dev, const std::string& name, float value) override;
    void onCheckThreshold(ZRNVDevice& dev, const std::string& name, const std::string& text,
                          const float& value, int seq) override;
    void onCheckThresholdBool(ZRNVDevice& dev, int kind, const std::string& name,
                              const std::string& code, const std::string& text,
                              const std::string& text2, bool state, unsigned short seq) override;
    bool onDoBatchCheckThreshold(ZRNVDevice& dev, const std::vector<rule_value>& rules) override;
    void onSaveDeviceHistory(ZRNVDevice& dev, const unsigned char* data,
                             unsigned int length) override;
    void onInitSetting(ZRNVDevice& dev, const Json::Value& config) override;

private:
    void add(HostCall call);

    mutable std::mutex mutex_;
    std::vector<HostCall> calls_;
};

}  // namespace kelhost
