// Block by block: every length is checked against the bytes that are really
// there before it is used, so a hostile length can neither read past the end
// nor make the reader allocate.

#include "capture_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace kelsim {
namespace {

constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescription = 1;
constexpr uint32_t kEnhancedPacket = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint32_t kByteOrderSwapped = 0x4D3C2B1A;

class Reader {
public:
    Reader(const std::string& bytes, const std::string& name) : bytes_(bytes), name_(name) {}

    CaptureFile read()
    {
        if (bytes_.empty())
            fail(0, "empty file, not a capture");
        while (offset_ < bytes_.size())
            block();
        return std::move(file_);
    }

private:
    [[noreturn]] void fail(std::size_t at, const std::string& what) const
    {
        throw CaptureError(name_ + ": offset " + std::to_string(at) + ": " + what);
    }

    uint32_t u32(std::size_t at) const
    {
        uint32_t v = 0;
        std::memcpy(&v, bytes_.data() + at, 4);
        return swap_ ? __builtin_bswap32(v) : v;
    }
    uint16_t u16(std::size_t at) const
    {
        uint16_t v = 0;
        std::memcpy(&v, bytes_.data() + at, 2);
        return swap_ ? __builtin_bswap16(v) : v;
    }
    uint64_t u64(std::size_t at) const
    {
        uint64_t v = 0;
        std::memcpy(&v, bytes_.data() + at, 8);
        return swap_ ? __builtin_bswap64(v) : v;
    }
    // The kel36 header is network order whatever the file's.
    static uint64_t big(const std::string& s, std::size_t at, std::size_t n)
    {
        uint64_t v = 0;
        for (std::size_t i = 0; i < n; ++i)
            v = (v << 8) | static_cast<uint8_t>(s[at + i]);
        return v;
    }

    void block()
    {
        const std::size_t at = offset_;
        const std::size_t left = bytes_.size() - at;
        if (left < 12)
            fail(at, "truncated block header");
        uint32_t type = 0;
        std::memcpy(&type, bytes_.data() + at, 4);
        if (type == kSectionHeader) {
            uint32_t magic = 0;
            std::memcpy(&magic, bytes_.data() + at + 8, 4);
            if (magic == kByteOrderMagic)
                swap_ = false;
            else if (magic == kByteOrderSwapped)
                swap_ = true;
            else
                fail(at, "not a pcapng section header (byte-order magic)");
            section_base_ = file_.interfaces.size();
            in_section_ = true;
        } else {
            if (!in_section_)
                fail(at, "not a pcapng file (no section header first)");
            type = u32(at);
        }
        const uint32_t length = u32(at + 4);
        if (length < 12 || length % 4 != 0)
            fail(at, "block length " + std::to_string(length) + " is not a pcapng block length");
        if (length > kMaxBlockBytes)
            fail(at, "block length " + std::to_string(length) + " beyond the limit of " +
                         std::to_string(kMaxBlockBytes) + " bytes");
        if (length > left)
            fail(at, "truncated block (" + std::to_string(length) + " bytes announced, " +
                         std::to_string(left) + " left)");
        if (u32(at + length - 4) != length)
            fail(at, "block length at the end does not match its start");
        const std::size_t body = at + 8, body_length = length - 12;
        if (type == kSectionHeader)
            sectionHeader(at, body_length);
        else if (type == kInterfaceDescription)
            interface(at, body, body_length);
        else if (type == kEnhancedPacket)
            packet(at, body, body_length);
        // Other blocks (statistics, name resolution, ...) carry nothing the replay needs.
        offset_ = at + length;
    }

    void sectionHeader(std::size_t at, std::size_t body_length)
    {
        if (body_length < 16)
            fail(at, "section header too short");
        if (u16(at + 12) != 1)
            fail(at, "pcapng major version " + std::to_string(u16(at + 12)) + ", not 1");
    }

    void interface(std::size_t at, std::size_t body, std::size_t body_length)
    {
        if (body_length < 8)
            fail(at, "interface description too short");
        const uint16_t link = u16(body);
        const std::size_t number = file_.interfaces.size() - section_base_;
        if (link != kCaptureLinkType)
            fail(at, "interface " + std::to_string(number) + ": link type " +
                         std::to_string(link) + ", not a kel36 line capture (147)");
        if (file_.interfaces.size() >= kMaxInterfaces)
            fail(at, "more than " + std::to_string(kMaxInterfaces) + " interfaces");
        CaptureInterface iface;
        options(at, body + 8, body_length - 8, [&](uint16_t code, std::size_t v, std::size_t n) {
            const std::string value = bytes_.substr(v, n);
            if (code == 2)
                iface.name = value;
            else if (code == 8 && n == 8)
                iface.speed = u64(v);
            else if (code == 1)
                deviceComment(value, iface);
        });
        file_.interfaces.push_back(std::move(iface));
    }

    // "device INDEX NAME address ADDRESS data-id ID"; other comments are notes.
    static void deviceComment(const std::string& text, CaptureInterface& iface)
    {
        char name[256];
        int index = 0, address = 0;
        unsigned long id = 0;
        if (text.size() < 200 &&
            std::sscanf(text.c_str(), "device %d %255s address %d data-id %lu", &index, name,
                        &address, &id) == 4 &&
            index >= 0 && index < 255 && address >= 0 && address <= 255)
            iface.devices.push_back({index, name, address});
    }

    template <typename Each>
    void options(std::size_t at, std::size_t from, std::size_t length, Each each) const
    {
        std::size_t p = from;
        const std::size_t end = from + length;
        while (p + 4 <= end) {
            const uint16_t code = u16(p), n = u16(p + 2);
            if (code == 0)
                return;
            const std::size_t padded = (static_cast<std::size_t>(n) + 3) & ~std::size_t{3};
            if (padded > end - p - 4)
                fail(at, "option " + std::to_string(code) + " runs past its block");
            each(code, p + 4, n);
            p += 4 + padded;
        }
    }

    void packet(std::size_t at, std::size_t body, std::size_t body_length)
    {
        if (body_length < 20)
            fail(at, "enhanced packet block too short");
        const uint32_t iface = u32(body);
        const uint32_t captured = u32(body + 12);
        if (iface >= file_.interfaces.size() - section_base_)
            fail(at, "packet on interface " + std::to_string(iface) + ", which is not described");
        if (captured > body_length - 20)
            fail(at, "packet length " + std::to_string(captured) + " runs past its block");
        if (captured < kCaptureHeaderLength)
            fail(at, "packet shorter than the 16-byte kel36 header");
        const std::string data = bytes_.substr(body + 20, captured);
        if (static_cast<uint8_t>(data[0]) != kCaptureVersion)
            fail(at, "kel36 header version " + std::to_string(static_cast<uint8_t>(data[0])) +
                         ", this reader knows version 1");
        CapturePacket p;
        p.interface = section_base_ + iface;
        p.kind = static_cast<uint8_t>(data[1]);
        p.device = static_cast<uint8_t>(data[2]);
        p.address = static_cast<uint8_t>(data[3]);
        p.monotonic_ns = big(data, 4, 8);
        p.reg = static_cast<uint16_t>(big(data, 12, 2));
        p.flags = static_cast<uint8_t>(data[14]);
        p.reason = static_cast<uint8_t>(data[15]);
        const bool known = (p.kind >= kKindRequest && p.kind <= kKindReply) ||
                           (p.kind >= kKindRoundStart && p.kind <= kKindLineReopened);
        if (!known)
            return;
        p.payload = data.substr(kCaptureHeaderLength);
        file_.packets.push_back(std::move(p));
    }

    const std::string& bytes_;
    const std::string& name_;
    std::size_t offset_ = 0;
    bool swap_ = false;
    bool in_section_ = false;
    std::size_t section_base_ = 0;
    CaptureFile file_;
};

}  // namespace

CaptureFile parseCapture(const std::string& bytes, const std::string& name)
{
    return Reader(bytes, name).read();
}

CaptureFile readCaptureFile(const std::string& path)
{
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rbe"), std::fclose);
    if (!f)
        throw CaptureError(path + ": " + std::strerror(errno));
    struct stat st;
    if (::fstat(::fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode))
        throw CaptureError(path + ": not a regular file");
    if (static_cast<uint64_t>(st.st_size) > kMaxCaptureBytes)
        throw CaptureError(path + ": " + std::to_string(st.st_size) +
                           " bytes, beyond the limit of " + std::to_string(kMaxCaptureBytes));
    std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
    // A file that grows meanwhile is read up to the size it had.
    const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), f.get());
    bytes.resize(got);
    return parseCapture(bytes, path);
}

}  // namespace kelsim
