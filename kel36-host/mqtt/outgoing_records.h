#pragma once
// Where the publisher takes the records it sends: the history's outbox
// (with --history) or a bounded queue in memory. A record is handed out, sent,
// and let go only when the broker has acknowledged it; a session that ends
// hands the unacknowledged ones out again (the consumer drops the duplicates
// by seq).

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "kel36-host/mqtt/mqtt_messages.h"

namespace keltool {

class OutgoingRecords {
public:
    virtual ~OutgoingRecords() = default;
    // Publisher thread. The next record not handed out yet; false when none now.
    virtual bool next(PublishedRecord* record, uint64_t* token) = 0;
    virtual void acknowledged(uint64_t token) = 0;
    // The session ended: what was handed out and not acknowledged goes again.
    virtual void rewind() = 0;
    // Keeps what was acknowledged (the outbox's cursor); cheap when nothing changed.
    virtual void save() {}
    // Looks for new records at the next call of next(), however recently it
    // found none (the history's last rows are written when the run ends).
    virtual void lookAgain() {}
    // Records not acknowledged yet.
    virtual uint64_t waiting() = 0;
};

// Without a history: at most `capacity` records wait; the ones that do not
// fit are counted, never sent, and seq starts at 1 each run.
class MemoryQueue : public OutgoingRecords {
public:
    explicit MemoryQueue(std::size_t capacity) : capacity_(capacity) {}

    // Polling thread. False when the queue was full and the record is lost.
    bool push(PublishedRecord&& record);
    uint64_t dropped() const;

    bool next(PublishedRecord* record, uint64_t* token) override;
    void acknowledged(uint64_t token) override;
    void rewind() override;
    uint64_t waiting() override;

private:
    struct Entry {
        PublishedRecord record;
        bool acked = false;
    };
    mutable std::mutex mutex_;
    const std::size_t capacity_;
    std::deque<Entry> entries_;
    uint64_t first_token_ = 0;  // the token of entries_.front()
    std::size_t handed_out_ = 0;
    uint64_t dropped_ = 0;
};

}  // namespace keltool
