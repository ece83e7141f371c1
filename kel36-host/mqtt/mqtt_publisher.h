#pragma once
// Publishes the run to an MQTT broker from a thread of its own. The polling
// thread only copies what a message needs into bounded structures (the
// device's latest state, the memory queue, the events) and never waits for
// the network; the publisher looks at them every 50 ms, keeps at most
// kRecordsInFlight records unacknowledged, and reconnects with back-off and
// jitter (1 s doubling to 60 s). An outage is told once when it starts and
// once when the records held back are all sent.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "kel36-host/events/announced_event.h"
#include "kel36-host/mqtt/mqtt_messages.h"
#include "kel36-host/mqtt/mqtt_settings.h"
#include "kel36-host/mqtt/outgoing_records.h"

namespace keltool {

class MqttConnection;
class HistoryOutbox;

constexpr std::size_t kRecordsInFlight = 100;
constexpr std::size_t kMemoryQueueRecords = 10000;
constexpr std::size_t kQueuedEvents = 1000;
// The broker's socket and the relay's two (broker_relay.h), and with a
// history the outbox's own connection to it (the database, its write-ahead
// log and shared memory).
constexpr std::size_t kMqttDescriptors = 6;

struct MqttDevice {
    std::string name;
    uint32_t data_id = 0;
};

class MqttPublisher : public EventListener {
public:
    // `history_path` empty: the memory queue. Throws ToolError.
    MqttPublisher(const MqttSettings& settings, std::vector<MqttDevice> devices,
                  const std::string& history_path, std::FILE* err, bool service);
    ~MqttPublisher() override;

    // Connects once, for at most `bound`: a refused login or a failed TLS
    // handshake is a ToolError; a broker that is not there is not (records
    // wait). Then starts the publisher thread.
    void start(std::chrono::milliseconds bound = std::chrono::seconds(5));

    // Polling thread; never blocks on the network.
    std::size_t deviceIndex(const std::string& name) const;  // npos: not ours
    void recordPolled(std::size_t device, const RoundReport& report);
    void answering(std::size_t device, bool answering);
    void announce(const AnnouncedEvent& event) override;

    // Sends what it can within `grace`, says every device and the tool are
    // offline and disconnects. Afterwards closingLines() tells what was not
    // sent, and recordsLost() counts it (always 0 with a history: those wait).
    void stop(std::chrono::milliseconds grace = std::chrono::seconds(3));
    std::vector<std::string> closingLines() const;
    uint64_t recordsLost() const;

private:
    struct DeviceSlot {
        MqttDevice device;
        std::string level;  // its topic level
        uint64_t seq = 0;   // memory queue: the last one given (polling thread)
        bool has_record = false;
        PublishedRecord latest;
        std::vector<PublishedAlarm> names;  // code and text by signal, as the driver gave them
        int answering = -1;  // -1: not known yet
        bool state_dirty = false;
        bool availability_dirty = false;
        std::chrono::steady_clock::time_point state_sent{};
    };

    void run();
    bool connectedCycle(MqttConnection& connection);
    void publishDevices(MqttConnection& connection, bool everything);
    void sessionEnded(const std::string& why, bool refused);
    void tell(int level, const std::string& text);
    std::string topic(const DeviceSlot& slot, const char* leaf) const;

    const MqttSettings settings_;
    std::FILE* const err_;
    const bool service_;
    std::unique_ptr<MemoryQueue> memory_;
    std::unique_ptr<HistoryOutbox> outbox_;
    OutgoingRecords* records_ = nullptr;

    mutable std::mutex mutex_;  // guards what the polling thread hands over
    std::condition_variable wake_;
    std::vector<DeviceSlot> slots_;
    std::unordered_map<std::string, std::size_t> index_;
    std::deque<AnnouncedEvent> events_;
    uint64_t events_dropped_ = 0;
    bool stopping_ = false;
    std::chrono::steady_clock::time_point stop_by_{};

    // Publisher thread.
    std::unique_ptr<MqttConnection> connection_;
    std::unordered_map<int, uint64_t> record_mids_;
    bool session_announced_ = false;
    bool looked_again_ = false;
    bool outage_told_ = false;
    bool refusal_told_ = false;
    bool counting_backlog_ = false;
    uint64_t sent_since_back_ = 0;
    uint64_t sent_total_ = 0;
    int backoff_ms_ = 1000;
    std::chrono::steady_clock::time_point next_attempt_{};
    std::atomic<bool> dropped_told_{false};
    std::atomic<bool> stop_requested_{false};  // ends a connection attempt early
    std::vector<std::string> closing_;
    uint64_t lost_ = 0;
    std::thread thread_;
};

}  // namespace keltool
