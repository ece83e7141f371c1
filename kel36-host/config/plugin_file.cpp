#include "kel36-host/config/plugin_file.h"

#include <cerrno>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cli/input_file.h"

namespace keltool {
namespace {

bool readAt(int fd, void* into, std::size_t length, off_t offset)
{
    auto* at = static_cast<char*>(into);
    while (length > 0) {
        const ssize_t n = ::pread(fd, at, length, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += n;
        length -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

// Whether bytes [offset, offset + count * size) lie within `file_size`,
// without overflow.
bool within(uint64_t offset, uint64_t count, uint64_t size, uint64_t file_size)
{
    if (offset > file_size || (size != 0 && count > (file_size - offset) / size))
        return false;
    return true;
}

std::string truncated(const std::string& what, uint64_t from, uint64_t length, uint64_t file_size)
{
    return "truncated at " + std::to_string(file_size) + " bytes: " + what + " end at byte " +
           std::to_string(from + length);
}

std::string elfProblem(int fd, uint64_t file_size)
{
    unsigned char ident[EI_NIDENT] = {};
    if (file_size < EI_NIDENT || !readAt(fd, ident, EI_NIDENT, 0) ||
        std::memcmp(ident, ELFMAG, SELFMAG) != 0)
        return "not an ELF shared object (" + std::to_string(file_size) + " bytes)";
    // Another class or byte order is dlopen's to refuse, without mapping it.
    const unsigned char own_class = sizeof(ElfW(Addr)) == 8 ? ELFCLASS64 : ELFCLASS32;
    const uint16_t probe = 1;
    const unsigned char own_data =
        *reinterpret_cast<const unsigned char*>(&probe) == 1 ? ELFDATA2LSB : ELFDATA2MSB;
    if (ident[EI_CLASS] != own_class || ident[EI_DATA] != own_data)
        return "";
    ElfW(Ehdr) header{};
    if (file_size < sizeof header || !readAt(fd, &header, sizeof header, 0))
        return truncated("the ELF header would", 0, sizeof header, file_size);
    if (header.e_phnum == 0 || header.e_phentsize != sizeof(ElfW(Phdr)))
        return "not a loadable ELF object (no program headers)";
    if (!within(header.e_phoff, header.e_phnum, header.e_phentsize, file_size))
        return truncated("the program headers would", header.e_phoff,
                         uint64_t{header.e_phnum} * header.e_phentsize, file_size);
    if (header.e_shnum != 0 &&
        !within(header.e_shoff, header.e_shnum, header.e_shentsize, file_size))
        return truncated("the section headers would", header.e_shoff,
                         uint64_t{header.e_shnum} * header.e_shentsize, file_size);
    std::vector<ElfW(Phdr)> segments(header.e_phnum);  // at most 65535
    if (!readAt(fd, segments.data(), segments.size() * sizeof(ElfW(Phdr)),
                static_cast<off_t>(header.e_phoff)))
        return "cannot read its program headers";
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const ElfW(Phdr)& p = segments[i];
        if (p.p_filesz != 0 && !within(p.p_offset, 1, p.p_filesz, file_size))
            return truncated("segment " + std::to_string(i) + " would", p.p_offset, p.p_filesz,
                             file_size);
    }
    return "";
}

}  // namespace

std::string pluginLoadPath(const std::string& given)
{
    return given.find('/') == std::string::npos ? "./" + given : given;
}

std::string pluginFileProblem(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return "";
    struct stat st {};
    std::string problem;
    if (::fstat(fd, &st) != 0)
        problem = std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        problem = std::string(kelcli::fileKind(st.st_mode)) + ", not a regular file";
    else
        problem = elfProblem(fd, static_cast<uint64_t>(st.st_size));
    ::close(fd);
    return problem;
}

}  // namespace keltool
