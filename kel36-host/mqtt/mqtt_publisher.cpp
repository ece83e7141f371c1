#include "kel36-host/mqtt/mqtt_publisher.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>
#include <random>

#include "kel36-host/mqtt/history_outbox.h"
#include "kel36-host/mqtt/mqtt_connection.h"
#include "kel36-host/mqtt/topic_names.h"
#include "kel36-host/store/history_writer.h"
#include "kel36-host/tool_error.h"

namespace keltool {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kStepMs = 50;
constexpr int kMaxBackoffMs = 60000;
constexpr auto kConnectBound = std::chrono::seconds(10);
constexpr auto kStateEvery = std::chrono::seconds(1);
// The publisher's nice value, relative to polling's 0: on a busy machine
// polling goes first and the records wait (in the outbox or the queue).
constexpr int kPublisherNice = 10;

std::string localClock()
{
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &tm);
    return text;
}

// 1204 as "1,204".
std::string grouped(uint64_t n)
{
    std::string digits = std::to_string(n);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<std::size_t>(at), ",");
    return digits;
}

}  // namespace

MqttPublisher::MqttPublisher(const MqttSettings& settings, std::vector<MqttDevice> devices,
                             const std::string& history_path, std::FILE* err, bool service)
    : settings_(settings), err_(err), service_(service)
{
    std::vector<std::string> names;
    for (MqttDevice& d : devices) {
        names.push_back(d.name);
        DeviceSlot slot;
        slot.level = topicLevel(d.name);
        slot.device = std::move(d);
        index_[slot.device.name] = slots_.size();
        slots_.push_back(std::move(slot));
    }
    checkTopicLevelsDistinct(names);
    if (history_path.empty()) {
        memory_ = std::make_unique<MemoryQueue>(kMemoryQueueRecords);
        records_ = memory_.get();
    } else {
        outbox_ = std::make_unique<HistoryOutbox>(history_path, settings_.destination(),
                                                  historyHostName());
        records_ = outbox_.get();
    }
}

MqttPublisher::~MqttPublisher()
{
    stop(std::chrono::milliseconds(0));
}

void MqttPublisher::tell(int level, const std::string& text)
{
    std::fprintf(err_, "%skel36-host: mqtt: %s\n",
                 service_ ? (level == 3 ? "<3>" : level == 4 ? "<4>" : "<6>") : "", text.c_str());
    std::fflush(err_);
}

std::string MqttPublisher::topic(const DeviceSlot& slot, const char* leaf) const
{
    return settings_.prefix + "/" + slot.level + "/" + leaf;
}

void MqttPublisher::start(std::chrono::milliseconds bound)
{
    auto connection = std::make_unique<MqttConnection>(settings_);
    const auto until = Clock::now() + bound;
    if (connection->begin()) {
        while (connection->state() == MqttConnection::State::Connecting && Clock::now() < until)
            connection->step(kStepMs);
    }
    const std::string broker = settings_.broker.text();
    switch (connection->state()) {
        case MqttConnection::State::Refused:
            throw ToolError("mqtt: " + broker + ": " + connection->why());
        case MqttConnection::State::Failed:
            if (connection->tlsProblem())
                throw ToolError("mqtt: " + broker + ": " + connection->why());
            sessionEnded(connection->why(), false);
            break;
        case MqttConnection::State::Connecting:
            sessionEnded("no answer within " + std::to_string(bound.count() / 1000) + " s", false);
            break;
        case MqttConnection::State::Connected:
            connection_ = std::move(connection);
            break;
    }
    thread_ = std::thread([this] {
        try {
            run();
        } catch (const std::exception& e) {
            // (A CA file that went away, a history that cannot be read.)
            tell(3, std::string("publishing stopped: ") + e.what());
        }
    });
}

std::size_t MqttPublisher::deviceIndex(const std::string& name) const
{
    const auto at = index_.find(name);
    return at == index_.end() ? std::string::npos : at->second;
}

namespace {

bool sameNames(const std::vector<PublishedAlarm>& names, const RoundReport& r)
{
    if (names.size() != r.alarm_count)
        return false;
    for (std::size_t i = 0; i < r.alarm_count; ++i)
        if (names[i].signal != r.alarms[i].signal || names[i].code != r.alarms[i].code ||
            names[i].text != r.alarms[i].text)
            return false;
    return true;
}

}  // namespace

void MqttPublisher::recordPolled(std::size_t device, const RoundReport& r)
{
    if (device >= slots_.size() || !r.record)
        return;
    DeviceSlot& slot = slots_[device];
    PublishedRecord record;
    record.device = slot.device.name;
    record.data_id = slot.device.data_id;
    record.time_ms = epochMillis(r.when);
    record.source = r.source;
    record.bytes = *r.record;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        // The alarms' codes and texts come with every round but change only
        // with the configuration: copied then, and the publisher reads each
        // record's alarms from its status bytes, as the outbox does.
        if (!sameNames(slot.names, r)) {
            slot.names.clear();
            for (std::size_t i = 0; i < r.alarm_count; ++i)
                slot.names.push_back(
                    PublishedAlarm{r.alarms[i].signal, r.alarms[i].code, r.alarms[i].text, false});
        }
        if (memory_)
            record.seq = ++slot.seq;
        slot.latest = record;
        slot.has_record = true;
        slot.state_dirty = true;
        if (slot.answering != 1) {
            slot.answering = 1;
            slot.availability_dirty = true;
        }
    }
    if (memory_ && !memory_->push(std::move(record)) && !dropped_told_.exchange(true))
        tell(3, "the memory queue is full (" + grouped(kMemoryQueueRecords) +
                    " records): further records are counted as not sent");
}

void MqttPublisher::answering(std::size_t device, bool answering)
{
    if (device >= slots_.size())
        return;
    const std::lock_guard<std::mutex> lock(mutex_);
    DeviceSlot& slot = slots_[device];
    if (slot.answering == (answering ? 1 : 0))
        return;
    slot.answering = answering ? 1 : 0;
    slot.availability_dirty = true;
    slot.state_dirty = true;
}

void MqttPublisher::announce(const AnnouncedEvent& event)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (events_.size() >= kQueuedEvents) {
        ++events_dropped_;
        return;
    }
    events_.push_back(event);
}

void MqttPublisher::sessionEnded(const std::string& why, bool refused)
{
    if (records_)
        records_->rewind();
    record_mids_.clear();
    counting_backlog_ = false;
    // Told once per outage, and once more if the broker, back, turns the
    // login away: that one needs the user, not patience.
    if (!outage_told_ || (refused && !refusal_told_)) {
        outage_told_ = true;
        refusal_told_ = refusal_told_ || refused;
        tell(4, refused ? "broker " + settings_.broker.text() + " " + why + " (since " +
                              localClock() + "); trying again"
                        : "broker " + settings_.broker.text() + " unreachable since " +
                              localClock() + " (" + why + ")");
    }
    // Up to ±25 % of jitter, so sites that lost one broker do not return at once.
    static thread_local std::minstd_rand jitter(std::random_device{}());
    const int spread = backoff_ms_ / 4;
    const int wait_ms = backoff_ms_ - spread + static_cast<int>(jitter() % (2 * spread + 1));
    next_attempt_ = Clock::now() + std::chrono::milliseconds(wait_ms);
    backoff_ms_ = std::min(backoff_ms_ * 2, kMaxBackoffMs);
}

void MqttPublisher::publishDevices(MqttConnection& c, bool everything)
{
    struct Pending {
        std::string topic, payload;
    };
    std::vector<Pending> out;
    const auto now = Clock::now();
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (DeviceSlot& slot : slots_) {
            if (slot.answering < 0)
                continue;
            // A new state at most once a second (the records carry every
            // round); a change of answering at once.
            const bool state_due = everything || slot.availability_dirty ||
                                   (slot.state_dirty && now - slot.state_sent >= kStateEvery);
            if (slot.availability_dirty || everything)
                out.push_back({topic(slot, "availability"), slot.answering ? "online" : "offline"});
            if (state_due) {
                if (slot.has_record)
                    slot.latest.alarms = alarmsFromBytes(slot.latest.bytes, slot.names);
                out.push_back({topic(slot, "state"),
                               statePayload(slot.has_record ? &slot.latest : nullptr,
                                            slot.answering == 1)});
                slot.state_sent = now;
                slot.state_dirty = false;
            }
            slot.availability_dirty = false;
        }
    }
    for (const Pending& p : out) {
        int mid = 0;
        if (!c.publish(p.topic, p.payload, true, &mid))
            return;
    }
}

bool MqttPublisher::connectedCycle(MqttConnection& c)
{
    if (!session_announced_) {
        session_announced_ = true;
        backoff_ms_ = 1000;
        int mid = 0;
        c.publish(settings_.prefix + "/availability", "online", true, &mid);
        if (settings_.home_assistant)
            for (const DeviceSlot& slot : slots_)
                for (const TopicMessage& m :
                     discoveryMessages(settings_.prefix, slot.device.name, slot.device.data_id))
                    c.publish(m.topic, m.payload, true, &mid);
        publishDevices(c, true);
        if (outage_told_) {
            outage_told_ = false;
            refusal_told_ = false;
            counting_backlog_ = true;
            sent_since_back_ = 0;
        }
    } else {
        publishDevices(c, false);
    }
    std::deque<AnnouncedEvent> events;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        events.swap(events_);
    }
    for (const AnnouncedEvent& e : events) {
        int mid = 0;
        c.publish(settings_.prefix + "/" + topicLevel(e.device) + "/event",
                  eventPayload(e, epochMillis(e.when)), false, &mid);
    }
    PublishedRecord record;
    uint64_t token = 0;
    bool more = true;
    while (record_mids_.size() < kRecordsInFlight && c.state() == MqttConnection::State::Connected) {
        if (!records_->next(&record, &token)) {
            more = false;
            break;
        }
        const std::size_t at = deviceIndex(record.device);
        const std::string level = at < slots_.size() ? slots_[at].level : topicLevel(record.device);
        if (memory_ && at < slots_.size()) {
            const std::lock_guard<std::mutex> lock(mutex_);
            record.alarms = alarmsFromBytes(record.bytes, slots_[at].names);
        }
        int mid = 0;
        if (c.publish(settings_.prefix + "/" + level + "/record", recordPayload(record), false, &mid))
            record_mids_[mid] = token;
    }
    c.step(kStepMs);
    for (const int mid : c.takeAcknowledged()) {
        const auto at = record_mids_.find(mid);
        if (at == record_mids_.end())
            continue;
        records_->acknowledged(at->second);
        record_mids_.erase(at);
        ++sent_total_;
        ++sent_since_back_;
    }
    records_->save();
    const bool drained = !more && record_mids_.empty();
    if (counting_backlog_ && drained) {
        counting_backlog_ = false;
        tell(6, "broker " + settings_.broker.text() + " back, " + grouped(sent_since_back_) +
                    " records sent");
    }
    return drained;
}

void MqttPublisher::run()
{
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), kPublisherNice);
    for (;;) {
        bool stopping;
        Clock::time_point stop_by;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping = stopping_;
            stop_by = stop_by_;
        }
        if (!connection_) {
            if (stopping)
                return;
            if (Clock::now() < next_attempt_) {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait_until(lock, next_attempt_, [this] { return stopping_; });
                continue;
            }
            connection_ = std::make_unique<MqttConnection>(settings_);
            session_announced_ = false;
            if (!connection_->begin()) {
                sessionEnded(connection_->why(), false);
                connection_.reset();
                continue;
            }
        }
        if (stopping && !looked_again_) {
            looked_again_ = true;
            records_->lookAgain();
        }
        MqttConnection& c = *connection_;
        const auto began = Clock::now();
        while (c.state() == MqttConnection::State::Connecting &&
               Clock::now() - began < kConnectBound && !stop_requested_)
            c.step(kStepMs);
        if (c.state() == MqttConnection::State::Connecting && stop_requested_) {
            connection_.reset();
            return;
        }
        if (c.state() == MqttConnection::State::Connecting) {
            sessionEnded("no answer", false);
            connection_.reset();
            continue;
        }
        if (c.state() != MqttConnection::State::Connected) {
            sessionEnded(c.why(), c.state() == MqttConnection::State::Refused);
            connection_.reset();
            continue;
        }
        const bool drained = connectedCycle(c);
        if (c.state() != MqttConnection::State::Connected) {
            sessionEnded(c.why(), false);
            connection_.reset();
            continue;
        }
        if (stopping && (drained || Clock::now() >= stop_by)) {
            // Each device's offline and the tool's, then a clean goodbye.
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                for (DeviceSlot& slot : slots_)
                    if (slot.answering == 1) {
                        slot.answering = 0;
                        slot.availability_dirty = slot.state_dirty = true;
                    }
            }
            publishDevices(c, false);
            int mid = 0;
            c.publish(settings_.prefix + "/availability", "offline", true, &mid);
            for (int waited = 0; c.inFlight() > 0 && waited < 1000 &&
                                 c.state() == MqttConnection::State::Connected;
                 waited += 10)
                c.step(10);
            c.disconnect(500);
            connection_.reset();
            return;
        }
    }
}

void MqttPublisher::stop(std::chrono::milliseconds grace)
{
    if (!thread_.joinable())
        return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        stop_by_ = Clock::now() + grace;
        stop_requested_ = true;
    }
    wake_.notify_all();
    thread_.join();
    std::string why;
    if (outbox_ && !outbox_->saveCursor(true, &why))
        closing_.push_back("cannot keep the outbox's cursor in the history: " + why +
                           " (the next run sends those records again)");
    const uint64_t waiting = records_->waiting();
    if (outbox_) {
        if (waiting > 0)
            closing_.push_back(grouped(waiting) +
                               " records wait in the history's outbox for the next run");
    } else {
        lost_ = waiting + memory_->dropped();
        if (lost_ > 0)
            closing_.push_back(grouped(lost_) + " records not sent to " + settings_.broker.text() +
                               " (" + grouped(memory_->dropped()) +
                               " did not fit the memory queue)");
    }
    if (events_dropped_ > 0)
        closing_.push_back(grouped(events_dropped_) + " events not sent (the event queue was full)");
}

std::vector<std::string> MqttPublisher::closingLines() const
{
    return closing_;
}

uint64_t MqttPublisher::recordsLost() const
{
    return lost_;
}

}  // namespace keltool
