#include "kel36-host/report/report_command.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "kel36-host/report/html_report.h"
#include "kel36-host/report/svg_plot.h"
#include "kel36-host/store/history_writer.h"
#include "kel36-host/tool_error.h"

#include "kel36_version.h"

namespace keltool {
namespace {

// A temporary file beside the target, renamed over it once complete, so a
// failed write never leaves half a report.
bool writeWhole(const std::string& path, const std::string& text, std::string* error)
{
    const std::string::size_type slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string temp = dir + "/.kel36-report.XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        *error = std::strerror(errno);
        return false;
    }
    const char* data = text.data();
    std::size_t left = text.size();
    bool ok = true;
    while (ok && left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok) {
            data += n;
            left -= static_cast<std::size_t>(n);
        }
    }
    int saved = ok ? 0 : errno;
    if (ok && ::fchmod(fd, 0644) != 0)
        saved = errno, ok = false;
    if (::close(fd) != 0 && ok)
        saved = errno, ok = false;
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0)
        saved = errno, ok = false;
    if (!ok) {
        ::unlink(temp.c_str());
        *error = std::strerror(saved ? saved : ENOSPC);
    }
    return ok;
}

// The report replaces its output whole, so an output that is the history
// itself (by any name: compared by device and inode), its log, or any other
// SQLite database would be destroyed. Refused before anything is read.
void refuseOutput(const std::string& input, const std::string& output)
{
    struct stat out {};
    if (::stat(output.c_str(), &out) != 0)
        return;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        struct stat in {};
        const std::string path = input + suffix;
        if (::stat(path.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino)
            throw ToolError("report: -o " + output + " is the history file " + path +
                            " itself; it is left as it is (give the report another name)");
    }
    if (!S_ISREG(out.st_mode))
        return;
    char head[16] = {};
    const int fd = ::open(output.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return;
    const ssize_t n = ::read(fd, head, sizeof head);
    ::close(fd);
    if (n == static_cast<ssize_t>(sizeof head) && std::memcmp(head, "SQLite format 3", 16) == 0)
        throw ToolError("report: -o " + output +
                        " is an SQLite database; it is left as it is (give the report another "
                        "name)");
}

}  // namespace

int runReport(const HistoryQueryOptions& query, std::FILE* out)
{
    refuseOutput(query.path, query.output);
    const HistoryReader reader(query.path);
    HistoryFilter filter;
    filter.from_ms = query.from_ms;
    filter.to_ms = query.to_ms;
    ReportDocument doc;
    doc.history_path = query.path;
    doc.from_ms = query.from_ms;
    doc.to_ms = query.to_ms;
    doc.made_ms = epochMillis(WallTime::now());
    doc.program = std::string("kel36-host ") + KEL36_VERSION;
    std::vector<std::string> devices;
    uint64_t records = 0;
    uint64_t skipped = 0;
    {
        const HistorySnapshot snapshot(reader);
        if (query.device.empty()) {
            devices = reader.knownDevices(filter);
        } else {
            const std::vector<std::string> known = reader.knownDevices(HistoryFilter{});
            if (std::find(known.begin(), known.end(), query.device) == known.end()) {
                std::string names;
                for (const std::string& name : known)
                    names += (names.empty() ? "" : ", ") + name;
                throw ToolError("report: " + query.path + " holds no device " + query.device +
                                (known.empty() ? "; it holds no device at all"
                                               : "; it holds " + names));
            }
            devices.push_back(query.device);
        }
        for (const std::string& device : devices) {
            filter.device = device;
            doc.devices.push_back(buildDeviceReport(reader, filter, kPlotColumns));
            records += doc.devices.back().rounds + doc.devices.back().restored;
            skipped += doc.devices.back().skipped;
        }
    }
    std::string error;
    if (!writeWhole(query.output, renderHtmlReport(doc), &error)) {
        std::fprintf(stderr, "kel36-host: cannot write report %s: %s\n", query.output.c_str(),
                     error.c_str());
        return 1;
    }
    std::fprintf(out, "report %s: %zu device%s, %llu records from %s", query.output.c_str(),
                 devices.size(), devices.size() == 1 ? "" : "s",
                 static_cast<unsigned long long>(records), query.path.c_str());
    if (skipped > 0)
        std::fprintf(out, "; %llu stored rows left out (unknown source or time)",
                     static_cast<unsigned long long>(skipped));
    std::fputc('\n', out);
    return 0;
}

}  // namespace keltool
