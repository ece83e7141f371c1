// Fuzz target: the simulator's request parser. The input is the byte stream the
// simulated controller receives. The parser's output is compared with a
// reference reading of the same stream that works on the whole stream at once:
// a request is a '|' followed by six upper-case hex digits whose command field
// is the read command and whose register is 0..64; every run of bytes between
// two '|' that is not exactly such a frame (a frame with stray bytes after it,
// a broken frame, bytes before the first '|') counts as one malformed run, except
// a frame still being received when the stream ends.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "fuzz_support.h"
#include "protocol.h"

namespace {

struct SeenRequest {
    std::size_t end;  // index of the byte that completed it
    uint8_t address;
    uint8_t reg;
    bool operator==(const SeenRequest& o) const
    {
        return end == o.end && address == o.address && reg == o.reg;
    }
};

int upperHex(uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

constexpr uint8_t kCommandField = kelsim::kXorMask ^ kelsim::kReadCommand;

// How far a run of bytes goes as the start of a valid frame: 0 when it is not
// one, 1 when it could still become one, 2 when its first 7 bytes are one.
int frameShape(const uint8_t* s, std::size_t length)
{
    if (length == 0 || s[0] != '|')
        return 0;
    std::size_t n = length < 7 ? length : 7;
    for (std::size_t i = 1; i < n; ++i)
        if (upperHex(s[i]) < 0)
            return 0;
    if (n >= 5 && upperHex(s[3]) * 16 + upperHex(s[4]) != kCommandField)
        return 0;
    if (n < 7)
        return 1;
    const int reg = (upperHex(s[5]) * 16 + upperHex(s[6])) ^ kelsim::kXorMask;
    return reg < kelsim::kRegisterCount ? 2 : 0;
}

struct Reading {
    std::vector<SeenRequest> requests;
    uint64_t malformed = 0;
    bool mid_frame = false;
};

Reading referenceReading(const uint8_t* data, std::size_t size)
{
    Reading r;
    std::size_t start = 0;
    while (start < size) {
        std::size_t end = start + 1;
        while (end < size && data[end] != '|')
            ++end;
        const uint8_t* run = data + start;
        const std::size_t length = end - start;
        const int shape = frameShape(run, length);
        const bool last = end == size;
        if (shape == 2) {
            const uint8_t address = static_cast<uint8_t>(
                (upperHex(run[1]) * 16 + upperHex(run[2])) ^ kelsim::kXorMask);
            const uint8_t reg = static_cast<uint8_t>(
                (upperHex(run[5]) * 16 + upperHex(run[6])) ^ kelsim::kXorMask);
            r.requests.push_back({start + 6, address, reg});
            if (length > 7)
                ++r.malformed;
        } else if (shape == 1 && last) {
            r.mid_frame = true;
        } else {
            ++r.malformed;
        }
        start = end;
    }
    return r;
}

void checkStream(const uint8_t* data, std::size_t size)
{
    kelsim::RequestParser parser;
    std::vector<SeenRequest> seen;
    uint64_t malformed_before = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const auto request = parser.push(data[i]);
        if (request) {
            FUZZ_CHECK(request->reg < kelsim::kRegisterCount, "register %u", request->reg);
            seen.push_back({i, request->address, request->reg});
        }
        FUZZ_CHECK(parser.malformed() >= malformed_before, "malformed count went back");
        FUZZ_CHECK(parser.malformed() <= malformed_before + 1, "one byte, two malformed runs");
        malformed_before = parser.malformed();
    }
    const Reading want = referenceReading(data, size);
    FUZZ_CHECK(seen.size() == want.requests.size(), "%zu requests, expected %zu", seen.size(),
               want.requests.size());
    for (std::size_t i = 0; i < seen.size(); ++i)
        FUZZ_CHECK(seen[i] == want.requests[i],
                   "request %zu: end %zu addr %u reg %u, expected end %zu addr %u reg %u", i,
                   seen[i].end, seen[i].address, seen[i].reg, want.requests[i].end,
                   want.requests[i].address, want.requests[i].reg);
    FUZZ_CHECK(parser.malformed() == want.malformed, "%llu malformed, expected %llu",
               static_cast<unsigned long long>(parser.malformed()),
               static_cast<unsigned long long>(want.malformed));
    FUZZ_CHECK(parser.midFrame() == want.mid_frame, "midFrame %d", parser.midFrame());
}

// Every frame the encoder makes is read back as the same request, also right
// after whatever the stream left the parser in.
void checkEncoding(const uint8_t* data, std::size_t size)
{
    const uint8_t address = size > 0 ? data[0] : 0x41;
    kelsim::RequestParser parser;
    for (std::size_t i = 0; i < size; ++i)
        parser.push(data[i]);
    for (int reg = 0; reg < kelsim::kRegisterCount; ++reg) {
        const auto frame = kelsim::encodeRequest(address, static_cast<uint8_t>(reg));
        std::optional<kelsim::Request> got;
        for (std::size_t i = 0; i < frame.size(); ++i) {
            got = parser.push(static_cast<uint8_t>(frame[i]));
            FUZZ_CHECK(!got || i + 1 == frame.size(), "request before the frame ended");
        }
        FUZZ_CHECK(got && got->address == address && got->reg == reg,
                   "frame for %u/%d not read back", address, reg);
        const auto reply =
            kelsim::encodeReply(static_cast<uint8_t>(reg * 3), static_cast<uint8_t>(reg));
        for (char c : reply)
            FUZZ_CHECK(upperHex(static_cast<uint8_t>(c)) >= 0, "reply %.4s", reply.data());
        const int value = upperHex(reply[0]) * 16 + upperHex(reply[1]);
        FUZZ_CHECK((value ^ kelsim::kXorMask) == ((reg * 3) & 0xFF), "reply value");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    checkStream(data, size);
    checkEncoding(data, size);
    return 0;
}
