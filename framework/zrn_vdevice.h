#pragma once
// The host's virtual device: data validity, threshold checks, record delivery and
// history. Everything not defined inline here is implemented by the host process.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <json/value.h>

#include "enum_parity.h"
#include "rule_value.h"
#include "vdevice_interface.h"

class ZRNController;

class ZRNVDevice : public VDeviceInterface, public std::enable_shared_from_this<ZRNVDevice> {
public:
    struct BAOSetting {
        std::string signal_name;
        float low = 0.0f;
        float high = 0.0f;
        int level = 0;
    };
    struct pi_alert_ {
        std::string signal_name;
        std::string alarm_id;
        bool active = false;
    };

    ZRNVDevice();
    virtual ~ZRNVDevice();
    ZRNVDevice(const ZRNVDevice&) = delete;
    ZRNVDevice& operator=(const ZRNVDevice&) = delete;

    virtual void Reset();
    virtual int InitV(ZRNVDevice* parent, unsigned int data_id, const Json::Value& config);
    virtual int Init(std::weak_ptr<ZRNController> controller, unsigned int data_id,
                     const Json::Value& config);
    virtual int InitSetting(const Json::Value& config);
    virtual bool IsSupportDevice(const std::string& device_type) const;
    virtual std::shared_ptr<ZRNVDevice> GetChildVDevice(unsigned int index)
    {
        (void)index;
        return std::shared_ptr<ZRNVDevice>();
    }
    virtual std::vector<std::shared_ptr<ZRNVDevice>> GetAllChildVDevices()
    {
        return std::vector<std::shared_ptr<ZRNVDevice>>();
    }
    virtual int SendSP(int record_type, const unsigned char* data, unsigned int length, bool urgent);
    virtual int SendDelayData(int delay_ms);
    virtual int SendDoData(int channel, char value);
    virtual int ReadDi(int channel);
    virtual float ReadAi(int channel);
    virtual float Get_SP_Value(unsigned int index, const std::string& name);
    virtual int RefreshStatus();
    virtual int process(unsigned char* data, unsigned int length);
    virtual bool IsProcessing();
    virtual bool IsStalled();
    virtual int SendData(const unsigned char* data, unsigned int length);
    virtual int SendParityData(const unsigned char* data, unsigned int length, EnumParity parity);
    virtual int OpenPort();
    virtual void ClosePort();

    // Non-virtual threshold services of the host.
    bool CheckAOReport(const std::string& name, float value);
    int CheckThreshold(const std::string& name, const std::string& text, const float& value,
                       int seq);
    int CheckThresholdBool(int kind, const std::string& name, const std::string& alarm_code,
                           const std::string& text, const std::string& text2, bool state,
                           unsigned short seq);
    int DoBatchCheckThreshold(const std::vector<rule_value>& rules);
    int SaveDeviceHistory(const unsigned char* data, unsigned int length);

    uint16_t check_seq_ = 0;
    boost::posix_time::ptime last_time_;
    bool data_valid_ = false;
    std::vector<rule_value> rule_values_;
    bool report_flag_ = false;
    std::vector<std::string> ao_names_;
    std::map<std::string, float> ao_values_;
    std::map<std::string, int> threshold_levels_;
    std::map<std::string, float> threshold_values_;

    std::weak_ptr<ZRNController> controller_;
    std::map<std::string, BAOSetting> bao_settings_;
    std::vector<boost::shared_ptr<pi_alert_>> pi_alerts_;
    boost::mutex device_mutex_;
};
