#pragma once
// The payloads kel36-host publishes, as JSON text: a record, a device's
// state, an announced event, and Home Assistant's discovery configs.

#include <cstdint>
#include <string>
#include <vector>

#include "kel36-host/events/announced_event.h"
#include "kel36-host/output/record_decoder.h"
#include "kel36-host/output/reports.h"

namespace keltool {

struct PublishedAlarm {
    std::string signal, code, text;
    bool active = false;
};

// One record as it goes out: its own bytes, time and sequence number.
struct PublishedRecord {
    std::string device;  // the device's name
    uint32_t data_id = 0;
    int64_t time_ms = 0;
    uint64_t seq = 0;
    RecordSource source = RecordSource::Poll;
    RecordBytes bytes{};
    std::vector<PublishedAlarm> alarms;
};

// The alarms' active flags from the record's status bytes, with the code
// and text `named` holds for each signal (empty where it holds none).
std::vector<PublishedAlarm> alarmsFromBytes(const RecordBytes& bytes,
                                            const std::vector<PublishedAlarm>& named);

// "2026-12-09T22:41:07.250Z"
std::string utcIsoMillis(int64_t epoch_ms);

std::string recordPayload(const PublishedRecord& record);
// The latest record and whether the device answers now; without a record
// yet, the values are null.
std::string statePayload(const PublishedRecord* latest, bool answering);
std::string eventPayload(const AnnouncedEvent& event, int64_t time_ms);

struct TopicMessage {
    std::string topic;
    std::string payload;
};

// The retained discovery configs for one device: a sensor per value and the
// battery, a binary sensor per alarm.
std::vector<TopicMessage> discoveryMessages(const std::string& prefix, const std::string& device,
                                            uint32_t data_id);

}  // namespace keltool
