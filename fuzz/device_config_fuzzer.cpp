// Fuzz target: device configuration. The input is parsed as JSON and handed to
// Kel36::InitSetting and to the unified data device's own InitSetting. The only
// exception allowed out is the JSON library's, and only for a value that has
// no string form; everything else must leave valid request frames and exactly
// the settings the configuration names.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include <json/reader.h>
#include <json/value.h>

#include "fuzz_support.h"
#include "host/device_observer.h"
#include "host/device_state.h"
#include "kel36/kel36.h"
#include "unidata/uni_data_device.h"

namespace {

using fuzzsupport::upperHexPair;

constexpr unsigned kDataId = 0xA1B2C3D4u;
constexpr uint8_t kMask = 0x9E;

// The unified data device as a driver gets it when it keeps the template's
// configuration step.
class PlainUniDataDevice : public UniDataDevice<Kel36_Data_t, ZRNSPDevice, 5058> {};

class ConfigWatch : public kelhost::DeviceObserver {
public:
    int base_init_calls = 0;
    std::string last_frame;
    void onInitSetting(ZRNVDevice&, const Json::Value&) override { ++base_init_calls; }
    void onSendData(ZRNVDevice&, const unsigned char* data, unsigned int length) override
    {
        last_frame.assign(reinterpret_cast<const char*>(data), length);
    }
};

const Json::Value& member(const Json::Value& node, const char* key)
{
    static const Json::Value absent;
    return node.isObject() ? node[key] : absent;
}

bool hasNoStringForm(const Json::Value& v) { return v.isArray() || v.isObject(); }

// The configured address: the text read as atof reads it, truncated toward
// zero, low 8 bits; 0 when the truncated number does not fit 32 bits.
uint8_t expectedAddress(const std::string& text)
{
    const double whole = std::trunc(std::atof(text.c_str()));
    if (!(whole >= -2147483648.0 && whole <= 2147483647.0))
        return 0;
    return static_cast<uint8_t>(static_cast<int64_t>(whole) & 0xFF);
}

void checkFrames(const Kel36& dev)
{
    for (unsigned reg = 0; reg < Kel36::kRegisterCount; ++reg) {
        const char* frame = dev.cmd_table_[reg];
        FUZZ_CHECK(std::memchr(frame, '\0', 8) == frame + 7, "frame %u is not 7 bytes", reg);
        FUZZ_CHECK(frame[0] == '|', "frame %u starts with 0x%02X", reg, frame[0] & 0xFF);
        FUZZ_CHECK(upperHexPair(frame + 1) == (dev.addr_ ^ kMask), "frame %u: %s", reg, frame);
        FUZZ_CHECK(upperHexPair(frame + 3) == (kMask ^ 0xC8), "frame %u: %s", reg, frame);
        FUZZ_CHECK(upperHexPair(frame + 5) == static_cast<int>(kMask ^ reg), "frame %u: %s", reg,
                   frame);
    }
}

void checkDataId(const unsigned char* record)
{
    uint32_t id = 0;
    for (int i = 0; i < 4; ++i)
        id |= static_cast<uint32_t>(record[i]) << (8 * i);
    FUZZ_CHECK(id == kDataId, "data_id %08X", id);
}

void checkDriver(const Json::Value& config)
{
    Kel36 dev;
    ConfigWatch watch;
    kelhost::attachObserver(dev, &watch);
    dev.data_id_ = kDataId;
    // Start from a configured address and echo mode, and a confirmed
    // controller, so "left unchanged" is distinguishable from "fell back to
    // the default".
    Json::Value first;
    first["appSetting"]["addr"] = "7";
    first["appSetting"]["replyEcho"] = "off";
    dev.InitSetting(first);
    FUZZ_CHECK(dev.addr_ == 7, "address 7 not taken");
    FUZZ_CHECK(dev.reply_echo_ == kel36::ReplyEcho::Off, "echo mode off not taken");
    dev.echo_confirmed_ = true;

    char table_before[Kel36::kRegisterCount][8];
    std::memcpy(table_before, dev.cmd_table_, sizeof table_before);
    const Json::Value& addr = member(member(config, "appSetting"), "addr");
    const bool must_throw = !addr.isNull() && hasNoStringForm(addr);
    try {
        const int result = dev.InitSetting(config);
        FUZZ_CHECK(!must_throw, "an address without string form was accepted");
        FUZZ_CHECK(result == 1, "InitSetting returned %d", result);
        const uint8_t want = addr.isNull() ? 7 : expectedAddress(addr.asString());
        FUZZ_CHECK(dev.addr_ == want, "address %u, expected %u", dev.addr_, want);
        const Json::Value& echo = member(member(config, "appSetting"), "replyEcho");
        const kel36::ReplyEcho want_echo =
            echo.isString() && echo.asString() == "on"    ? kel36::ReplyEcho::On
            : echo.isString() && echo.asString() == "off" ? kel36::ReplyEcho::Off
                                                          : kel36::ReplyEcho::Auto;
        FUZZ_CHECK(dev.reply_echo_ == want_echo, "echo mode %d, expected %d",
                   static_cast<int>(dev.reply_echo_), static_cast<int>(want_echo));
        FUZZ_CHECK(!dev.echo_confirmed_, "still confirmed after InitSetting");
    } catch (const Json::Exception& e) {
        FUZZ_CHECK(must_throw, "JSON library failure: %s", e.what());
        FUZZ_CHECK(dev.addr_ == 7, "address changed by a failed configuration");
        FUZZ_CHECK(dev.reply_echo_ == kel36::ReplyEcho::Off && dev.echo_confirmed_,
                   "echo setting changed by a failed configuration");
        FUZZ_CHECK(std::memcmp(table_before, dev.cmd_table_, sizeof table_before) == 0,
                   "frames changed by a failed configuration");
    } catch (const std::exception& e) {
        FUZZ_CHECK(false, "InitSetting threw %s", e.what());
    }
    checkFrames(dev);
    const auto* record = reinterpret_cast<const unsigned char*>(&dev.data_);
    checkDataId(record);
    for (std::size_t i = 4; i < sizeof dev.data_; ++i)
        FUZZ_CHECK(record[i] == 0, "record byte %zu written by configuration", i);
    // The driver's configuration replaces the template's: no mode, no entries,
    // no call into the host's own configuration step.
    FUZZ_CHECK(dev.b_mode_ == 1 && dev.alarm_ids_.empty() && dev.signal_names_.empty(),
               "template settings read by the driver");
    FUZZ_CHECK(watch.base_init_calls == 0, "host InitSetting called by the driver");

    dev.RefreshStatus();
    FUZZ_CHECK(watch.last_frame == std::string(dev.cmd_table_[0], 7), "first frame %s",
               watch.last_frame.c_str());
}

struct ExpectedSettings {
    bool throws = false;
    int b_mode = 1;
    std::map<std::string, std::string> alarm_ids;
    std::map<std::string, std::string> signal_names;
};

ExpectedSettings expectedSettings(const Json::Value& config)
{
    ExpectedSettings e;
    const Json::Value& app = member(config, "appSetting");
    if (app.isObject()) {
        const Json::Value& mode = app["b_mode"];
        if (!mode.isNull()) {
            if (hasNoStringForm(mode)) {
                e.throws = true;
                return e;
            }
            e.b_mode = std::atoi(mode.asString().c_str());
        }
    }
    if (e.b_mode != 3)
        return e;
    const Json::Value& entries = member(config, "thresholdSetting");
    if (!entries.isObject())
        return e;
    for (const std::string& name : entries.getMemberNames()) {
        const Json::Value& entry = entries[name];
        if (!entry.isObject())
            continue;
        const Json::Value& signal = entry["SignalName"];
        if (!signal.isNull()) {
            if (hasNoStringForm(signal)) {
                e.throws = true;
                return e;
            }
            e.signal_names[name] = signal.asString();
        }
        std::string ident;
        for (const char* part : {"NMAlarmID", "ID", "SignalNumber"}) {
            const Json::Value& value = entry[part];
            if (!value.isNull()) {
                if (hasNoStringForm(value)) {
                    e.throws = true;
                    return e;
                }
                ident += value.asString();
            }
            ident += ';';
        }
        e.alarm_ids[name] = ident;
    }
    return e;
}

void checkUniData(const Json::Value& config)
{
    PlainUniDataDevice dev;
    ConfigWatch watch;
    kelhost::attachObserver(dev, &watch);
    dev.data_id_ = kDataId;
    const ExpectedSettings want = expectedSettings(config);
    try {
        const int result = dev.InitSetting(config);
        FUZZ_CHECK(!want.throws, "a value without string form was accepted");
        FUZZ_CHECK(result == 1, "InitSetting returned %d", result);
        FUZZ_CHECK(watch.base_init_calls == 1, "host InitSetting called %d times",
                   watch.base_init_calls);
        FUZZ_CHECK(dev.b_mode_ == want.b_mode, "b_mode_ %d, expected %d", dev.b_mode_,
                   want.b_mode);
        FUZZ_CHECK(dev.alarm_ids_ == want.alarm_ids, "alarm identifiers differ");
        FUZZ_CHECK(dev.signal_names_ == want.signal_names, "signal names differ");
        for (const auto& loaded : want.alarm_ids) {
            const auto level = dev.threshold_levels_.find(loaded.first);
            const auto value = dev.threshold_values_.find(loaded.first);
            FUZZ_CHECK(level != dev.threshold_levels_.end() && level->second == 0,
                       "threshold level of %s", loaded.first.c_str());
            FUZZ_CHECK(value != dev.threshold_values_.end() && value->second == 0.0f,
                       "threshold value of %s", loaded.first.c_str());
        }
    } catch (const Json::Exception& e) {
        FUZZ_CHECK(want.throws, "JSON library failure: %s", e.what());
        FUZZ_CHECK(watch.base_init_calls == 0, "host InitSetting called after a failure");
    } catch (const std::exception& e) {
        FUZZ_CHECK(false, "InitSetting threw %s", e.what());
    }
    checkDataId(reinterpret_cast<const unsigned char*>(&dev.data_));
}

std::unique_ptr<Json::CharReader> makeReader()
{
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["strictRoot"] = false;          // a scalar configuration must be survived too
    builder["allowSpecialFloats"] = true;   // NaN and infinities reach the address reading
    builder["stackLimit"] = 256;
    return std::unique_ptr<Json::CharReader>(builder.newCharReader());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::muteStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::unique_ptr<Json::CharReader> reader = makeReader();
    const char* text = reinterpret_cast<const char*>(data);
    Json::Value config;
    std::string errors;
    try {
        if (!reader->parse(text, text + size, &config, &errors))
            return 0;
    } catch (const Json::Exception&) {
        return 0;  // nesting beyond the reader's limit: not a configuration
    }
    checkDriver(config);
    checkUniData(config);
    return 0;
}
