#include "kel36-host/cache/record_store.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/input_file.h"
#include "kel36-host/tool_error.h"

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

constexpr char kCacheMagic[4] = {'K', '3', '6', 'C'};
// Larger than any record a cache file can hold: read no further.
constexpr std::size_t kMaxCacheFileBytes = 4096;

void putLe(unsigned char* at, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        at[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t getLe(const unsigned char* at, int bytes)
{
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | at[i];
    return value;
}

// The header for a record, its checksum included.
void makeHeader(unsigned char* header, uint32_t data_id, const unsigned char* record,
                unsigned int length)
{
    std::memcpy(header, kCacheMagic, 4);
    putLe(header + 4, kCacheFormatVersion, 2);
    putLe(header + 6, kCacheHeaderSize, 2);
    putLe(header + 8, data_id, 4);
    putLe(header + 12, length, 4);
    putLe(header + 16, crc32(record, length, crc32(header, 16)), 4);
}

// Why `file` is not a record stored for `data_id`, or "" when it is one.
std::string cacheFileProblem(const std::string& file, uint32_t data_id)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
    if (file.size() < kCacheHeaderSize || std::memcmp(bytes, kCacheMagic, 4) != 0) {
        if (file.size() == kRecordSize)
            return "a bare 100-byte record without header (written by an older kel36-host)";
        return "not a kel36-host cache file (" + std::to_string(file.size()) +
               " bytes, no K36C header)";
    }
    const uint32_t version = getLe(bytes + 4, 2);
    if (version != kCacheFormatVersion)
        return "format version " + std::to_string(version) + ", this kel36-host reads version " +
               std::to_string(kCacheFormatVersion);
    const uint32_t header_size = getLe(bytes + 6, 2);
    if (header_size != kCacheHeaderSize)
        return "header length " + std::to_string(header_size) + ", expected " +
               std::to_string(kCacheHeaderSize);
    const uint32_t length = getLe(bytes + 12, 4);
    if (length != file.size() - kCacheHeaderSize)
        return "the header announces " + std::to_string(length) + " record bytes, the file holds " +
               std::to_string(file.size() - kCacheHeaderSize);
    const uint32_t stored_crc = getLe(bytes + 16, 4);
    const uint32_t crc = crc32(bytes + kCacheHeaderSize, length, crc32(bytes, 16));
    if (stored_crc != crc) {
        char text[80];
        std::snprintf(text, sizeof text, "checksum mismatch (stored %08x, computed %08x)",
                      stored_crc, crc);
        return text;
    }
    const uint32_t stored_id = getLe(bytes + 8, 4);
    if (stored_id != data_id)
        return "stored for data id " + std::to_string(stored_id) + ", not " +
               std::to_string(data_id);
    if (length != kRecordSize)
        return "a record of " + std::to_string(length) + " bytes, expected " +
               std::to_string(kRecordSize);
    // The driver takes over whatever data id the record carries: a record
    // of another device under this device's header is not handed to it.
    const uint32_t record_id = getLe(bytes + kCacheHeaderSize, 4);
    if (record_id != data_id)
        return "the record carries data id " + std::to_string(record_id) + ", its header " +
               std::to_string(data_id);
    return "";
}

// Opens a regular file of ours only, and without waiting: a FIFO would
// block the open until a peer came. A symbolic link is never followed (a
// link planted in the directory would have a root host create or read the
// file it points to), and a file created here is created by this open
// (O_EXCL), not one that appeared under its name. `absent` tells a missing
// file from other errors.
int openRegular(const std::string& path, int flags, std::string* error, bool* absent = nullptr)
{
    const int base = flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW;
    int fd = ::open(path.c_str(), base & ~O_CREAT);
    if (fd < 0 && errno == ENOENT && (flags & O_CREAT))
        fd = ::open(path.c_str(), base | O_EXCL, 0644);
    if (absent)
        *absent = fd < 0 && errno == ENOENT;
    if (fd < 0) {
        *error = errno == ELOOP    ? "a symbolic link, not a regular file"
                 : errno == EEXIST ? "appeared while it was being created"
                                   : std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        *error = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = std::string(kelcli::fileKind(st.st_mode)) + ", not a regular file";
        ::close(fd);
        return -1;
    }
    if (st.st_uid != ::geteuid()) {
        *error = "owned by uid " + std::to_string(st.st_uid) + ", not by this user (uid " +
                 std::to_string(::geteuid()) + ")";
        ::close(fd);
        return -1;
    }
    return fd;
}

// As ssh treats its own directory: a cache that another user could write
// into (or owns, and so could make writable) could be given a record of any
// content, or a lock file pointing anywhere. The sticky bit does not help:
// others could still create a device's files before this host does.
void checkDirectoryIsOurs(const std::string& dir, const struct stat& st)
{
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    if (st.st_uid != ::geteuid())
        throw ToolError("cache directory " + dir + " is owned by uid " + std::to_string(st.st_uid) +
                        ", not by the user running kel36-host (uid " + std::to_string(::geteuid()) +
                        ")");
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        throw ToolError("cache directory " + dir + " is writable by " +
                        ((st.st_mode & S_IWOTH) ? "others" : "its group") + " (mode " + mode +
                        "); only its owner may write it");
}

}  // namespace

uint32_t crc32(const unsigned char* data, std::size_t length, uint32_t crc)
{
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < length; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

RecordCache::RecordCache(const std::string& dir) : dir_(dir)
{
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode))
            throw ToolError("cache " + dir + " is not a directory");
        checkDirectoryIsOurs(dir, st);
        return;
    }
    if (errno != ENOENT || ::mkdir(dir.c_str(), 0755) != 0 || ::stat(dir.c_str(), &st) != 0)
        throw ToolError("cannot use cache directory " + dir + ": " + std::strerror(errno));
    checkDirectoryIsOurs(dir, st);
}

RecordCache::Slot RecordCache::take(uint32_t data_id) const
{
    Slot slot;
    const std::string id = std::to_string(data_id);
    slot.dir_ = dir_;
    slot.data_id_ = data_id;
    slot.path_ = dir_ + "/" + id + ".rec";
    slot.temp_prefix_ = "." + id + ".rec.";
    slot.temp_pattern_ = dir_ + "/" + slot.temp_prefix_ + "XXXXXX";
    slot.temp_path_ = slot.temp_pattern_;
    const std::string lock_path = dir_ + "/" + id + ".lock";
    std::string error;
    slot.lock_fd_ = openRegular(lock_path, O_RDWR | O_CREAT, &error);
    if (slot.lock_fd_ < 0)
        throw ToolError("cannot lock cache " + slot.path_ + ": " + lock_path + ": " + error);
    if (::flock(slot.lock_fd_, LOCK_EX | LOCK_NB) != 0)
        throw ToolError("cache " + slot.path_ + " is in use by another kel36-host (" + lock_path +
                        " is locked)");
    if (!kelcli::isRegularOrAbsent(slot.path_, &error))
        throw ToolError("cache file " + slot.path_ + " is " + error);
    // Temporary files left by a run that was killed while storing.
    if (DIR* d = ::opendir(dir_.c_str())) {
        while (const dirent* entry = ::readdir(d))
            if (std::strncmp(entry->d_name, slot.temp_prefix_.c_str(), slot.temp_prefix_.size()) ==
                0)
                ::unlinkat(::dirfd(d), entry->d_name, 0);
        ::closedir(d);
    }
    return slot;
}

RecordCache::Slot::~Slot()
{
    if (lock_fd_ >= 0)
        ::close(lock_fd_);
}

RecordCache::Slot::Slot(Slot&& other) noexcept
    : dir_(std::move(other.dir_)),
      path_(std::move(other.path_)),
      temp_prefix_(std::move(other.temp_prefix_)),
      temp_pattern_(std::move(other.temp_pattern_)),
      temp_path_(std::move(other.temp_path_)),
      data_id_(other.data_id_),
      lock_fd_(other.lock_fd_)
{
    other.lock_fd_ = -1;
}

RecordCache::Slot& RecordCache::Slot::operator=(Slot&& other) noexcept
{
    if (this != &other) {
        if (lock_fd_ >= 0)
            ::close(lock_fd_);
        dir_ = std::move(other.dir_);
        path_ = std::move(other.path_);
        temp_prefix_ = std::move(other.temp_prefix_);
        temp_pattern_ = std::move(other.temp_pattern_);
        temp_path_ = std::move(other.temp_path_);
        data_id_ = other.data_id_;
        lock_fd_ = other.lock_fd_;
        other.lock_fd_ = -1;
    }
    return *this;
}

std::optional<std::string> RecordCache::Slot::load(std::string* refusal) const
{
    refusal->clear();
    std::string error;
    bool absent = false;
    const int fd = openRegular(path_, O_RDONLY, &error, &absent);
    if (fd < 0) {
        if (!absent)
            *refusal = error;
        return std::nullopt;
    }
    std::string bytes;
    char buf[512];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *refusal = std::string("cannot read: ") + std::strerror(errno);
            break;
        }
        if (n == 0)
            break;
        bytes.append(buf, static_cast<std::size_t>(n));
        if (bytes.size() > kMaxCacheFileBytes) {
            *refusal = "larger than any cached record";
            break;
        }
    }
    ::close(fd);
    if (refusal->empty())
        *refusal = cacheFileProblem(bytes, data_id_);
    if (!refusal->empty())
        return std::nullopt;
    return bytes.substr(kCacheHeaderSize);
}

bool RecordCache::Slot::store(const unsigned char* data, unsigned int length,
                              std::string* error) const
{
    temp_path_ = temp_pattern_;  // same length: no allocation
    char* temp_path = temp_path_.data();
    const int fd = ::mkostemp(temp_path, O_CLOEXEC);
    if (fd < 0) {
        if (error)
            *error = "cannot write a temporary file in " + dir_ + ": " + std::strerror(errno);
        return false;
    }
    unsigned char header[kCacheHeaderSize];
    makeHeader(header, data_id_, data, length);
    bool ok = ::fchmod(fd, 0644) == 0 &&
              writeFully(fd, reinterpret_cast<const char*>(header), sizeof header) &&
              writeFully(fd, reinterpret_cast<const char*>(data), length) && ::fdatasync(fd) == 0;
    const int saved = errno;
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(temp_path, path_.c_str()) == 0)
        return true;
    if (error)
        *error = "cannot store cached record " + path_ + ": " + std::strerror(ok ? errno : saved);
    ::unlink(temp_path);
    return false;
}

}  // namespace keltool
