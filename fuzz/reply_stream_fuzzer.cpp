// Fuzz target: the driver's receive side. The input is a small program run
// against one fresh Kel36 that talks to an observing stand-in host. Every
// operation is checked against what the polling protocol allows, so a finding
// is either a memory error or a broken invariant.
//
// Operation bytes (anything else is skipped):
//   0x00-0x07  process() with the next N input bytes as one chunk (N = the byte)
//   0x08       process() with a chunk whose length is the next byte
//   0x09       process() announcing a huge length (must be refused unread)
//   'R'        RefreshStatus()
//   'L'        LoadFromCache(bytes, length): next byte picks length/pointer,
//              then up to 101 record bytes
//   'S'        LoadFromCache(string): next byte is the length, then the bytes
//   'G'        Get_Value(): next byte picks the name and the index argument
//   'E'        InitSetting() with "appSetting"/"replyEcho" picked by the next
//              byte: "auto", "on", "off", absent, or a value read as "auto"
//
// The device starts configured without "replyEcho" ("auto"), so every
// program checks the echo rules: a reply that no step awaits is discarded
// whatever it holds; a non-hex data pair stalls; with "on", or with "auto"
// once a whole round has echoed, a reply whose bytes 2-3 do not name the
// awaited register stalls too.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#include "fuzz_support.h"
#include "host/device_observer.h"
#include "host/device_state.h"
#include "kel36/kel36.h"

namespace {

using fuzzsupport::InputReader;
using fuzzsupport::upperHexPair;

constexpr uint8_t kMask = 0x9E;
constexpr uint8_t kDefaultAddress = 0x41;
constexpr uint32_t kDataId = 0x0A0B0C0Du;
constexpr std::size_t kRecordSize = sizeof(Kel36_Data_t);
constexpr std::size_t kTimeOffset = offsetof(Kel36_Data_t, ttime);
constexpr std::size_t kReg64Offset = offsetof(Kel36_Data_t, reg64);

using Record = std::array<unsigned char, kRecordSize>;

int hexValue(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool isValidStep(uint32_t step) { return step <= 64 && step != 51; }
uint32_t stepAfter(uint32_t step) { return step == 50 ? 52 : step + 1; }
// The register requested before the reply of a step: step 1 awaits register 0.
unsigned registerOfStep(uint32_t step)
{
    return step == 1 ? 0 : step;
}

enum class EchoMode { Auto, On, Off };

struct EchoSetting {
    const char* what;
    EchoMode mode;
};
// Index 0 writes the text "auto"; the others up to 2 "on" and "off"; from 3 on,
// values that must read as "auto" (index 3 leaves the key out).
const EchoSetting kEchoSettings[] = {
    {"auto", EchoMode::Auto},   {"on", EchoMode::On},     {"off", EchoMode::Off},
    {"absent", EchoMode::Auto}, {"ON", EchoMode::Auto},   {"number", EchoMode::Auto},
    {"array", EchoMode::Auto},  {"null", EchoMode::Auto},
};
constexpr std::size_t kEchoSettingCount = sizeof kEchoSettings / sizeof kEchoSettings[0];

Json::Value echoConfig(std::size_t pick)
{
    Json::Value app(Json::objectValue);
    switch (pick) {
        case 0:
        case 1:
        case 2:
        case 4:
            app["replyEcho"] = kEchoSettings[pick].what;
            break;
        case 5:
            app["replyEcho"] = 1;
            break;
        case 6:
            app["replyEcho"].append("on");
            break;
        case 7:
            app["replyEcho"] = Json::Value();
            break;
        default:
            break;
    }
    Json::Value config(Json::objectValue);
    config["appSetting"] = app;
    return config;
}

// The stand-in host's view of one operation: what the driver asked of it.
class HostWatch : public kelhost::DeviceObserver {
public:
    std::vector<unsigned> requested;  // registers, in order
    int publishes = 0;
    int resets = 0;
    Record published{};

    void clear()
    {
        requested.clear();
        publishes = 0;
        resets = 0;
    }

    void onSendData(ZRNVDevice&, const unsigned char* data, unsigned int length) override
    {
        FUZZ_CHECK(length == 7, "frame of %u bytes", length);
        FUZZ_CHECK(data[0] == '|', "frame starts with 0x%02X", data[0]);
        const int address = upperHexPair(data + 1);
        const int command = upperHexPair(data + 3);
        const int reg_field = upperHexPair(data + 5);
        FUZZ_CHECK(address >= 0 && command >= 0 && reg_field >= 0, "frame %.7s not upper hex",
                   reinterpret_cast<const char*>(data));
        FUZZ_CHECK(address == (kDefaultAddress ^ kMask), "address field %02X", address);
        FUZZ_CHECK(command == (kMask ^ 0xC8), "command field %02X", command);
        const unsigned reg = static_cast<unsigned>(reg_field) ^ kMask;
        FUZZ_CHECK(reg <= 64 && reg != 1 && reg != 51, "request for register %u", reg);
        requested.push_back(reg);
    }

    void onSendSP(ZRNVDevice&, int record_type, const unsigned char* data, unsigned int length,
                  bool urgent) override
    {
        FUZZ_CHECK(record_type == 5058, "record type %d", record_type);
        FUZZ_CHECK(length == kRecordSize, "record of %u bytes", length);
        FUZZ_CHECK(!urgent, "record sent as urgent");
        std::memcpy(published.data(), data, kRecordSize);
        ++publishes;
    }

    void onReset(ZRNVDevice&) override { ++resets; }
};

struct LookupName {
    const char* name;
    std::ptrdiff_t offset;  // -1: not answered
};

const LookupName kLookupNames[] = {
    {"uab", offsetof(Kel36_Data_t, uab)},
    {"ubc", offsetof(Kel36_Data_t, ubc)},
    {"uca", offsetof(Kel36_Data_t, uca)},
    {"frequency", offsetof(Kel36_Data_t, frequency)},
    {"ua", offsetof(Kel36_Data_t, ua)},
    {"ub", offsetof(Kel36_Data_t, ub)},
    {"uc", offsetof(Kel36_Data_t, uc)},
    {"", -1},
    {"UAB", -1},
    {"uab ", -1},
    {"u", -1},
    {"battery_voltage", -1},
    {"a_5", -1},
    {"reg64", -1},
};
constexpr std::size_t kLookupNameCount = sizeof kLookupNames / sizeof kLookupNames[0];
const unsigned kLookupIndices[] = {0u, 1u, 5058u, 0xFFFFFFFFu};

class ReplyStreamRun {
public:
    ReplyStreamRun()
    {
        kelhost::attachObserver(device_, &watch_);
        device_.data_id_ = kDataId;
        device_.InitSetting(Json::Value(Json::objectValue));
    }

    void run(InputReader& in)
    {
        while (!in.done()) {
            const unsigned char op = in.byte();
            watch_.clear();
            if (op <= 0x07) {
                std::size_t got = 0;
                const unsigned char* bytes = in.take(op, got);
                chunk(bytes, static_cast<unsigned>(got));
            } else if (op == 0x08) {
                const unsigned want = in.byte();
                std::size_t got = 0;
                const unsigned char* bytes = in.take(want, got);
                chunk(bytes, static_cast<unsigned>(got));
            } else if (op == 0x09) {
                hugeChunk(0xFFFFFFFFu - in.byte());
            } else if (op == 'R') {
                refresh();
            } else if (op == 'L') {
                loadBytes(in);
            } else if (op == 'S') {
                loadString(in);
            } else if (op == 'G') {
                lookup(in.byte());
            } else if (op == 'E') {
                configureEcho(in.byte());
            } else {
                continue;
            }
            checkAlways();
        }
    }

private:
    Record record() const
    {
        Record r;
        std::memcpy(r.data(), &device_.data_, kRecordSize);
        return r;
    }

    void checkAlways() const
    {
        FUZZ_CHECK(device_.rx_len_ < 4, "rx_len_ %u after a call", device_.rx_len_);
        FUZZ_CHECK(device_.rx_len_ == pending_.size(), "rx_len_ %u, gathered %zu",
                   device_.rx_len_, pending_.size());
        FUZZ_CHECK(isValidStep(device_.poll_step_), "poll_step_ %u", device_.poll_step_);
        FUZZ_CHECK(device_.echo_confirmed_ == echo_confirmed_, "echo confirmed %d, expected %d",
                   device_.echo_confirmed_, echo_confirmed_);
    }

    void expectQuiet(uint32_t step_before, const Record& before) const
    {
        FUZZ_CHECK(watch_.requested.empty(), "request sent");
        FUZZ_CHECK(watch_.publishes == 0, "record published");
        FUZZ_CHECK(device_.poll_step_ == step_before, "step %u -> %u", step_before,
                   device_.poll_step_);
        FUZZ_CHECK(record() == before, "record changed");
    }

    void chunk(const unsigned char* bytes, unsigned len)
    {
        // process() takes a writable buffer: hand it a copy, never the input.
        std::vector<unsigned char> copy(bytes, bytes + len);
        const uint32_t step_before = device_.poll_step_;
        const Record before = record();
        const int result = device_.process(copy.empty() ? nullptr : copy.data(), len);
        FUZZ_CHECK(result == 0 || result == 1, "process returned %d", result);

        if (pending_.size() + len >= 5) {
            FUZZ_CHECK(result == 0 && watch_.resets == 1, "too many bytes not refused");
            expectQuiet(step_before, before);
            pending_.clear();
            return;
        }
        pending_.insert(pending_.end(), bytes, bytes + len);
        if (pending_.size() < 4) {
            FUZZ_CHECK(result == 1 && watch_.resets == 0, "partial reply not kept");
            expectQuiet(step_before, before);
            return;
        }
        const std::vector<unsigned char> reply = pending_;
        pending_.clear();
        if (step_before == 0 || step_before == 51 || (step_before == 64 && round_published_)) {
            FUZZ_CHECK(result == 1 && watch_.resets == 0, "discarded reply at step %u",
                       step_before);
            expectQuiet(step_before, before);
            return;
        }
        const int high = hexValue(reply[0]);
        const int low = hexValue(reply[1]);
        if (high < 0 || low < 0) {
            FUZZ_CHECK(result == 0 && watch_.resets == 1, "garbled reply did not stall");
            expectQuiet(step_before, before);
            return;
        }
        const int echo_high = hexValue(reply[2]);
        const int echo_low = hexValue(reply[3]);
        const bool echoed =
            echo_mode_ != EchoMode::Off && echo_high >= 0 && echo_low >= 0 &&
            echo_high * 16 + echo_low == static_cast<int>(kMask ^ registerOfStep(step_before));
        const bool echo_required =
            echo_mode_ == EchoMode::On || (echo_mode_ == EchoMode::Auto && echo_confirmed_);
        if (echo_required && !echoed) {
            FUZZ_CHECK(result == 0 && watch_.resets == 1, "reply for another register at step %u",
                       step_before);
            expectQuiet(step_before, before);
            return;
        }
        if (echoed)
            ++echoed_in_round_;
        const auto value = static_cast<uint8_t>((high * 16 + low) ^ kMask);
        if (step_before == 64) {
            FUZZ_CHECK(result == 0, "round end returned %d", result);
            FUZZ_CHECK(watch_.publishes == 1 && watch_.requested.empty(), "round end");
            FUZZ_CHECK(device_.poll_step_ == 64, "step after round end %u", device_.poll_step_);
            FUZZ_CHECK(watch_.published == record(), "published bytes differ from the record");
            FUZZ_CHECK(watch_.published[kReg64Offset] == value, "reg64 %u, reply %u",
                       watch_.published[kReg64Offset], value);
            FUZZ_CHECK(device_.data_valid_, "data not valid after a round");
            round_published_ = true;
            if (echo_mode_ == EchoMode::Auto && echoed_in_round_ == 63)
                echo_confirmed_ = true;
            return;
        }
        FUZZ_CHECK(result == 1 && watch_.resets == 0, "step %u", step_before);
        FUZZ_CHECK(watch_.publishes == 0, "record published at step %u", step_before);
        FUZZ_CHECK(watch_.requested.size() == 1, "%zu requests", watch_.requested.size());
        FUZZ_CHECK(watch_.requested[0] == stepAfter(step_before), "step %u asked register %u",
                   step_before, watch_.requested[0]);
        FUZZ_CHECK(device_.poll_step_ == stepAfter(step_before), "step %u -> %u", step_before,
                   device_.poll_step_);
        const Record after = record();
        // The parser owns the device bytes only: identifier and time stay.
        FUZZ_CHECK(std::memcmp(after.data(), before.data(), 4) == 0, "data_id written");
        FUZZ_CHECK(std::memcmp(after.data() + kTimeOffset, before.data() + kTimeOffset, 7) == 0,
                   "ttime written");
    }

    void hugeChunk(unsigned len)
    {
        // Only 4 bytes are really there: a driver that copied would be caught by
        // AddressSanitizer (or fault without it).
        unsigned char bytes[4] = {'0', '0', '0', '0'};
        const uint32_t step_before = device_.poll_step_;
        const Record before = record();
        const int result = device_.process(bytes, len);
        FUZZ_CHECK(result == 0 && watch_.resets == 1, "chunk of %u bytes not refused", len);
        expectQuiet(step_before, before);
        pending_.clear();
    }

    void refresh()
    {
        const int result = device_.RefreshStatus();
        FUZZ_CHECK(result == 1, "RefreshStatus returned %d", result);
        FUZZ_CHECK(watch_.requested.size() == 1 && watch_.requested[0] == 0,
                   "round did not start with register 0");
        FUZZ_CHECK(device_.poll_step_ == 1, "step %u after RefreshStatus", device_.poll_step_);
        FUZZ_CHECK(watch_.publishes == 0, "record published by RefreshStatus");
        pending_.clear();
        round_published_ = false;
        echoed_in_round_ = 0;
    }

    void configureEcho(unsigned char pick)
    {
        const std::size_t index = pick % kEchoSettingCount;
        const uint32_t step_before = device_.poll_step_;
        const Record before = record();
        const int result = device_.InitSetting(echoConfig(index));
        FUZZ_CHECK(result == 1, "InitSetting returned %d", result);
        FUZZ_CHECK(watch_.requested.empty() && watch_.publishes == 0 && watch_.resets == 0,
                   "InitSetting talked to the line");
        // It writes the data identifier (a cache load may have brought another);
        // the rest of the record and the round are left alone.
        const Record after = record();
        uint32_t id = 0;
        for (int i = 0; i < 4; ++i)
            id |= static_cast<uint32_t>(after[i]) << (8 * i);
        FUZZ_CHECK(id == kDataId, "data identifier %08X after InitSetting", id);
        FUZZ_CHECK(device_.poll_step_ == step_before &&
                       std::memcmp(after.data() + 4, before.data() + 4, kRecordSize - 4) == 0,
                   "InitSetting changed the round");
        echo_mode_ = kEchoSettings[index].mode;
        echo_confirmed_ = false;
        echoed_in_round_ = 0;
    }

    void expectLoad(int result, bool accepted, const unsigned char* bytes, uint32_t step_before,
                    const Record& before, bool valid_before)
    {
        if (!accepted) {
            FUZZ_CHECK(result == 0, "cache load of a wrong length accepted");
            FUZZ_CHECK(watch_.resets == 0, "refused load reset the line");
            expectQuiet(step_before, before);
            FUZZ_CHECK(device_.data_valid_ == valid_before, "refused load changed validity");
            return;
        }
        FUZZ_CHECK(result == 1, "cache load of 100 bytes refused");
        FUZZ_CHECK(watch_.publishes == 1 && watch_.requested.empty(), "cache load publishing");
        FUZZ_CHECK(std::memcmp(watch_.published.data(), bytes, kTimeOffset) == 0,
                   "published record is not the cached one");
        FUZZ_CHECK(watch_.published == record(), "published bytes differ from the record");
        FUZZ_CHECK(device_.data_valid_, "data not valid after a cache load");
        FUZZ_CHECK(device_.poll_step_ == step_before, "cache load moved the step");
        // Round completion resets the line, which empties a partial reply.
        pending_.clear();
    }

    void loadBytes(InputReader& in)
    {
        const unsigned kind = in.byte() % 6;
        unsigned char bytes[kRecordSize + 1] = {};
        std::size_t got = 0;
        const unsigned char* from = in.take(sizeof bytes, got);
        std::memcpy(bytes, from, got);
        static const int kLengths[] = {100, 99, 101, 0, -1, 100};
        const int length = kLengths[kind];
        const unsigned char* pointer = kind == 5 ? nullptr : bytes;

        const uint32_t step_before = device_.poll_step_;
        const Record before = record();
        const bool valid_before = device_.data_valid_;
        const int result = device_.LoadFromCache(pointer, length);
        expectLoad(result, kind == 0, bytes, step_before, before, valid_before);
    }

    void loadString(InputReader& in)
    {
        const unsigned want = in.byte();
        std::size_t got = 0;
        const unsigned char* from = in.take(want, got);
        const std::string cached(reinterpret_cast<const char*>(from), got);

        const uint32_t step_before = device_.poll_step_;
        const Record before = record();
        const bool valid_before = device_.data_valid_;
        const int result = device_.LoadFromCache(cached);
        expectLoad(result, got == kRecordSize, from, step_before, before, valid_before);
    }

    void lookup(unsigned char pick)
    {
        const LookupName& entry = kLookupNames[pick % kLookupNameCount];
        const unsigned index = kLookupIndices[(pick / kLookupNameCount) % 4];
        const Record before = record();
        try {
            const float value = device_.Get_Value(index, entry.name);
            FUZZ_CHECK(device_.data_valid_, "value given before any round");
            FUZZ_CHECK(entry.offset >= 0, "value given for \"%s\"", entry.name);
            FUZZ_CHECK(std::memcmp(&value, before.data() + entry.offset, sizeof value) == 0,
                       "\"%s\" is not the stored value", entry.name);
        } catch (const std::out_of_range& e) {
            const std::string message = e.what();
            if (!device_.data_valid_) {
                FUZZ_CHECK(message == "数据未就绪", "before any round: %s", e.what());
            } else if (message == "数据已超时") {
                const auto age = (boost::posix_time::second_clock::local_time() -
                                  device_.last_time_)
                                     .total_seconds();
                FUZZ_CHECK(age > 60, "timed out at age %lld", static_cast<long long>(age));
            } else {
                FUZZ_CHECK(message == "不支持变量", "unexpected message %s", e.what());
                FUZZ_CHECK(entry.offset < 0, "\"%s\" refused", entry.name);
            }
        } catch (const std::exception& e) {
            FUZZ_CHECK(false, "Get_Value threw %s", e.what());
        } catch (...) {
            FUZZ_CHECK(false, "Get_Value threw a non-standard exception");
        }
        FUZZ_CHECK(watch_.requested.empty() && watch_.publishes == 0 && watch_.resets == 0,
                   "Get_Value called the host");
        FUZZ_CHECK(record() == before, "Get_Value changed the record");
    }

    Kel36 device_;
    HostWatch watch_;
    std::vector<unsigned char> pending_;  // the bytes of the reply being gathered
    bool round_published_ = false;        // step 64 has published since RefreshStatus
    EchoMode echo_mode_ = EchoMode::Auto;
    bool echo_confirmed_ = false;   // "auto": a whole round has echoed since InitSetting
    unsigned echoed_in_round_ = 0;  // replies since RefreshStatus that echoed
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::muteStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    InputReader in(data, size);
    ReplyStreamRun run;
    run.run(in);
    return 0;
}
