#include "capture_reader.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace capturetest {
namespace {

template <typename T>
T at(const std::string& b, std::size_t offset)
{
    T v{};
    std::memcpy(&v, b.data() + offset, sizeof v);
    return v;
}

uint64_t bigEndian(const std::string& b, std::size_t offset, int bytes)
{
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | static_cast<unsigned char>(b[offset + static_cast<std::size_t>(i)]);
    return v;
}

// Calls `each(code, value)` for the options from `offset` to `end`.
template <typename F>
bool options(const std::string& b, std::size_t offset, std::size_t end, F each)
{
    while (offset + 4 <= end) {
        const auto code = at<uint16_t>(b, offset);
        const auto length = at<uint16_t>(b, offset + 2);
        if (code == 0)
            return true;
        if (offset + 4 + length > end)
            return false;
        each(code, b.substr(offset + 4, length));
        offset += 4 + ((length + 3u) & ~3u);
    }
    return false;
}

}  // namespace

ReadCapture readCapture(const std::string& path)
{
    ReadCapture out;
    std::ifstream in(path, std::ios::binary);
    const std::string b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t p = 0;
    while (p < b.size()) {
        if (p + 12 > b.size()) {
            out.error = "torn block at " + std::to_string(p);
            return out;
        }
        const auto type = at<uint32_t>(b, p);
        const auto length = at<uint32_t>(b, p + 4);
        if (length < 12 || length % 4 != 0 || p + length > b.size() ||
            at<uint32_t>(b, p + length - 4) != length) {
            out.error = "bad block length at " + std::to_string(p);
            return out;
        }
        const std::size_t end = p + length - 4;
        if (type == 0x0A0D0D0A) {
            if (at<uint32_t>(b, p + 8) != 0x1A2B3C4D) {
                out.error = "bad byte-order magic";
                return out;
            }
            ++out.sections;
            out.interfaces.clear();  // a section's interfaces are its own
            options(b, p + 24, end, [&](uint16_t code, const std::string& v) {
                if (code == 3)
                    out.os = v;
                if (code == 4)
                    out.application = v;
            });
        } else if (type == 1) {
            ReadInterface i;
            i.link_type = at<uint16_t>(b, p + 8);
            options(b, p + 16, end, [&](uint16_t code, const std::string& v) {
                if (code == 1)
                    i.comments.push_back(v);
                if (code == 2)
                    i.name = v;
                if (code == 3)
                    i.description = v;
                if (code == 8 && v.size() == 8)
                    i.speed = at<uint64_t>(v, 0);
                if (code == 9 && v.size() == 1)
                    i.tsresol = static_cast<unsigned char>(v[0]);
            });
            out.interfaces.push_back(i);
        } else if (type == 6) {
            ReadPacket k;
            k.interface = at<uint32_t>(b, p + 8);
            k.micros = (static_cast<uint64_t>(at<uint32_t>(b, p + 12)) << 32) | at<uint32_t>(b, p + 16);
            const auto captured = at<uint32_t>(b, p + 20);
            if (k.interface >= out.interfaces.size() || captured < 16 || p + 28 + captured > end) {
                out.error = "bad packet at " + std::to_string(p);
                return out;
            }
            const std::string d = b.substr(p + 28, captured);
            k.version = static_cast<unsigned char>(d[0]);
            k.kind = static_cast<unsigned char>(d[1]);
            k.device = static_cast<unsigned char>(d[2]);
            k.address = static_cast<unsigned char>(d[3]);
            k.monotonic_ns = bigEndian(d, 4, 8);
            k.reg = static_cast<int>(bigEndian(d, 12, 2));
            k.flags = static_cast<unsigned char>(d[14]);
            k.reason = static_cast<unsigned char>(d[15]);
            k.payload = d.substr(16);
            out.packets.push_back(k);
        }
        p += length;
    }
    out.ok = out.sections > 0;
    if (!out.ok)
        out.error = "no section header";
    return out;
}

std::string commandOutput(const std::string& command)
{
    std::string out;
    if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

}  // namespace capturetest
