// The capture reader against hostile files: each is one clear error, never a
// crash or a huge allocation; a well-formed file reads back field by field.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "replay/capture_file.h"

namespace kelsim {
namespace {

void put32(std::string& s, uint32_t v) { s.append(reinterpret_cast<const char*>(&v), 4); }
void put16(std::string& s, uint16_t v) { s.append(reinterpret_cast<const char*>(&v), 2); }

std::string block(uint32_t type, std::string body)
{
    while (body.size() % 4)
        body += '\0';
    std::string b;
    put32(b, type);
    put32(b, static_cast<uint32_t>(body.size() + 12));
    b += body;
    put32(b, static_cast<uint32_t>(body.size() + 12));
    return b;
}

std::string capture(uint16_t link = 147, char version = 1)
{
    std::string shb;
    put32(shb, 0x1A2B3C4D);
    put16(shb, 1);
    put16(shb, 0);
    shb.append(8, '\xff');
    std::string idb;
    put16(idb, link);
    put16(idb, 0);
    put32(idb, 0);
    const std::string comment = "device 0 g0 address 65 data-id 5001";
    put16(idb, 1);
    put16(idb, static_cast<uint16_t>(comment.size()));
    idb += comment;
    while (idb.size() % 4)
        idb += '\0';
    put32(idb, 0);
    std::string data = {version, 1, 0, 65, 0, 0, 0, 0, 0, 0, 0x12, 0x34, 0, 7, 0, 0};
    data += "|DF56F9";
    std::string epb;
    put32(epb, 0);
    put32(epb, 0);
    put32(epb, 0);
    put32(epb, static_cast<uint32_t>(data.size()));
    put32(epb, static_cast<uint32_t>(data.size()));
    epb += data;
    return block(0x0A0D0D0A, shb) + block(1, idb) + block(6, epb);
}

std::string errorOf(const std::string& bytes)
{
    try {
        parseCapture(bytes, "f");
    } catch (const CaptureError& e) {
        return e.what();
    }
    return "(read)";
}

TEST(CaptureFile, WellFormedReadsBackAndHostileFilesAreOneLineErrors)
{
    const CaptureFile file = parseCapture(capture(), "f");
    ASSERT_EQ(file.interfaces.size(), 1u);
    ASSERT_EQ(file.interfaces[0].devices.size(), 1u);
    EXPECT_EQ(file.interfaces[0].devices[0].name, "g0");
    EXPECT_EQ(file.interfaces[0].devices[0].address, 65);
    ASSERT_EQ(file.packets.size(), 1u);
    EXPECT_EQ(file.packets[0].monotonic_ns, 0x1234u);
    EXPECT_EQ(file.packets[0].reg, 7);
    EXPECT_EQ(file.packets[0].payload, "|DF56F9");

    const uint32_t big = 0xFFFFFFF0;
    std::string huge_first = capture();
    std::memcpy(&huge_first[4], &big, 4);
    EXPECT_NE(errorOf(huge_first).find("beyond the limit"), std::string::npos) << errorOf(huge_first);
    const std::string whole = capture();
    EXPECT_NE(errorOf(whole.substr(0, whole.size() - 6)).find("truncated"), std::string::npos);
    EXPECT_NE(errorOf(capture(1)).find("link type 1"), std::string::npos);
    EXPECT_NE(errorOf(capture(147, 9)).find("version 9"), std::string::npos);
    EXPECT_NE(errorOf("").find("empty"), std::string::npos);
    EXPECT_NE(errorOf(std::string(64, 'x')).find("not a pcapng"), std::string::npos);
}

}  // namespace
}  // namespace kelsim
