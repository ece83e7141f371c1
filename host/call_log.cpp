#include "host/call_log.h"

#include <boost/date_time/posix_time/posix_time.hpp>

namespace kelhost {

std::vector<HostCall> CallLog::calls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

std::vector<std::string> CallLog::ops() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const HostCall& c : calls_)
        out.push_back(c.op);
    return out;
}

std::vector<HostCall> CallLog::callsOf(const std::string& op) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<HostCall> out;
    for (const HostCall& c : calls_)
        if (c.op == op)
            out.push_back(c);
    return out;
}

void CallLog::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
}

void CallLog::add(HostCall call)
{
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
}

void CallLog::onGetTtime(boost::posix_time::ptime when)
{
    add({"get_ttime", {boost::posix_time::to_simple_string(when)}, {}, 0.0f, nullptr});
}

void CallLog::onSendSP(ZRNVDevice& dev, int record_type, const unsigned char* data,
                       unsigned int length, bool urgent)
{
    add({"SendSP",
         {std::to_string(record_type), std::to_string(length), urgent ? "true" : "false"},
         std::vector<unsigned char>(data, data + length),
         0.0f,
         &dev});
}

void CallLog::onReset(ZRNVDevice& dev) { add({"Reset", {}, {}, 0.0f, &dev}); }

void CallLog::onRefreshStatus(ZRNVDevice& dev) { add({"RefreshStatus", {}, {}, 0.0f, &dev}); }

void CallLog::onSendData(ZRNVDevice& dev, const unsigned char* data, unsigned int length)
{
    add({"SendData", {std::to_string(length)}, std::vector<unsigned char>(data, data + length),
         0.0f, &dev});
}

bool CallLog::onCheckAOReport(ZRNVDevice& dev, const std::string& name, float value)
{
    add({"CheckAOReport", {name}, {}, value, &dev});
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = ao_report_answers.find(name);
    return it != ao_report_answers.end() && it->second;
}

void CallLog::onCheckThreshold(ZRNVDevice& dev, const std::string& name, const std::string& text,
                               const float& value, int seq)
{
    add({"CheckThreshold", {name, text, std::to_string(seq)}, {}, value, &dev});
}

void CallLog::onCheckThresholdBool(ZRNVDevice& dev, int kind, const std::string& name,
                                   const std::string& code, const std::string& text,
                                   const std::string& text2, bool state, unsigned short seq)
{
    add({"CheckThresholdBool",
         {std::to_string(kind), name, code, text, text2, state ? "true" : "false",
          std::to_string(seq)},
         {},
         0.0f,
         &dev});
}

bool CallLog::onDoBatchCheckThreshold(ZRNVDevice& dev, const std::vector<rule_value>& rules)
{
    add({"DoBatchCheckThreshold", {std::to_string(rules.size())}, {}, 0.0f, &dev});
    std::lock_guard<std::mutex> lock(mutex_);
    return batch_answer;
}

void CallLog::onSaveDeviceHistory(ZRNVDevice& dev, const unsigned char* data,
                                  unsigned int length)
{
    add({"SaveDeviceHistory", {std::to_string(length)},
         std::vector<unsigned char>(data, data + length), 0.0f, &dev});
}

void CallLog::onInitSetting(ZRNVDevice& dev, const Json::Value& config)
{
    add({"InitSetting", {config.toStyledString()}, {}, 0.0f, &dev});
}

}  // namespace kelhost
