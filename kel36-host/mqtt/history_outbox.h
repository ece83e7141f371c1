#pragma once
// With --history the history database is the outbox: the records this host
// wrote, in the order stored, after a cursor of what the broker has
// acknowledged. The cursor is kept per destination (broker and prefix) and
// per writing host (runs.host), beside each device's last acknowledged seq,
// so a restart resumes where the last run stopped and re-sends at most the
// records that were in flight, under the same seq.
//
// The publisher thread reads through a connection of its own (the history's
// writer thread writes the records) and writes only the cursor.

#include <chrono>
#include <deque>
#include <map>
#include <string>

#include "kel36-host/mqtt/outgoing_records.h"
#include "kel36-host/store/sqlite_db.h"

namespace keltool {

class HistoryOutbox : public OutgoingRecords {
public:
    // A destination seen for the first time starts after the records stored
    // so far: it gets this run's records and later ones. Throws ToolError.
    HistoryOutbox(const std::string& path, const std::string& destination,
                  const std::string& host);

    bool next(PublishedRecord* record, uint64_t* token) override;
    void acknowledged(uint64_t token) override;
    void rewind() override;
    void save() override { saveCursor(false); }
    void lookAgain() override { last_empty_fetch_ = {}; }
    uint64_t waiting() override;
    // Writes the cursor now (at the end of a run); false when it could not
    // be written (`why`), and it is tried again by the next save.
    bool saveCursor(bool now, std::string* why = nullptr);
    int64_t cursor() const { return cursor_; }

private:
    struct InFlight {
        int64_t id;
        std::string device;
        uint64_t seq;
        bool acked;
    };
    bool fetch();

    std::string destination_, host_;
    SqliteDb db_;
    SqliteStatement select_records_, select_names_, update_cursor_, update_seq_, count_waiting_;
    int64_t cursor_ = 0;      // the last record acknowledged in order
    int64_t read_after_ = 0;  // the last record read
    std::map<std::string, uint64_t> acked_seq_, next_seq_;
    std::map<std::string, bool> seq_dirty_;
    std::deque<std::pair<int64_t, PublishedRecord>> fetched_;
    std::deque<InFlight> in_flight_;
    std::map<std::string, std::vector<PublishedAlarm>> names_;
    bool cursor_dirty_ = false;
    std::chrono::steady_clock::time_point last_save_{}, last_empty_fetch_{};
};

}  // namespace keltool
