#pragma once
// White-box fixture: a Kel36 driver linked directly, its host calls recorded.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/call_log.h"
#include "host/device_state.h"
#include "kel36/kel36.h"
#include "polling_support.h"

namespace polltest {

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        kelhost::attachObserver(device_, &log_);
        kelhost::setDefaultObserver(&log_);
    }
    void TearDown() override { kelhost::setDefaultObserver(nullptr); }

    RecordBytes record() const
    {
        RecordBytes bytes;
        std::memcpy(bytes.data(), &device_.data_, bytes.size());
        return bytes;
    }

    std::vector<std::string> sentFrames() const { return sentFramesIn(log_); }

    std::size_t count(const std::string& op) const { return log_.callsOf(op).size(); }

    int feedBytes(const std::string& bytes) { return feed(device_, bytes); }

    Kel36 device_;
    kelhost::CallLog log_;
};

}  // namespace polltest
