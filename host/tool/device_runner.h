#pragma once
// Drives one device through polling rounds on its serial line, the way the
// monitoring unit's host does: RefreshStatus starts a round, every received
// chunk goes to process, a reply time-out counts a stall, a published record
// completes the round, and after a pause the next round starts. The runner
// is the device's observer, so every host call the driver makes comes here.
//
// The event loop owns the waiting: the runner says which descriptor and which
// deadline it waits for and is called back. In the steady state a round
// allocates nothing.

#include <array>
#include <memory>
#include <string>

#include "host/device_observer.h"
#include "host/tool/echo_canceller.h"
#include "host/tool/host_config.h"
#include "host/tool/protocol_view.h"
#include "host/tool/record_store.h"
#include "host/tool/reports.h"
#include "host/tool/serial_line.h"
#include "host/tool/wall_clock.h"

class ZRNVDevice;
class ZRNSPDevice;

namespace kelhost {
class Plugin;
}

namespace keltool {

class LineTrace;
class HistoryWriter;

struct RunSettings {
    int interval_ms = 1000;
    int timeout_ms = 1000;
    uint64_t rounds = 0;  // 0: no limit
};

struct RunServices {
    OutputSink* output = nullptr;  // required
    LineTrace* trace = nullptr;
    HistoryWriter* history = nullptr;
    const RecordCache* cache = nullptr;
};

class DeviceRunner : private kelhost::DeviceObserver {
public:
    // Creates the device through the plug-in, sets its data identifier and
    // configures it with the device_spec's node. Throws ToolError (naming the device_spec's
    // origin) when the plug-in or the node is unusable.
    DeviceRunner(const kelhost::Plugin& plugin, DeviceSpec device_spec, const RunSettings& settings,
                 const RunServices& services);
    ~DeviceRunner() override;
    DeviceRunner(const DeviceRunner&) = delete;
    DeviceRunner& operator=(const DeviceRunner&) = delete;

    // Opens the line (ToolError when it cannot be opened), restores the cached
    // record, and schedules the first round at `now`.
    void start(TimePoint now);

    int fd() const;               // -1 while nothing is to be read
    TimePoint deadline() const;   // TimePoint::max() when nothing is due
    void onTimer(TimePoint now);  // call when deadline() has passed
    void onIo(short revents, TimePoint now);
    bool finished() const { return phase_ == Phase::Done; }

    const DeviceSpec& device_spec() const { return spec_; }
    const DeviceStats& stats() const { return stats_; }
    ZRNVDevice& device() const { return *device_; }

private:
    enum class Phase { Idle, Waiting, Polling, PortDown, Done };

    void startRound(TimePoint now);
    void handleChunk(const unsigned char* data, std::size_t length, TimePoint now);
    void completeRound(TimePoint now, RecordSource source);
    void stall(StallReason reason, TimePoint now);
    void portLost(const char* why, TimePoint now);
    void tryReopen(TimePoint now);
    void restoreCache();
    void emit(DeviceEvent event, const char* detail);
    LineSettings lineSettings() const;
    std::size_t cancelEcho(std::size_t length);
    void echoProblem(const char* what);
    void scheduleNextRound(TimePoint now, bool after_stall);

    // DeviceObserver: the host calls the driver makes.
    void onSendSP(ZRNVDevice& dev, int record_type, const unsigned char* data, unsigned int length,
                  bool urgent) override;
    void onSendData(ZRNVDevice& dev, const unsigned char* data, unsigned int length) override;
    void onCheckThreshold(ZRNVDevice& dev, const std::string& name, const std::string& text,
                          const float& value, int seq) override;
    void onCheckThresholdBool(ZRNVDevice& dev, int kind, const std::string& name,
                              const std::string& code, const std::string& text,
                              const std::string& text2, bool state, unsigned short seq) override;
    void onSaveDeviceHistory(ZRNVDevice& dev, const unsigned char* data,
                             unsigned int length) override;

    DeviceSpec spec_;
    RunSettings settings_;
    RunServices services_;
    std::shared_ptr<ZRNVDevice> device_;
    ZRNSPDevice* line_device_ = nullptr;
    RecordCache::Slot cache_slot_;

    Phase phase_ = Phase::Idle;
    TimePoint round_started_{};
    TimePoint reply_deadline_{};
    TimePoint next_round_at_{};
    TimePoint latest_round_start_{};  // bound of the quiet wait after a stall
    TimePoint reopen_at_{};
    int reopen_backoff_ms_ = 0;
    bool stalled_before_pause_ = false;
    int quiet_ms_ = 0;  // silence wanted before the round after a stall

    // What the current round has produced so far.
    bool published_ = false;
    RecordBytes record_{};
    std::array<AlarmState, kMaxAlarms> alarms_{};
    std::size_t alarm_count_ = 0;
    bool battery_reported_ = false;
    float battery_voltage_ = 0.0f;
    int awaited_register_ = -1;
    ReplyEchoWatch echo_watch_;  // for the trace only
    EchoCanceller local_echo_;   // with spec_.echo_cancel
    bool echo_problem_ = false;  // reported once until an echo comes whole again

    bool restoring_ = false;  // LoadFromCache is running: what is stored comes from the cache
    bool cache_failing_ = false;

    DeviceStats stats_;
    std::array<unsigned char, 256> read_buffer_{};
};

}  // namespace keltool
