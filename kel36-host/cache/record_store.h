#pragma once
// The host's record cache: each device's last record, restored at start-up.
// Paths and buffers are prepared once, so storing a record per round
// allocates nothing. (The history is kept in store/.)

#include <cstdint>
#include <optional>
#include <string>

#include "kel36-host/output/reports.h"

namespace keltool {

// Cache files are the host's own format: a header that says what the file
// holds, then the record.
//
//   bytes 0-3    magic "K36C"
//   bytes 4-5    format version (1), little-endian
//   bytes 6-7    header length (20)
//   bytes 8-11   data identifier of the device that stored the record
//   bytes 12-15  record length
//   bytes 16-19  CRC-32 (as zlib's) of bytes 0-15 and the record
//   bytes 20-    the record
constexpr std::size_t kCacheHeaderSize = 20;
constexpr uint16_t kCacheFormatVersion = 1;

// CRC-32 with the polynomial of zlib, Ethernet and PNG, continued from `crc`.
uint32_t crc32(const unsigned char* data, std::size_t length, uint32_t crc = 0);

class RecordCache {
public:
    // Uses (and creates, one level) the directory. Throws ToolError.
    explicit RecordCache(const std::string& dir);

    // One device's cache file, "<dir>/<data id>.rec", held for the run: a lock
    // on "<dir>/<data id>.lock" keeps a second host away from it.
    class Slot {
    public:
        Slot() = default;
        ~Slot();
        Slot(Slot&& other) noexcept;
        Slot& operator=(Slot&& other) noexcept;
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;

        // The cached record when the file holds one stored for this device.
        // Nothing, with `refusal` empty, when there is no file; nothing, with
        // `refusal` saying why, when the file is not such a record.
        std::optional<std::string> load(std::string* refusal) const;
        // Writes a temporary file of its own and renames it over the cache
        // file, so a reader never sees half a record.
        bool store(const unsigned char* data, unsigned int length, std::string* error) const;
        const std::string& path() const { return path_; }

    private:
        friend class RecordCache;
        std::string dir_;
        std::string path_;
        std::string temp_prefix_;   // ".<data id>.rec."
        std::string temp_pattern_;  // for mkstemp: "<dir>/.<data id>.rec.XXXXXX"
        mutable std::string temp_path_;
        uint32_t data_id_ = 0;
        int lock_fd_ = -1;
    };

    // Takes the device's cache for this run. Throws ToolError when another
    // process holds it or the cache file is not a regular file.
    Slot take(uint32_t data_id) const;

private:
    std::string dir_;
};

}  // namespace keltool
