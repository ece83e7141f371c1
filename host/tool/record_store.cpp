#include "host/tool/record_store.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/tool/tool_error.h"
#include "host/tool/wall_clock.h"

namespace keltool {
namespace {

bool writeFully(int fd, const char* data, std::size_t length)
{
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

void appendHex(std::string& out, const unsigned char* data, unsigned int length)
{
    static const char hex[] = "0123456789abcdef";
    for (unsigned int i = 0; i < length; ++i) {
        out.push_back(hex[data[i] >> 4]);
        out.push_back(hex[data[i] & 0x0F]);
    }
}

void appendJsonString(std::string& out, const std::string& text)
{
    out.push_back('"');
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
            out += esc;
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
}

}  // namespace

HistoryLog::HistoryLog(const std::string& path) : path_(path)
{
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0)
        throw ToolError("cannot open history file " + path + ": " + std::strerror(errno));
    line_.reserve(512);
}

HistoryLog::~HistoryLog()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool HistoryLog::append(const std::string& device, uint32_t data_id, const unsigned char* data,
                        unsigned int length)
{
    char stamp[48];
    formatIso(WallTime::now(), stamp, sizeof stamp);
    line_.clear();
    line_ += "{\"time\":\"";
    line_ += stamp;
    line_ += "\",\"device\":";
    appendJsonString(line_, device);
    line_ += ",\"data_id\":";
    char id[16];
    std::snprintf(id, sizeof id, "%u", data_id);
    line_ += id;
    line_ += ",\"record\":\"";
    appendHex(line_, data, length);
    line_ += "\"}\n";
    // O_APPEND and one write per line: concurrent writers never interleave lines.
    return writeFully(fd_, line_.data(), line_.size());
}

RecordCache::RecordCache(const std::string& dir) : dir_(dir)
{
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode))
            throw ToolError("cache " + dir + " is not a directory");
        return;
    }
    if (errno != ENOENT || ::mkdir(dir.c_str(), 0755) != 0)
        throw ToolError("cannot use cache directory " + dir + ": " + std::strerror(errno));
}

RecordCache::Slot::Slot(const std::string& dir, uint32_t data_id)
    : path_(dir + "/" + std::to_string(data_id) + ".rec"),
      temp_path_(dir + "/." + std::to_string(data_id) + ".rec.tmp")
{
}

std::optional<std::string> RecordCache::Slot::load(std::string* error) const
{
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT && error)
            *error = "cannot read cached record " + path_ + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::string bytes;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf - bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (error)
                *error = "cannot read cached record " + path_ + ": " + std::strerror(errno);
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        bytes.append(buf, static_cast<std::size_t>(n));
        if (bytes.size() >= sizeof buf)
            break;
    }
    ::close(fd);
    return bytes;
}

bool RecordCache::Slot::store(const unsigned char* data, unsigned int length,
                              std::string* error) const
{
    const int fd = ::open(temp_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error)
            *error = "cannot write " + temp_path_ + ": " + std::strerror(errno);
        return false;
    }
    bool ok = writeFully(fd, reinterpret_cast<const char*>(data), length) && ::fdatasync(fd) == 0;
    const int saved = errno;
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(temp_path_.c_str(), path_.c_str()) == 0)
        return true;
    if (error)
        *error = "cannot store cached record " + path_ + ": " + std::strerror(ok ? errno : saved);
    ::unlink(temp_path_.c_str());
    return false;
}

}  // namespace keltool
