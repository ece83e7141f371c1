#pragma once
// This host's device base classes. Contract members are protected, the host's
// own are private and come first; the threshold services return what this host
// chose where the driver ignores the result.

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <json/value.h>

#include "host_types.h"

class ZRNController;

class VDeviceInterface {
public:
    virtual float Get_Value(unsigned int, const std::string&) const
    {
        throw std::out_of_range("数据未就绪");
    }
    virtual int LoadFromCache(const std::string& bytes)
    {
        return LoadFromCache(reinterpret_cast<const unsigned char*>(bytes.data()),
                             static_cast<int>(bytes.size()));
    }
    virtual int LoadFromCache(const unsigned char* bytes, int length) = 0;
    virtual unsigned int DataId() const { return data_id_; }
    virtual const std::string& DeviceType() const { return device_type_; }
    virtual int DeviceIoControl(int, const void*, int, void*, int, int&) { return -2; }
    virtual void RoundDone() {}
    virtual bool UseControllerDb() { return use_controller_db_; }

protected:
    VDeviceInterface() = default;
    ~VDeviceInterface() = default;

    unsigned int data_id_ = 0;
    std::string device_type_;
    bool use_controller_db_ = false;
};

class ZRNVDevice : public VDeviceInterface, public std::enable_shared_from_this<ZRNVDevice> {
public:
    struct BAOSetting {
        double lower = 0.0;
        double upper = 0.0;
    };
    struct pi_alert_ {
        unsigned int id = 0;
        std::string text;
    };

    ZRNVDevice();
    virtual ~ZRNVDevice();

    virtual void Reset();
    virtual int InitV(ZRNVDevice* parent, unsigned int id, const Json::Value& node);
    virtual int Init(std::weak_ptr<ZRNController> owner, unsigned int id, const Json::Value& node);
    virtual int InitSetting(const Json::Value& node);
    virtual bool IsSupportDevice(const std::string& type) const;
    virtual std::shared_ptr<ZRNVDevice> GetChildVDevice(unsigned int) { return {}; }
    virtual std::vector<std::shared_ptr<ZRNVDevice>> GetAllChildVDevices() { return {}; }
    virtual bool SendSP(int type, const unsigned char* data, unsigned int size, bool now);
    virtual int SendDelayData(int ms);
    virtual int SendDoData(int channel, char state);
    virtual int ReadDi(int channel);
    virtual float ReadAi(int channel);
    virtual float Get_SP_Value(unsigned int index, const std::string& name);

protected:
    bool CheckAOReport(const std::string& name, float value);
    bool CheckAOReport(const std::string& name, double value);
    void CheckThreshold(const std::string& name, const std::string& text, const float& value,
                        int seq);
    void CheckThresholdBool(int kind, const std::string& name, const std::string& code,
                            const std::string& on_text, const std::string& off_text, bool state,
                            unsigned short seq);
    bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
    void SaveDeviceHistory(const unsigned char* data, unsigned int size);

private:
    boost::mutex guard_;
    std::vector<boost::shared_ptr<pi_alert_>> alerts_;
    std::map<std::string, BAOSetting> ao_settings_;
    std::weak_ptr<ZRNController> owner_;

protected:
    std::map<std::string, float> threshold_values_;
    std::map<std::string, int> threshold_levels_;
    std::map<std::string, float> ao_values_;
    std::vector<std::string> ao_names_;
    bool report_flag_ = false;
    std::vector<rule_value> rule_values_;
    bool data_valid_ = false;
    boost::posix_time::ptime last_time_;
    unsigned short check_seq_ = 0;
};
