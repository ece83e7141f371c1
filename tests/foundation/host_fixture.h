#pragma once
// Shared helpers of the foundation suites: a fixture that records every host
// call of the devices under test, JSON configuration from text, record bytes.

#include <array>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include "framework/ttime.h"
#include "host/call_log.h"

namespace foundation {

// Every device without an observer of its own, and every get_ttime call, reports
// to log_ while a test runs.
class HostCallTest : public ::testing::Test {
protected:
    void SetUp() override { kelhost::setDefaultObserver(&log_); }
    void TearDown() override { kelhost::setDefaultObserver(nullptr); }

    kelhost::CallLog log_;
};

inline Json::Value json(const std::string& text)
{
    Json::CharReaderBuilder builder;
    Json::Value value;
    std::string errors;
    std::istringstream in(text);
    if (!Json::parseFromStream(builder, in, &value, &errors))
        throw std::invalid_argument("bad test JSON " + text + ": " + errors);
    return value;
}

template <typename Record>
std::vector<unsigned char> bytesOf(const Record& record)
{
    const auto* p = reinterpret_cast<const unsigned char*>(&record);
    return std::vector<unsigned char>(p, p + sizeof(Record));
}

inline std::vector<unsigned char> ttimeBytes(boost::posix_time::ptime when)
{
    const ttime_t stamp = get_ttime(when);
    return std::vector<unsigned char>(stamp.begin(), stamp.end());
}

inline std::vector<unsigned char> slice(const std::vector<unsigned char>& bytes, std::size_t from,
                                        std::size_t to_excl)
{
    return std::vector<unsigned char>(bytes.begin() + from, bytes.begin() + to_excl);
}

}  // namespace foundation
