#pragma once
// Writes a capture (docs/capture.md) without ever making polling wait for the
// disk: events are encoded into a bounded buffer that a thread of its own
// writes out, at least every 100 ms. A full buffer (a disk slower than the
// lines) drops events; a failed write (a full disk, an I/O error, a rotation
// that cannot rename) stops the capture. Both are reported once, at once,
// and every event that is not in the file is counted: the end of the run
// says that the capture is incomplete.
//
// With a size limit the file is rotated: FILE becomes FILE.1 (FILE.1
// becomes FILE.2, ...), at most `files` files are kept, and every new file
// starts with its own section header and interface blocks.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "kel36-host/capture/capture_format.h"
#include "kel36-host/wall_clock.h"

namespace keltool {

struct CaptureSettings {
    std::string path;
    uint64_t limit_bytes = 0;  // one file's bound; 0: no rotation
    unsigned files = 5;        // with a limit: FILE and at most files-1 older ones
    std::size_t buffer_bytes = 4u << 20;  // waiting for the writer thread; twice this at most
    std::string application;              // shb_userappl
    std::string os;                       // shb_os; empty: uname's
    // Where a failure is reported, the moment it happens, with this prefix
    // ("<3>" for the journal). Null: not reported (the loss still counts).
    std::FILE* report = stderr;
    std::string report_prefix;
};

// One interface: a serial line.
struct CaptureLine {
    std::string name;         // the port as configured
    std::string description;  // "19200 baud 8N1, polled by kel36-host"
    uint64_t bits_per_second = 0;
    std::vector<std::string> devices;  // "device 0 genset-1 address 65 data-id 5001"
};

class CaptureWriter {
public:
    // Creates (truncates) the file and writes the section header. Throws
    // ToolError when it cannot be created, or when a limit is asked for a
    // path that is not a regular file (it could not be renamed).
    explicit CaptureWriter(CaptureSettings settings);
    ~CaptureWriter();  // close()
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    // The calls below are made from one thread, the polling one, and never
    // wait for the disk.

    // Describes a line; its events name the returned interface number.
    uint32_t addLine(const CaptureLine& line);
    // One event: the header, then `payload` and `more` (either may be empty),
    // stamped with the wall clock `when`. False when it was not kept (the
    // capture stopped, the buffer was full).
    bool add(uint32_t line, const CaptureHeader& header, const WallTime& when,
             const unsigned char* payload, std::size_t length,
             const unsigned char* more = nullptr, std::size_t more_length = 0);

    // Writes what is buffered and closes the file; the counts are final.
    void close();

    const std::string& path() const;
    uint64_t eventsWritten() const;
    // Events that never reached a file: dropped from a full buffer, or not
    // written after a failure. (Old files that rotation deletes were
    // written; they do not count.)
    uint64_t eventsLost() const;
    // One line saying the capture is incomplete, how much and why; "" when
    // nothing was lost. Final after close().
    std::string lossLine() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace keltool
