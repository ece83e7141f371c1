#include "kel36-host/snapshot/register_image.h"

#include <json/writer.h>

#include <string>

namespace keltool {

void RegisterImage::roundStarted()
{
    read_.fill(false);
    echoes_.fill(false);
    awaited_ = -1;
    gathered_ = 0;
}

void RegisterImage::requestSent(const unsigned char* data, std::size_t length)
{
    DecodedRequest request;
    awaited_ = decodeRequest(data, length, &request) && request.reg < kRegisterCount
                   ? request.reg
                   : -1;
    gathered_ = 0;
}

void RegisterImage::replyReceived(const unsigned char* data, std::size_t length)
{
    if (awaited_ < 0 || gathered_ >= kReplyLength)
        return;
    while (length > 0 && gathered_ < kReplyLength) {
        reply_[gathered_++] = *data++;
        --length;
    }
    DecodedReply reply;
    // An over-long reply stalls the round in the driver, and a stall starts
    // a new round; only a round that completes is written out.
    if (gathered_ == kReplyLength && decodeReply(reply_.data(), kReplyLength, &reply)) {
        read_[awaited_] = true;
        values_[awaited_] = reply.data;
        echoes_[awaited_] = replyEchoes(reply, static_cast<uint8_t>(awaited_));
    }
}

int RegisterImage::registersRead() const
{
    int n = 0;
    for (bool r : read_)
        n += r ? 1 : 0;
    return n;
}

int RegisterImage::echoed() const
{
    int n = 0;
    for (int reg = 0; reg < kRegisterCount; ++reg)
        n += read_[reg] && echoes_[reg] ? 1 : 0;
    return n;
}

std::string RegisterImage::scenarioJson(const std::string& source) const
{
    const int read = registersRead();
    const int echoed_count = echoed();
    const std::string echo = echoed_count == read ? "every reply echoed its register field"
                             : echoed_count == 0  ? "no reply echoed its register field (run kel36-sim --echo none)"
                                                  : std::to_string(echoed_count) + " of " +
                                                        std::to_string(read) +
                                                        " replies echoed their register field";
    const std::string description =
        "Snapshot of the controller on " + source + ": the " + std::to_string(read) +
        " registers one round read. Registers 1 and 51 are never polled and are left out "
        "(kel36-sim answers 0 for them). Replies: " + echo + ".";
    // Written by hand so the registers come in number order, a few a line.
    std::string json = "{\n  \"description\": " + Json::valueToQuotedString(description.c_str()) +
                       ",\n  \"registers\": {";
    int on_line = 0;
    bool first = true;
    for (int reg = 0; reg < kRegisterCount; ++reg) {
        if (!read_[reg])
            continue;
        json += first ? "\n    " : on_line == 0 ? ",\n    " : ", ";
        first = false;
        json += "\"" + std::to_string(reg) + "\": " + std::to_string(values_[reg]);
        on_line = (on_line + 1) % 8;
    }
    return json + "\n  }\n}\n";
}

}  // namespace keltool
