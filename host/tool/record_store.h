#pragma once
// The host's record services: the history log (one JSON line per stored
// record) and the record cache (each device's last record, restored at
// start-up). Paths and buffers are prepared once, so storing a record per
// round allocates nothing.

#include <cstdint>
#include <optional>
#include <string>

namespace keltool {

class HistoryLog {
public:
    // Opens (creates) the file for appending. Throws ToolError.
    explicit HistoryLog(const std::string& path);
    ~HistoryLog();
    HistoryLog(const HistoryLog&) = delete;
    HistoryLog& operator=(const HistoryLog&) = delete;

    // {"time":"...","device":"...","data_id":N,"record":"<hex>"} as one write.
    // False when the write failed (disk full, say).
    bool append(const std::string& device, uint32_t data_id, const unsigned char* data,
                unsigned int length);
    const std::string& path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
    std::string line_;
};

class RecordCache {
public:
    // Uses (and creates, one level) the directory. Throws ToolError.
    explicit RecordCache(const std::string& dir);

    // One device's cache file, "<dir>/<data id>.rec".
    class Slot {
    public:
        Slot() = default;
        Slot(const std::string& dir, uint32_t data_id);
        // The cached bytes as they are (at most 4 KiB), or nothing without a file.
        std::optional<std::string> load(std::string* error) const;
        // Writes a temporary file and renames it over the cache file, so a reader
        // never sees half a record.
        bool store(const unsigned char* data, unsigned int length, std::string* error) const;
        const std::string& path() const { return path_; }

    private:
        std::string path_;
        std::string temp_path_;
    };

    Slot slot(uint32_t data_id) const { return Slot(dir_, data_id); }

private:
    std::string dir_;
};

}  // namespace keltool
