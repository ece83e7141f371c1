// Request frames in, replies out: the byte-level protocol of the controller side.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol.h"

namespace kelsim {
namespace {

struct Parsed {
    std::vector<Request> requests;
    uint64_t malformed = 0;
};

Parsed parseAll(const std::string& stream)
{
    RequestParser parser;
    Parsed out;
    for (char c : stream) {
        if (auto request = parser.push(static_cast<uint8_t>(c)))
            out.requests.push_back(*request);
    }
    out.malformed = parser.malformed();
    return out;
}

std::string frame(uint8_t address, uint8_t reg)
{
    const auto f = encodeRequest(address, reg);
    return std::string(f.begin(), f.end());
}

TEST(RequestParsing, DecodesTheHostsFramesForEveryRegister)
{
    // Written out by hand from the wire format, for address 65 (0x41).
    const auto first = parseAll("|DF569E");
    ASSERT_EQ(first.requests.size(), 1u);
    EXPECT_EQ(first.requests[0].address, 65);
    EXPECT_EQ(first.requests[0].reg, 0);
    const auto last = parseAll("|DF56DE");
    ASSERT_EQ(last.requests.size(), 1u);
    EXPECT_EQ(last.requests[0].reg, 64);

    std::string stream;
    for (int reg = 0; reg < kRegisterCount; ++reg)
        stream += frame(7, static_cast<uint8_t>(reg));
    const auto all = parseAll(stream);
    ASSERT_EQ(all.requests.size(), 65u);
    for (int reg = 0; reg < kRegisterCount; ++reg) {
        EXPECT_EQ(all.requests[reg].address, 7);
        EXPECT_EQ(all.requests[reg].reg, reg);
    }
    EXPECT_EQ(all.malformed, 0u);
}

TEST(RequestParsing, KeepsAPartialFrameUntilItCompletes)
{
    RequestParser parser;
    const std::string f = "|DF56AD";  // register 0x33 = 51
    for (std::size_t i = 0; i + 1 < f.size(); ++i) {
        EXPECT_FALSE(parser.push(static_cast<uint8_t>(f[i])));
        EXPECT_TRUE(parser.midFrame());
    }
    const auto request = parser.push(static_cast<uint8_t>(f.back()));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->reg, 51);
    EXPECT_FALSE(parser.midFrame());
}

TEST(RequestParsing, ReportsTheAddressOfAFrameForAnotherController)
{
    const auto parsed = parseAll(frame(66, 5) + frame(0, 5) + frame(255, 5));
    ASSERT_EQ(parsed.requests.size(), 3u);
    EXPECT_EQ(parsed.requests[0].address, 66);
    EXPECT_EQ(parsed.requests[1].address, 0);
    EXPECT_EQ(parsed.requests[2].address, 255);
}

struct MalformedCase {
    const char* what;
    std::string bytes;
};

TEST(RequestParsing, CountsEachMalformedRequestOnceAndResynchronises)
{
    const MalformedCase cases[] = {
        {"lower-case hex", "|df569e"},
        {"non-hex digit", "|DG569E"},
        {"other command", "|DF579E"},
        {"register 65", "|DF56DF"},
        {"register 255", "|DF5661"},
        {"truncated by the next frame", "|DF56"},
        {"stray bytes", "\r\nhello"},
        {"lone bar", "|"},
        {"NUL inside", std::string("|DF\0"
                                   "69E",
                                   7)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto parsed = parseAll(c.bytes + "|DF56BE" + c.bytes + "|DF56BF");
        ASSERT_EQ(parsed.requests.size(), 2u);
        EXPECT_EQ(parsed.requests[0].reg, 0x20);
        EXPECT_EQ(parsed.requests[1].reg, 0x21);
        EXPECT_EQ(parsed.malformed, 2u);
    }
}

TEST(RequestParsing, TreatsBytesAfterAFrameAsGarbageUntilTheNextBar)
{
    const auto parsed = parseAll("|DF569EXYZ|DF569E");
    EXPECT_EQ(parsed.requests.size(), 2u);
    EXPECT_EQ(parsed.malformed, 1u);
}

TEST(ReplyEncoding, CarriesTheValueXorMaskThenTheRegisterField)
{
    const auto reply = encodeReply(0x00, 0);
    EXPECT_EQ(std::string(reply.begin(), reply.end()), "9E9E");
    const auto reply2 = encodeReply(0x9C, 5);  // high byte of 400.00 V
    EXPECT_EQ(std::string(reply2.begin(), reply2.end()), "029B");

    for (int value = 0; value < 256; ++value) {
        const auto r = encodeReply(static_cast<uint8_t>(value), 64);
        for (char c : r)
            EXPECT_GE(hexDigitValue(c, true), 0) << "value " << value;
        const int decoded = (hexDigitValue(r[0], true) * 16 + hexDigitValue(r[1], true)) ^ kXorMask;
        EXPECT_EQ(decoded, value);
        EXPECT_EQ(std::string(r.begin() + 2, r.end()), "DE");
    }
}

TEST(ReplyEncoding, WithoutEchoTheSecondPairNeverEqualsOrNamesARegisterField)
{
    EXPECT_EQ(std::string(encodeReply(0x00, 0, ReplyEcho::None).data(), 4), "9E00");
    EXPECT_EQ(std::string(encodeReply(0x9C, 64, ReplyEcho::None).data(), 4), "0240");
    for (int reg = 0; reg < kRegisterCount; ++reg) {
        const auto r = encodeReply(7, static_cast<uint8_t>(reg), ReplyEcho::None);
        const int pair = hexDigitValue(r[2], true) * 16 + hexDigitValue(r[3], true);
        EXPECT_GE(pair ^ kXorMask, kRegisterCount) << "register " << reg;
    }
}

}  // namespace
}  // namespace kelsim
