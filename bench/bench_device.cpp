#include "bench_device.h"

#include <cstdio>
#include <stdexcept>

#include "host/device_state.h"

#ifndef KEL36_PLUGIN_PATH
#error "KEL36_PLUGIN_PATH must name the built kel36.so"
#endif

namespace kelbench {
namespace {

constexpr unsigned kMask = 0x9E;

unsigned char hexDigit(unsigned v) { return static_cast<unsigned char>("0123456789ABCDEF"[v & 0xF]); }

// Register values of a healthy set: 400.00 V lines, 50.3 Hz, 230 V phases,
// 27.6 V battery, no alarm bits; the rest varied so no store is a no-op.
unsigned valueOf(unsigned reg)
{
    switch (reg) {
    case 2: case 3: case 4: return 0x40;   // low bytes of 40000 (400.00 V)
    case 5: case 6: case 7: return 0x9C;   // high bytes
    case 8: return 50;
    case 9: return 3;
    case 10: case 11: case 12: return 230;
    case 29: return 138;                   // 27.6 V
    case 34: case 35: return 0;            // status bits
    default: return (reg * 37 + 11) & 0xFF;
    }
}

RoundScript makeScript()
{
    RoundScript script{};
    unsigned i = 0;
    for (unsigned reg = 0; reg <= 64; ++reg) {
        if (reg == 1 || reg == 51)
            continue;  // never polled
        script.steps[i] = reg == 0 ? 1 : reg;
        const unsigned wire = valueOf(reg) ^ kMask;
        script.replies[i] = {hexDigit(wire >> 4), hexDigit(wire), '3', 'C'};
        ++i;
    }
    if (i != kRepliesPerRound)
        throw std::logic_error("round script has the wrong length");
    return script;
}

}  // namespace

const RoundScript& roundScript()
{
    static const RoundScript script = makeScript();
    return script;
}

BenchDevice::BenchDevice() : plugin_(kelhost::Plugin::load(KEL36_PLUGIN_PATH))
{
    owner_ = plugin_.createDevice();
    device_ = dynamic_cast<ZRNSPDevice*>(owner_.get());
    if (!device_)
        throw std::runtime_error("kel36.so made no serial-port device");
    kelhost::attachObserver(*device_, &null_observer_);
    device_->data_id_ = 7;
    device_->InitSetting(config("65"));
}

BenchDevice::~BenchDevice() = default;

Json::Value BenchDevice::config(const std::string& addr)
{
    Json::Value config(Json::objectValue);
    config["appSetting"]["addr"] = addr;
    return config;
}

int BenchDevice::runRound()
{
    const RoundScript& script = roundScript();
    device_->RefreshStatus();
    int result = 1;
    for (unsigned i = 0; i < kRepliesPerRound; ++i) {
        auto reply = script.replies[i];
        result = device_->process(reply.data(), 4);
    }
    return result;
}

int BenchDevice::replyAt(unsigned index)
{
    const RoundScript& script = roundScript();
    device_->poll_step_ = script.steps[index];
    auto reply = script.replies[index];
    return device_->process(reply.data(), 4);
}

}  // namespace kelbench
