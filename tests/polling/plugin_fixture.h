#pragma once
// Black-box fixture: one Kel36 device from kel36.so loaded with dlopen, the way
// the host loads it, its host calls recorded.

#include <gtest/gtest.h>
#include <json/value.h>

#include <memory>
#include <string>
#include <vector>

#include "framework/zrn_spdevice.h"
#include "host/call_log.h"
#include "host/device_state.h"
#include "host/plugin_loader.h"
#include "polling_support.h"
#include "support/built_plugin.h"

namespace polltest {

class PluginDeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        plugin_ = testsupport::loadBuiltPlugin();
        device_ = plugin_.createDevice();
        kelhost::attachObserver(*device_, &log_);
        kelhost::setDefaultObserver(&log_);
        serial_ = dynamic_cast<ZRNSPDevice*>(device_.get());
        ASSERT_NE(serial_, nullptr) << "the plug-in's device is not a serial-port device";
    }
    void TearDown() override { kelhost::setDefaultObserver(nullptr); }

    // InitSetting with "appSetting" holding `app`; the log starts afresh.
    void configure(const Json::Value& app)
    {
        Json::Value config;
        config["appSetting"] = app;
        device_->InitSetting(config);
        log_.clear();
    }

    std::vector<std::string> sentFrames() const { return sentFramesIn(log_); }

    std::size_t count(const std::string& op) const { return log_.callsOf(op).size(); }

    int feedBytes(const std::string& bytes) { return feed(*serial_, bytes); }

    kelhost::Plugin plugin_;
    std::shared_ptr<ZRNVDevice> device_;
    ZRNSPDevice* serial_ = nullptr;
    kelhost::CallLog log_;
};

}  // namespace polltest
