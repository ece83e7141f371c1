#pragma once
// Keeps the history in the SQLite database: one row per record the driver
// stores, one per stall, and the alarms' codes and texts. The polling thread
// only queues rows (a bounded ring, no waiting, no allocation in the steady
// state); a writer thread of its own commits them in transactions, at most
// 50 ms after they were queued, so a crash loses at most the rows of the
// last 50 ms.
//
// A failed write (a full disk) is rolled back whole and retried every second
// with the rows it held, while new rows queue up; when the queue is full
// further rows are dropped and counted. A row the database refuses (its own
// fault, not the file's) is dropped alone and counted. Failures, their end and dropped rows
// are told through notices that the polling thread takes.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "kel36-host/output/reports.h"
#include "kel36-host/wall_clock.h"

namespace keltool {

struct HistoryWriterOptions {
    int keep_days = 0;                  // prune rows older than this; 0 keeps everything
    std::size_t queue_capacity = 8192;  // rows waiting for the writer thread
    int retry_ms = 1000;                // after a failed write
    int busy_timeout_ms = 5000;         // waiting for another writer of the file
    std::string program = "kel36-host";
    std::string host;  // runs.host; empty: historyHostName()
};

// This machine's name, as runs.host keeps it: what tells the records of two
// hosts sharing one history apart (the MQTT outbox sends only its own).
std::string historyHostName();

int64_t epochMillis(const WallTime& t);

class HistoryWriter {
public:
    // Opens or creates the history (refusing any other file, see
    // openHistory), starts a run and the writer thread. Throws ToolError.
    explicit HistoryWriter(const std::string& path, const HistoryWriterOptions& options = {});
    ~HistoryWriter();  // close()
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    // Called from one thread, the polling one. Never waits for the database.
    // False when the row was dropped because the queue was full.
    bool record(const std::string& device, uint32_t data_id, RecordSource source,
                const unsigned char* data, unsigned int length, const WallTime& when);
    bool stall(const std::string& device, StallReason reason, int awaited_register,
               const WallTime& when);
    // An event of the one list (event_names.h); the detail is cut at 1000 bytes.
    void event(const std::string& device, DeviceEvent event, const std::string& detail,
               const WallTime& when);
    // The text and code the driver gives a device's alarm signal.
    void alarmName(const std::string& device, const std::string& signal, const std::string& code,
                   const std::string& text);
    // A line worth showing (a failure, its end, dropped rows); false when
    // there is none. Cheap when there is none.
    bool takeNotice(std::string* text);

    // Writes what is queued (one last try when writing fails), ends the run
    // and stops the writer thread. Notices can be taken afterwards.
    void close();

    const std::string& path() const;
    uint64_t rowsWritten() const;
    uint64_t rowsDropped() const;  // the queue was full
    // Rows of this run that are not in the file: dropped from a full queue,
    // refused by the database (a row that cannot be written alone is dropped
    // so that the rows after it are written), or still queued at the end.
    // Final after close(), and kept in the run's row (runs.rows_lost).
    uint64_t rowsLost() const;
    // After close(): one line saying how many rows were lost and why; "" when none.
    std::string lossLine() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace keltool
