#include "kel36-host/output/line_trace.h"

#include <algorithm>

#include "kel36-host/config/device_name.h"
#include "kel36-host/output/protocol_view.h"
#include "kel36-host/wall_clock.h"

namespace keltool {

void LineTrace::line(const std::string& device, const char* direction, const unsigned char* data,
                     std::size_t length, const char* remark)
{
    char stamp[24];
    formatClock(WallTime::now(), stamp, sizeof stamp, true);
    const std::size_t shown = std::min<std::size_t>(length, 256);
    std::size_t used = static_cast<std::size_t>(std::snprintf(
        buffer_, sizeof buffer_, "%s %s %s %2zu  \"", stamp, device.c_str(), direction, length));
    used = std::min(used, sizeof buffer_ - 1);
    for (std::size_t i = 0; i < shown && used + 2 < sizeof buffer_; ++i)
        buffer_[used++] = (data[i] >= 0x20 && data[i] < 0x7F) ? static_cast<char>(data[i]) : '.';
    if (used + 2 < sizeof buffer_) {
        buffer_[used++] = '"';
        buffer_[used++] = ' ';
    }
    for (std::size_t i = 0; i < shown && used + 4 < sizeof buffer_; ++i)
        used += static_cast<std::size_t>(
            std::snprintf(buffer_ + used, sizeof buffer_ - used, " %02X", data[i]));
    if (shown < length && used + 5 < sizeof buffer_)
        used +=
            static_cast<std::size_t>(std::snprintf(buffer_ + used, sizeof buffer_ - used, " ..."));
    if (*remark && used + 4 < sizeof buffer_)
        used += static_cast<std::size_t>(
            std::snprintf(buffer_ + used, sizeof buffer_ - used, "  %s", remark));
    used = std::min(used, sizeof buffer_ - 2);
    buffer_[used++] = '\n';
    std::fwrite(buffer_, 1, used, out_);
    std::fflush(out_);
}

void LineTrace::request(const std::string& device, const unsigned char* data, std::size_t length)
{
    DecodedRequest req;
    char remark[48] = "";
    if (decodeRequest(data, length, &req))
        std::snprintf(remark, sizeof remark, "register %u, address %u", req.reg, req.address);
    else
        std::snprintf(remark, sizeof remark, "not a request frame");
    line(device, ">", data, length, remark);
}

void LineTrace::reply(const std::string& device, const unsigned char* data, std::size_t length,
                      bool discarded, int answers, int awaited)
{
    char remark[48] = "";
    if (discarded)
        std::snprintf(remark, sizeof remark, "discarded: no round waits for it");
    else if (answers >= 0)
        std::snprintf(remark, sizeof remark, "answers register %d, awaited %d", answers, awaited);
    line(device, "<", data, length, remark);
}

void LineTrace::note(const std::string& device, const char* text)
{
    char stamp[24];
    formatClock(WallTime::now(), stamp, sizeof stamp, true);
    std::fprintf(out_, "%s %s -- %s\n", stamp, device.c_str(), shownText(text).c_str());
    std::fflush(out_);
}

}  // namespace keltool
