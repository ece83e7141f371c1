#include "replay_script.h"

#include <algorithm>

#include "number_text.h"
#include "protocol.h"

namespace kelsim {
namespace {

struct Chosen {
    std::size_t interface = 0;
    CaptureDevice device;
};

std::string describe(const CaptureDevice& d)
{
    return d.name + " (address " + std::to_string(d.address) + ")";
}

Chosen choose(const CaptureFile& capture, const std::string& which)
{
    std::vector<Chosen> all;
    for (std::size_t i = 0; i < capture.interfaces.size(); ++i)
        for (const CaptureDevice& d : capture.interfaces[i].devices)
            all.push_back({i, d});
    if (which.empty()) {
        if (all.size() == 1)
            return all.front();
        if (all.empty())
            throw CaptureError("the capture names no device (no \"device\" comment)");
        std::string names;
        for (const Chosen& c : all)
            names += (names.empty() ? "" : ", ") + describe(c.device);
        throw CaptureError("the capture has several devices (" + names + "): pick one with --device");
    }
    unsigned long long address = 256;
    const bool numeric = parseUnsigned(which, &address) && address <= 255;
    for (const Chosen& c : all)
        if (c.device.name == which || (numeric && c.device.address == static_cast<int>(address)))
            return c;
    throw CaptureError("the capture has no device " + which);
}

std::chrono::nanoseconds at(uint64_t ns)
{
    return std::chrono::nanoseconds(static_cast<int64_t>(ns));
}

}  // namespace

ReplayScript buildReplayScript(const CaptureFile& capture, const std::string& which)
{
    const Chosen chosen = choose(capture, which);
    ReplayScript script;
    script.device = describe(chosen.device);
    script.address = chosen.device.address;
    script.baud = capture.interfaces[chosen.interface].speed;
    // The captured line's character time; the replay reckons turnaround and
    // gaps between characters, which it then paces at its own line's speed.
    const std::chrono::nanoseconds character{
        script.baud > 0 ? static_cast<int64_t>(10'000'000'000ULL / script.baud) : 0};

    const auto ours = [&](const CapturePacket& p) {
        return p.interface == chosen.interface &&
               (p.device == chosen.device.index ||
                (p.device == 255 && p.address == chosen.device.address));
    };
    uint32_t round = 0;
    std::chrono::nanoseconds last_end{0};  // where the last request or chunk ended on the wire
    bool open = false;
    for (const CapturePacket& p : capture.packets) {
        if (!ours(p))
            continue;
        if (p.kind == kKindRequest) {
            // A request's register as the poller's frame names it: the header says so.
            if (p.reg >= kRegisterCount)
                continue;
            if (p.reg == 0)
                ++round;
            script.exchanges.push_back({std::max<uint32_t>(round, 1), p.reg, {}});
            last_end = at(p.monotonic_ns) + static_cast<int64_t>(p.payload.size()) * character;
            open = true;
        } else if (p.kind == kKindReply && open && !p.payload.empty()) {
            // A read returns once its last byte is in: its first character started
            // one character time per byte earlier.
            const auto begin = at(p.monotonic_ns) - static_cast<int64_t>(p.payload.size()) * character;
            script.exchanges.back().reply.push_back(
                {p.payload, std::max(std::chrono::nanoseconds(0), begin - last_end)});
            last_end = std::max(last_end, at(p.monotonic_ns));
        } else if (p.kind == kKindLineLost || p.kind == kKindLineReopened) {
            // Bytes across a lost line belong to no request.
            open = false;
        }
    }
    if (script.exchanges.empty())
        throw CaptureError("the capture has no request for " + script.device);
    return script;
}

}  // namespace kelsim
