#pragma once
// Generic layer between the host's serial device and a concrete driver: owns the
// packed data record, completes polling rounds (time stamp, delivery, checks,
// history), restores the record from the host's cache and loads threshold
// settings for drivers that keep this configuration step.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#include "framework.h"
#include "unidata/record_bytes.h"

template <typename Data, typename Base, int RecordTypeId>
class UniDataDevice : public Base {
public:
    static_assert(sizeof(Data) >= 11, "a record holds at least its identifier and time value");

    UniDataDevice() { std::memset(&data_, 0, sizeof(Data)); }

    int LoadFromCache(const unsigned char* bytes, int length) override
    {
        if (bytes == nullptr || length != static_cast<int>(sizeof(Data)))
            return 0;
        std::memcpy(&data_, bytes, sizeof(Data));
        this->data_valid_ = true;
        RoundDone();
        return 1;
    }
    using Base::LoadFromCache;

    void RoundDone() override
    {
        this->data_valid_ = true;
        this->last_time_ = boost::posix_time::second_clock::local_time();
        // The host's time value is whatever 7-byte object its get_ttime returns
        // (an array, a packed struct): its bytes go into the record unchanged.
        const auto stamp = get_ttime(this->last_time_);
        static_assert(sizeof stamp == sizeof(Data::ttime) &&
                          std::is_trivially_copyable<decltype(stamp)>::value,
                      "get_ttime returns 7 bytes that can be copied");
        std::memcpy(recordBytes() + kTimeOffset, &stamp, sizeof stamp);
        this->SendSP(RecordTypeId, recordBytes(), sizeof(Data), false);
        this->Reset();
        this->check_seq_ = 1;
        this->report_flag_ = false;
        RunCheckThreshold();
        // The host's checks may change its lists while we walk them: walk the
        // names listed when the round ended, and look the value up again after
        // the report check in case that dropped it.
        const std::vector<std::string> names = this->ao_names_;
        for (const std::string& name : names) {
            auto found = this->ao_values_.find(name);
            if (found == this->ao_values_.end())
                continue;
            const float reported = found->second;
            if (this->CheckAOReport(name, reported) || this->report_flag_)
                this->report_flag_ = true;
            found = this->ao_values_.find(name);
            this->CheckThreshold(name, "", found != this->ao_values_.end() ? found->second : reported,
                                 1);
        }
        std::cout << "rvSize is " << this->rule_values_.size() << std::endl;
        if (this->DoBatchCheckThreshold(this->rule_values_))
            this->report_flag_ = true;
        this->SaveDeviceHistory(recordBytes(), sizeof(Data));
        this->rule_values_.clear();
    }

    ~UniDataDevice() override = default;

    int InitSetting(const Json::Value& config) override;

    virtual void RunCheckThreshold() {}

    Data data_;
    int32_t b_mode_ = 1;
    std::map<std::string, std::string> alarm_ids_;
    std::map<std::string, std::string> signal_names_;

protected:
    static constexpr std::size_t kTimeOffset = offsetof(Data, ttime);
    static_assert(sizeof(Data::ttime) == 7, "the time value is 7 bytes");

    unsigned char* recordBytes() { return reinterpret_cast<unsigned char*>(&data_); }
    const unsigned char* recordBytes() const
    {
        return reinterpret_cast<const unsigned char*>(&data_);
    }
    void writeDataId() { record::putU32(recordBytes(), 0, this->DataId()); }
};

#include "unidata/uni_data_settings.h"
