#include "kel36-host/capture/capture_writer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <thread>
#include <unistd.h>

#include "kel36-host/tool_error.h"

namespace keltool {
namespace {

constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescription = 1;
constexpr uint32_t kEnhancedPacket = 6;
constexpr auto kFlushGap = std::chrono::milliseconds(100);
// A payload beyond this is cut (a line-lost reason is the only long one).
constexpr std::size_t kMaxPayload = 1024;

// Blocks are built in this machine's byte order, which the section header's
// magic announces.
void put16(std::vector<unsigned char>& out, uint16_t v)
{
    const auto at = out.size();
    out.resize(at + 2);
    std::memcpy(out.data() + at, &v, 2);
}

void put32(std::vector<unsigned char>& out, uint32_t v)
{
    const auto at = out.size();
    out.resize(at + 4);
    std::memcpy(out.data() + at, &v, 4);
}

void pad4(std::vector<unsigned char>& out)
{
    while (out.size() % 4 != 0)
        out.push_back(0);
}

void option(std::vector<unsigned char>& out, uint16_t code, const void* data, std::size_t length)
{
    length = std::min<std::size_t>(length, 0xFFFF - 3);
    put16(out, code);
    put16(out, static_cast<uint16_t>(length));
    const auto* bytes = static_cast<const unsigned char*>(data);
    out.insert(out.end(), bytes, bytes + length);
    pad4(out);
}

void textOption(std::vector<unsigned char>& out, uint16_t code, const std::string& text)
{
    option(out, code, text.data(), text.size());
}

// Starts a block (type, room for its length); endBlock fills the length in.
void beginBlock(std::vector<unsigned char>& out, uint32_t type)
{
    put32(out, type);
    put32(out, 0);
}

void endBlock(std::vector<unsigned char>& out, std::size_t start)
{
    pad4(out);
    const auto total = static_cast<uint32_t>(out.size() - start + 4);
    std::memcpy(out.data() + start + 4, &total, 4);
    put32(out, total);
}

std::vector<unsigned char> sectionHeader(const CaptureSettings& s)
{
    std::vector<unsigned char> out;
    beginBlock(out, kSectionHeader);
    put32(out, 0x1A2B3C4D);
    put16(out, 1);
    put16(out, 0);
    put32(out, 0xFFFFFFFF);  // section length unknown
    put32(out, 0xFFFFFFFF);
    std::string os = s.os;
    if (os.empty()) {
        utsname u{};
        if (::uname(&u) == 0)
            os = std::string(u.sysname) + " " + u.release + " " + u.machine;
    }
    if (!os.empty())
        textOption(out, 3, os);
    if (!s.application.empty())
        textOption(out, 4, s.application);
    option(out, 0, nullptr, 0);
    endBlock(out, 0);
    return out;
}

std::vector<unsigned char> interfaceBlock(const CaptureLine& line)
{
    std::vector<unsigned char> out;
    beginBlock(out, kInterfaceDescription);
    put16(out, kCaptureLinkType);
    put16(out, 0);
    put32(out, 0);  // snap length: no limit
    textOption(out, 2, line.name);
    textOption(out, 3, line.description);
    const uint64_t speed = line.bits_per_second;
    option(out, 8, &speed, 8);
    const unsigned char resolution = 6;
    option(out, 9, &resolution, 1);
    for (const std::string& device : line.devices)
        textOption(out, 1, device);
    option(out, 0, nullptr, 0);
    endBlock(out, 0);
    return out;
}

uint32_t blockType(const unsigned char* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

uint32_t blockLength(const unsigned char* p)
{
    uint32_t v;
    std::memcpy(&v, p + 4, 4);
    return v;
}

bool writeAll(int fd, const unsigned char* data, std::size_t length, std::size_t* written)
{
    *written = 0;
    while (*written < length) {
        const ssize_t n = ::write(fd, data + *written, length - *written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        *written += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

struct CaptureWriter::Impl {
    CaptureSettings settings;
    std::vector<unsigned char> section;

    // Filled by the polling thread, taken whole by the writer thread.
    std::mutex mutex;
    std::condition_variable wake;
    std::vector<unsigned char> pending;
    uint64_t pending_events = 0;
    bool closing = false;
    uint32_t lines = 0;
    std::vector<unsigned char> scratch;  // one block being built (polling thread)

    // The writer thread's.
    std::vector<unsigned char> writing;
    std::vector<std::vector<unsigned char>> interfaces;  // rewritten after a rotation
    int fd = -1;
    uint64_t file_size = 0;
    bool file_has_packets = false;
    std::thread thread;

    std::atomic<bool> stopped{false};  // a write failed: nothing more is kept
    std::atomic<bool> overflowed{false};
    std::atomic<uint64_t> written{0};
    std::atomic<uint64_t> lost{0};
    std::string failure;  // why it stopped; written before `stopped`
    bool closed = false;

    void report(const std::string& text)
    {
        if (settings.report)
            std::fprintf(settings.report, "%skel36-host: capture %s: %s\n",
                         settings.report_prefix.c_str(), settings.path.c_str(), text.c_str());
    }

    int openFile()
    {
        return ::open(settings.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    }

    void fail(const std::string& why, uint64_t unwritten)
    {
        failure = why;
        lost += unwritten;
        stopped = true;
        report(why + "; capturing stopped, the capture is incomplete");
    }

    // FILE becomes FILE.1, ..., the oldest beyond `files` goes.
    bool rotate(std::string* why)
    {
        ::close(fd);
        fd = -1;
        const auto name = [this](unsigned i) {
            return i == 0 ? settings.path : settings.path + "." + std::to_string(i);
        };
        const unsigned keep = std::max(1u, settings.files);
        if (::unlink(name(keep - 1).c_str()) != 0 && errno != ENOENT) {
            *why = "cannot delete " + name(keep - 1) + ": " + std::strerror(errno);
            return false;
        }
        for (unsigned i = keep - 1; i > 0; --i) {
            if (::rename(name(i - 1).c_str(), name(i).c_str()) != 0 && errno != ENOENT) {
                *why = "cannot rename " + name(i - 1) + ": " + std::strerror(errno);
                return false;
            }
        }
        fd = openFile();
        if (fd < 0) {
            *why = std::string("cannot create it anew: ") + std::strerror(errno);
            return false;
        }
        file_size = 0;
        file_has_packets = false;
        if (!put(section.data(), section.size(), why))
            return false;
        for (const auto& block : interfaces)
            if (!put(block.data(), block.size(), why))
                return false;
        return true;
    }

    // A block that cannot be written whole is cut off again, so that the
    // file ends on a whole block and reads up to the loss.
    bool put(const unsigned char* data, std::size_t length, std::string* why)
    {
        std::size_t done = 0;
        if (writeAll(fd, data, length, &done)) {
            file_size += length;
            return true;
        }
        *why = std::string("cannot write: ") + std::strerror(errno);
        if (done > 0 && ::ftruncate(fd, static_cast<off_t>(file_size)) != 0) {
            // A file that cannot even be cut keeps a torn last block.
        }
        return false;
    }

    // Writes the taken blocks; false when writing failed.
    bool writeOut(uint64_t events)
    {
        std::size_t at = 0;
        while (at + 12 <= writing.size()) {
            const unsigned char* block = writing.data() + at;
            const uint32_t type = blockType(block);
            const uint32_t length = blockLength(block);
            std::string why;
            if (settings.limit_bytes > 0 && file_has_packets &&
                file_size + length > settings.limit_bytes && !rotate(&why)) {
                fail(why, events);
                return false;
            }
            if (!put(block, length, &why)) {
                fail(why, events);
                return false;
            }
            if (type == kInterfaceDescription) {
                interfaces.emplace_back(block, block + length);
            } else if (type == kEnhancedPacket) {
                file_has_packets = true;
                --events;
                ++written;
            }
            at += length;
        }
        return true;
    }

    void run()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait_for(lock, kFlushGap, [this] { return closing; });
            const bool last = closing;
            writing.swap(pending);
            pending.clear();
            const uint64_t events = pending_events;
            pending_events = 0;
            lock.unlock();
            if (!stopped) {
                writeOut(events);
            } else {
                lost += events;
            }
            writing.clear();
            lock.lock();
            if (last && pending.empty())
                return;
        }
    }
};

CaptureWriter::CaptureWriter(CaptureSettings settings) : impl_(std::make_unique<Impl>())
{
    Impl& m = *impl_;
    m.settings = std::move(settings);
    if (m.settings.limit_bytes > 0) {
        struct stat st{};
        if (::stat(m.settings.path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
            throw ToolError("capture " + m.settings.path +
                            ": not a regular file, it cannot be rotated (--capture-limit)");
    }
    m.fd = m.openFile();
    if (m.fd < 0)
        throw ToolError("capture " + m.settings.path + ": " + std::strerror(errno));
    m.section = sectionHeader(m.settings);
    m.pending.reserve(m.settings.buffer_bytes);
    m.writing.reserve(m.settings.buffer_bytes);
    m.scratch.reserve(64 + kMaxPayload);
    m.pending.insert(m.pending.end(), m.section.begin(), m.section.end());
    m.thread = std::thread([&m] { m.run(); });
}

CaptureWriter::~CaptureWriter()
{
    close();
}

uint32_t CaptureWriter::addLine(const CaptureLine& line)
{
    Impl& m = *impl_;
    const std::vector<unsigned char> block = interfaceBlock(line);
    std::lock_guard<std::mutex> lock(m.mutex);
    // An interface block is never dropped: the events after it need it. Its
    // size is bounded by the few devices a line has.
    m.pending.insert(m.pending.end(), block.begin(), block.end());
    return m.lines++;
}

bool CaptureWriter::add(uint32_t line, const CaptureHeader& header, const WallTime& when,
                        const unsigned char* payload, std::size_t length,
                        const unsigned char* more, std::size_t more_length)
{
    Impl& m = *impl_;
    if (m.stopped) {
        ++m.lost;
        return false;
    }
    length = std::min(length, kMaxPayload);
    more_length = std::min(more_length, kMaxPayload - length);
    std::vector<unsigned char>& b = m.scratch;
    b.clear();
    beginBlock(b, kEnhancedPacket);
    put32(b, line);
    const uint64_t micros = static_cast<uint64_t>(when.seconds) * 1000000u +
                            static_cast<uint64_t>(when.nanoseconds / 1000);
    put32(b, static_cast<uint32_t>(micros >> 32));
    put32(b, static_cast<uint32_t>(micros));
    const auto captured = static_cast<uint32_t>(kCaptureHeaderLength + length + more_length);
    put32(b, captured);
    put32(b, captured);
    const std::size_t at = b.size();
    b.resize(at + kCaptureHeaderLength);
    encodeCaptureHeader(header, b.data() + at);
    if (length > 0)
        b.insert(b.end(), payload, payload + length);
    if (more_length > 0)
        b.insert(b.end(), more, more + more_length);
    endBlock(b, 0);

    std::unique_lock<std::mutex> lock(m.mutex);
    if (m.closing || m.pending.size() + b.size() > m.settings.buffer_bytes) {
        lock.unlock();
        ++m.lost;
        if (!m.overflowed.exchange(true))
            m.report("the disk does not keep up, events are dropped; the capture is incomplete");
        return false;
    }
    m.pending.insert(m.pending.end(), b.begin(), b.end());
    ++m.pending_events;
    const bool half_full = m.pending.size() > m.settings.buffer_bytes / 2;
    lock.unlock();
    if (half_full)
        m.wake.notify_one();
    return true;
}

void CaptureWriter::close()
{
    Impl& m = *impl_;
    if (m.closed)
        return;
    m.closed = true;
    {
        std::lock_guard<std::mutex> lock(m.mutex);
        m.closing = true;
    }
    m.wake.notify_one();
    m.thread.join();
    if (m.fd >= 0 && ::close(m.fd) != 0 && !m.stopped)
        m.fail(std::string("cannot write: ") + std::strerror(errno), 0);
    m.fd = -1;
}

const std::string& CaptureWriter::path() const
{
    return impl_->settings.path;
}

uint64_t CaptureWriter::eventsWritten() const
{
    return impl_->written;
}

uint64_t CaptureWriter::eventsLost() const
{
    return impl_->lost;
}

std::string CaptureWriter::lossLine() const
{
    const Impl& m = *impl_;
    if (m.lost == 0 && !m.stopped)
        return "";
    std::string why = m.stopped ? m.failure : "the buffer was full";
    return "capture " + m.settings.path + " is incomplete: " + std::to_string(m.lost.load()) +
           " of " + std::to_string(m.lost.load() + m.written.load()) + " events not written (" +
           why + ")";
}

}  // namespace keltool
