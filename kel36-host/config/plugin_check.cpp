#include "kel36-host/config/plugin_check.h"

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "framework/zrn_spdevice.h"
#include "host/device_observer.h"
#include "host/device_state.h"
#include "host/plugin_loader.h"
#include "kel36-host/output/protocol_view.h"
#include "kel36-host/output/record_decoder.h"
#include "kel36-host/tool_error.h"

namespace keltool {
namespace {

class DryRoundObserver : public kelhost::DeviceObserver {
public:
    std::vector<std::string> sent;
    std::vector<unsigned char> record;
    int records = 0;

    void onSendData(ZRNVDevice&, const unsigned char* data, unsigned int length) override
    {
        sent.emplace_back(reinterpret_cast<const char*>(data), length);
    }
    void onSendSP(ZRNVDevice&, int, const unsigned char* data, unsigned int length, bool) override
    {
        record.assign(data, data + length);
        ++records;
    }
};

std::string printable(const std::string& bytes)
{
    std::string out;
    for (const char c : bytes)
        out += (c >= 0x20 && c < 0x7F) ? c : '.';
    return out;
}

// The reply a controller gives for `reg`: the value (here the register
// number itself) XOR the mask as two hex digits, then two more digits.
std::array<unsigned char, 4> syntheticReply(uint8_t reg)
{
    static const char hex[] = "0123456789ABCDEF";
    const uint8_t wire = reg ^ kProtocolMask;
    return {static_cast<unsigned char>(hex[wire >> 4]), static_cast<unsigned char>(hex[wire & 15]),
            '0', '0'};
}

}  // namespace

void checkPlugin(const kelhost::Plugin& plugin, const DeviceSpec& device_spec, std::FILE* out)
{
    std::fprintf(out, "plug-in        %s (%zu provider%s)\n", plugin.path().c_str(),
                 plugin.providerCount(), plugin.providerCount() == 1 ? "" : "s");
    std::shared_ptr<ZRNVDevice> device;
    try {
        device = plugin.createDevice();
    } catch (const std::exception& e) {
        throw ToolError(std::string("check failed: ") + e.what());
    }
    auto* line = dynamic_cast<ZRNSPDevice*>(device.get());
    if (!line)
        throw ToolError("check failed: the device is not a serial-port device");

    DryRoundObserver observer;
    kelhost::attachObserver(*device, &observer);
    device->data_id_ = device_spec.data_id;
    int status = 0;
    try {
        status = device->InitSetting(device_spec.node);
    } catch (const std::exception& e) {
        throw ToolError("check failed: " + device_spec.origin +
                        ": the device refused its node: " + e.what());
    }
    std::fprintf(out, "device type    %s\n", device->DeviceType().c_str());
    std::fprintf(out, "data id        %u\n", device->DataId());
    std::fprintf(out, "baud rate      %d\n", line->baud_rate_);
    std::fprintf(out, "port setting   %d\n", line->port_setting_);
    std::fprintf(out, "InitSetting    %d\n", status);
    if (status != 1)
        throw ToolError("check failed: InitSetting returned " + std::to_string(status));

    // The dry round: RefreshStatus sends the first request; every request is
    // answered until the driver publishes the record.
    device->RefreshStatus();
    std::vector<int> polled;  // register per sent frame
    DecodedRequest first;
    if (observer.sent.size() != 1 ||
        !decodeRequest(reinterpret_cast<const unsigned char*>(observer.sent[0].data()),
                       observer.sent[0].size(), &first))
        throw ToolError("check failed: RefreshStatus sent " + std::to_string(observer.sent.size()) +
                        " frames, not one request frame");
    const uint8_t address = first.address;
    std::array<std::string, kRegisterCount> sent_for{};
    for (std::size_t exchanges = 0; observer.records == 0; ++exchanges) {
        const std::string& frame = observer.sent.back();
        DecodedRequest req;
        if (!decodeRequest(reinterpret_cast<const unsigned char*>(frame.data()), frame.size(),
                           &req))
            throw ToolError("check failed: frame " + std::to_string(observer.sent.size()) + " \"" +
                            printable(frame) + "\" is not a request frame");
        if (req.address != address)
            throw ToolError("check failed: the address changed within a round, frame \"" +
                            printable(frame) + "\"");
        if (!sent_for[req.reg].empty())
            throw ToolError("check failed: register " + std::to_string(req.reg) +
                            " requested twice in one round");
        sent_for[req.reg] = frame;
        polled.push_back(req.reg);
        if (exchanges > kRegisterCount)
            throw ToolError("check failed: the round did not complete");
        std::array<unsigned char, 4> reply = syntheticReply(req.reg);
        const std::size_t before = observer.sent.size();
        device->process(reply.data(), static_cast<unsigned int>(reply.size()));
        if (observer.records == 0 && observer.sent.size() != before + 1)
            throw ToolError("check failed: after the reply for register " +
                            std::to_string(req.reg) + " the driver sent " +
                            std::to_string(observer.sent.size() - before) +
                            " frames and published no record");
    }

    std::fprintf(out, "address        0x%02X (%u), read from the frames\n", address, address);
    const uint8_t configured = addressFromNode(device_spec.node);
    if (configured != address)
        std::fprintf(out, "               note: the host reads address 0x%02X from the node\n",
                     configured);
    std::fprintf(out,
                 "request frames (the protocol's frame per register; \"polled\": the driver "
                 "sent exactly it)\n");
    for (int reg = 0; reg < kRegisterCount; ++reg) {
        const Frame expected = requestFrame(address, static_cast<uint8_t>(reg));
        const std::string expected_text(expected.begin(), expected.end());
        const std::string& got = sent_for[static_cast<std::size_t>(reg)];
        if (!got.empty() && got != expected_text)
            throw ToolError("check failed: the frame for register " + std::to_string(reg) +
                            " is \"" + printable(got) + "\", the protocol gives \"" +
                            expected_text + "\"");
        std::fprintf(out, "  %2d  %s  %s\n", reg, expected_text.c_str(),
                     got.empty() ? "not polled" : "polled");
    }
    std::string order;
    for (std::size_t i = 0; i < polled.size(); ++i)
        order += (i ? " " : "") + std::to_string(polled[i]);
    std::fprintf(out, "dry round      %zu requests, in this order: %s\n", polled.size(),
                 order.c_str());

    if (observer.record.size() != kRecordSize)
        throw ToolError("check failed: the published record has " +
                        std::to_string(observer.record.size()) + " bytes, not 100");
    RecordBytes record{};
    std::memcpy(record.data(), observer.record.data(), kRecordSize);
    const FieldValue id = decodeField(record, *findField("data_id"));
    if (id.integer != static_cast<int64_t>(device_spec.data_id))
        throw ToolError("check failed: the record carries data id " + std::to_string(id.integer) +
                        ", the device has " + std::to_string(device_spec.data_id));
    std::fprintf(out, "record         %zu bytes, data id %lld\n", observer.record.size(),
                 static_cast<long long>(id.integer));
    std::fprintf(out, "plug-in usable\n");
    kelhost::attachObserver(*device, nullptr);
}

}  // namespace keltool
