#pragma once
// Drives one device through polling rounds, the way the monitoring unit's
// host does: RefreshStatus starts a round, every received reply goes to
// process, a reply time-out counts a stall, a published record completes the
// round. The runner is the device's observer, so every host call the driver
// makes comes here.
//
// The runner is about one round on one line. Its line (LineBus) owns the
// descriptor, decides when a round may start (devices sharing a line take
// turns) and calls the runner back with the replies and the time-outs. In the
// steady state a round allocates nothing.

#include <array>
#include <memory>
#include <string>

#include "host/device_observer.h"
#include "kel36-host/line/echo_canceller.h"
#include "kel36-host/config/host_config.h"
#include "kel36-host/output/protocol_view.h"
#include "kel36-host/cache/record_store.h"
#include "kel36-host/output/reports.h"
#include "kel36-host/wall_clock.h"

class ZRNVDevice;
class ZRNSPDevice;

namespace kelhost {
class Plugin;
}

namespace keltool {

class LineTrace;
class HistoryWriter;
class LineCapture;

struct RunSettings {
    int interval_ms = 1000;  // pause after a round
    int period_ms = 0;       // rounds start at this fixed rate instead (0: off)
    int timeout_ms = 1000;
    uint64_t rounds = 0;  // 0: no limit
    int give_up_s = 0;    // 0: never give up on a silent device
};

struct RunServices {
    OutputSink* output = nullptr;  // required
    LineTrace* trace = nullptr;
    HistoryWriter* history = nullptr;
    const RecordCache* cache = nullptr;
};

// Where a round stands after a call into the runner.
enum class RoundState {
    Idle,        // no round: the line is free
    InRound,     // waiting for a reply
    Completed,   // the record was published
    Stalled,     // the round ended without a record (stall reported)
    LineFailed,  // the line refused a send with a hard error (lineError())
};

class DeviceRunner : private kelhost::DeviceObserver {
public:
    // Creates the device through the plug-in, sets its data identifier and
    // configures it with the device_spec's node. Throws ToolError (naming the
    // device_spec's origin) when the plug-in or the node is unusable.
    DeviceRunner(const kelhost::Plugin& plugin, DeviceSpec device_spec, const RunSettings& settings,
                 const RunServices& services);
    ~DeviceRunner() override;
    DeviceRunner(const DeviceRunner&) = delete;
    DeviceRunner& operator=(const DeviceRunner&) = delete;

    // The descriptor the device sends on (-1: none); the line keeps owning it.
    void attachLine(int fd);
    // Polling begins: reports the started line (`line_detail`), restores the
    // cached record and makes the first round due at `now`.
    void start(TimePoint now, const std::string& line_detail);

    // Scheduling: when the next round may start (TimePoint::max() once the
    // device has its rounds), and the --give-up deadline.
    bool finished() const { return finished_; }
    TimePoint dueAt() const;
    TimePoint giveUpAt() const;
    bool gaveUp() const { return gave_up_; }
    // Reports giving up once giveUpAt() has passed.
    void checkGiveUp(TimePoint now);

    // One round. Each call says where the round stands afterwards; Completed
    // and Stalled mean the line is free again.
    RoundState beginRound(TimePoint now);
    RoundState onReply(unsigned char* data, std::size_t length, TimePoint now);
    RoundState onReplyTimeout(TimePoint now);
    TimePoint replyDeadline() const { return reply_deadline_; }
    StallReason lastStallReason() const { return last_stall_reason_; }
    int lineError() const { return send_error_; }
    // The line went away: the round is abandoned without a stall.
    void abandonRound();

    // --capture: this device's events go to `capture` (null: none) as device
    // `index` of its line.
    void attachCapture(LineCapture* capture, uint8_t index);
    // Bytes the line read while this device's round was (or was last) on.
    void captureReceived(const unsigned char* data, std::size_t length, bool discarded,
                         TimePoint now);

    // Bytes that came while no round of this device waited for them.
    void traceDiscarded(const unsigned char* data, std::size_t length);
    void emit(DeviceEvent event, const char* detail);
    void traceNote(const char* text);

    // What the host would get now: the seven values through Get_Value, value
    // or refusal, and the age of the last published record by its own time
    // stamp. Reads only; asked between calls into the driver.
    void askValues(ValueAnswers& out) const;

    const DeviceSpec& device_spec() const { return spec_; }
    const DeviceStats& stats() const { return stats_; }
    ZRNVDevice& device() const { return *device_; }
    int baudRate() const;

private:
    RoundState afterDriverCall(TimePoint now, int status);
    std::size_t cancelEcho(unsigned char* data, std::size_t length);
    void echoProblem(const char* what);
    int awaitedRegister() const;  // of the last request sent, -1 when none
    RoundState completeRound(TimePoint now, RecordSource source);
    RoundState stall(StallReason reason, TimePoint now);
    void restoreCache();
    void scheduleAfterRound(TimePoint now);
    void captureSent(std::size_t length);

    // DeviceObserver: the host calls the driver makes.
    void onSendSP(ZRNVDevice& dev, int record_type, const unsigned char* data, unsigned int length,
                  bool urgent) override;
    void onSendData(ZRNVDevice& dev, const unsigned char* data, unsigned int length) override;
    void onSendIncomplete(ZRNVDevice& dev, unsigned int written, unsigned int length,
                          int error) override;
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

    bool in_round_ = false;
    bool finished_ = false;
    bool gave_up_ = false;
    TimePoint round_started_{};
    TimePoint reply_deadline_{};
    TimePoint due_at_ = TimePoint::max();
    TimePoint last_progress_{};  // start of polling, or the last completed round
    StallReason last_stall_reason_ = StallReason::NoReply;

    // What the current round has produced so far.
    bool published_ = false;
    bool send_blocked_ = false;
    int send_error_ = 0;
    RecordBytes record_{};
    std::array<AlarmState, kMaxAlarms> alarms_{};
    std::size_t alarm_count_ = 0;
    bool battery_reported_ = false;
    float battery_voltage_ = 0.0f;
    std::array<unsigned char, kFrameLength> last_request_{};
    std::size_t last_request_length_ = 0;  // 0: nothing sent this round
    bool request_sent_ = false;            // by the driver call in progress
    int awaited_register_ = -1;
    ReplyEchoWatch echo_watch_;  // for the trace only
    EchoCanceller local_echo_;   // with spec_.echo_cancel
    bool echo_problem_ = false;  // reported once until an echo comes whole again

    bool has_record_ = false;  // record_ holds a published record
    bool restoring_ = false;  // LoadFromCache is running: what is stored comes from the cache
    WallTime restored_polled_;  // the restored record's own time stamp, before the restore
    bool restored_polled_known_ = false;
    bool cache_failing_ = false;

    DeviceStats stats_;

    // --capture. A request is captured once the line took it (or part of it).
    LineCapture* capture_ = nullptr;
    uint8_t capture_index_ = 255;
    uint8_t capture_address_ = 0;
    uint32_t rounds_begun_ = 0;
    std::array<unsigned char, 64> capture_request_{};
    std::size_t capture_request_length_ = 0;
    bool capture_request_pending_ = false;
    TimePoint capture_request_at_{};
};

}  // namespace keltool
