#include "cli/input_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelcli {
namespace {

std::string sizeText(std::size_t bytes)
{
    if (bytes % (1024 * 1024) == 0)
        return std::to_string(bytes / (1024 * 1024)) + " MiB";
    return std::to_string(bytes) + " bytes";
}

}  // namespace

const char* fileKind(unsigned int mode)
{
    switch (mode & S_IFMT) {
        case S_IFREG:
            return "a regular file";
        case S_IFDIR:
            return "a directory";
        case S_IFIFO:
            return "a FIFO";
        case S_IFCHR:
            return "a character device";
        case S_IFBLK:
            return "a block device";
        case S_IFSOCK:
            return "a socket";
        default:
            return "not a regular file";
    }
}

bool readInputFile(const std::string& path, std::string* text, std::string* error,
                   std::size_t max_bytes)
{
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *error = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        *error = std::strerror(errno);
        ::close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = std::string(fileKind(st.st_mode)) + ", not a regular file";
        ::close(fd);
        return false;
    }
    text->clear();
    const std::string too_large = "larger than " + sizeText(max_bytes);
    if (static_cast<unsigned long long>(st.st_size) > max_bytes) {
        *error = too_large;
        ::close(fd);
        return false;
    }
    // The file may grow while it is read: never past the limit.
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        if (text->size() + static_cast<std::size_t>(n) > max_bytes) {
            *error = too_large;
            ::close(fd);
            return false;
        }
        text->append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

bool isRegularOrAbsent(const std::string& path, std::string* error)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return true;
    if (S_ISREG(st.st_mode))
        return true;
    *error = std::string(fileKind(st.st_mode)) + ", not a regular file";
    return false;
}

}  // namespace kelcli
