#include "host/tool/device_runner.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "framework/zrn_spdevice.h"
#include "host/device_state.h"
#include "host/plugin_loader.h"
#include "host/tool/line_trace.h"
#include "host/tool/serial_line.h"
#include "host/tool/store/history_writer.h"
#include "host/tool/tool_error.h"

namespace keltool {
namespace {

using std::chrono::milliseconds;

constexpr int kFirstReopenDelayMs = 100;
constexpr int kMaxReopenDelayMs = 5000;
// After a stall the line must be quiet for a while before the next round, so
// that a late reply or the tail of a refused one cannot be taken for the
// first reply of the new round (from a controller whose replies do not echo
// the register, the driver cannot tell). A late reply may still come up to a
// time-out after the stall; the tail of a refused reply follows at once.
constexpr int kTailQuietMs = 50;

struct ValueName {
    const char* name;
    const char* unit;
};
constexpr ValueName kValueNames[kValueCount] = {
    {"uab", "V"}, {"ubc", "V"}, {"uca", "V"}, {"frequency", "Hz"},
    {"ua", "V"},  {"ub", "V"},  {"uc", "V"},
};

// Get_Value takes the name as a std::string; made once, not per round.
const std::array<std::string, kValueCount>& valueNameStrings()
{
    static const std::array<std::string, kValueCount> names = [] {
        std::array<std::string, kValueCount> out;
        for (std::size_t i = 0; i < kValueCount; ++i)
            out[i] = kValueNames[i].name;
        return out;
    }();
    return names;
}

}  // namespace

DeviceRunner::DeviceRunner(const kelhost::Plugin& plugin, DeviceSpec device_spec,
                           const RunSettings& settings, const RunServices& services)
    : spec_(std::move(device_spec)), settings_(settings), services_(services)
{
    try {
        device_ = plugin.createDevice();
    } catch (const std::exception& e) {
        throw ToolError(spec_.origin + ": " + e.what());
    }
    line_device_ = dynamic_cast<ZRNSPDevice*>(device_.get());
    if (!line_device_)
        throw ToolError("plug-in " + plugin.path() +
                        " made a device that is not a serial-port device");
    kelhost::attachObserver(*device_, this);
    // As the host does: the data identifier first, then the device's node.
    device_->data_id_ = spec_.data_id;
    int status = 0;
    try {
        status = device_->InitSetting(spec_.node);
    } catch (const std::exception& e) {
        throw ToolError(spec_.origin + ": the device refused its node: " + e.what());
    }
    if (status != 1)
        throw ToolError(spec_.origin + ": the device's InitSetting returned " +
                        std::to_string(status));
    if (services_.cache)
        cache_slot_ = services_.cache->take(spec_.data_id);
}

DeviceRunner::~DeviceRunner()
{
    if (device_) {
        line_device_->ClosePort();
        kelhost::attachObserver(*device_, nullptr);
    }
}

void DeviceRunner::start(TimePoint now)
{
    std::string error;
    const int fd = openLine(spec_.port, lineSettings(), &error);
    if (fd < 0)
        throw ToolError("device " + spec_.name + ": " + error);
    kelhost::setPortPath(*line_device_, spec_.port);
    kelhost::setPortFd(*line_device_, fd);
    char detail[64];
    std::snprintf(detail, sizeof detail, " at %d baud%s, data id %u", line_device_->baud_rate_,
                  spec_.simulated ? " (simulated controller)" : "", spec_.data_id);
    emit(DeviceEvent::Started, (spec_.port + detail).c_str());
    restoreCache();
    phase_ = Phase::Waiting;
    stalled_before_pause_ = false;
    next_round_at_ = now;
    if (settings_.rounds == 0 || stats_.rounds < settings_.rounds)
        return;
    phase_ = Phase::Done;
}

int DeviceRunner::fd() const
{
    return (phase_ == Phase::Waiting || phase_ == Phase::Polling) ? kelhost::portFd(*line_device_)
                                                                  : -1;
}

TimePoint DeviceRunner::deadline() const
{
    switch (phase_) {
        case Phase::Waiting:
            return next_round_at_;
        case Phase::Polling:
            return reply_deadline_;
        case Phase::PortDown:
            return reopen_at_;
        default:
            return TimePoint::max();
    }
}

void DeviceRunner::onTimer(TimePoint now)
{
    switch (phase_) {
        case Phase::Waiting:
            startRound(now);
            break;
        case Phase::Polling:
            if (spec_.echo_cancel && local_echo_.awaiting())
                echoProblem("no echo of the request came back within the time-out");
            stall(StallReason::NoReply, now);
            break;
        case Phase::PortDown:
            tryReopen(now);
            break;
        default:
            break;
    }
}

void DeviceRunner::onIo(short revents, TimePoint now)
{
    const int fd = kelhost::portFd(*line_device_);
    if (fd < 0)
        return;
    if (revents & POLLIN) {
        // One read per readiness: a raw line hands over what has arrived, and
        // each read is one chunk for the driver.
        const ssize_t n = ::read(fd, read_buffer_.data(), read_buffer_.size());
        if (n > 0) {
            const std::size_t length = cancelEcho(static_cast<std::size_t>(n));
            if (length > 0)
                handleChunk(read_buffer_.data(), length, now);
            return;
        }
        if (n == 0) {
            portLost("hang-up", now);
            return;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return;
        portLost(std::strerror(errno), now);
        return;
    }
    if (revents & (POLLHUP | POLLERR | POLLNVAL))
        portLost(revents & POLLHUP ? "hang-up" : "line error", now);
}

void DeviceRunner::startRound(TimePoint now)
{
    // Whatever arrived since the last round belongs to no request of this one.
    tcflush(kelhost::portFd(*line_device_), TCIFLUSH);
    local_echo_.reset();
    published_ = false;
    alarm_count_ = 0;
    battery_reported_ = false;
    awaited_register_ = -1;
    phase_ = Phase::Polling;
    round_started_ = now;
    reply_deadline_ = now + milliseconds(settings_.timeout_ms);
    device_->RefreshStatus();
}

void DeviceRunner::handleChunk(const unsigned char* data, std::size_t length, TimePoint now)
{
    if (services_.trace) {
        const int answers = echo_watch_.received(data, length);
        services_.trace->reply(spec_.name, data, length, phase_ != Phase::Polling, answers,
                               echo_watch_.awaited());
    }
    if (phase_ != Phase::Polling) {
        if (phase_ == Phase::Waiting && stalled_before_pause_)
            next_round_at_ = std::max(next_round_at_,
                                      std::min(now + milliseconds(quiet_ms_), latest_round_start_));
        return;
    }
    const int status = device_->process(read_buffer_.data(), static_cast<unsigned int>(length));
    if (published_)
        completeRound(now, RecordSource::Poll);
    else if (status == 0)
        stall(StallReason::Refused, now);
}

void DeviceRunner::completeRound(TimePoint now, RecordSource source)
{
    RoundReport report;
    report.device = &spec_;
    report.stats = &stats_;
    report.source = source;
    report.when = WallTime::now();
    if (source == RecordSource::Poll) {
        report.duration_ms = millisBetween(round_started_, now);
        ++stats_.rounds;
        stats_.total_round_ms += report.duration_ms;
        stats_.max_round_ms = std::max(stats_.max_round_ms, report.duration_ms);
        report.stalls_before = stats_.consecutive_stalls;
        if (stats_.consecutive_stalls >= kStallsBeforeWarning)
            emit(DeviceEvent::AnsweringAgain, "");
        stats_.consecutive_stalls = 0;
    }
    const auto& names = valueNameStrings();
    for (std::size_t i = 0; i < kValueCount; ++i) {
        ValueReading& v = report.values[i];
        v.name = kValueNames[i].name;
        v.unit = kValueNames[i].unit;
        try {
            v.value = device_->Get_Value(0, names[i]);
            v.ok = true;
        } catch (const std::exception& e) {
            std::snprintf(v.error, sizeof v.error, "%s", e.what());
        }
    }
    report.battery_reported = battery_reported_;
    report.battery_voltage = battery_voltage_;
    report.alarms = alarms_.data();
    report.alarm_count = alarm_count_;
    report.record = &record_;
    services_.output->round(report);

    if (source != RecordSource::Poll)
        return;
    if (settings_.rounds != 0 && stats_.rounds >= settings_.rounds) {
        phase_ = Phase::Done;
        return;
    }
    scheduleNextRound(now, false);
}

void DeviceRunner::stall(StallReason reason, TimePoint now)
{
    ++stats_.stalls;
    ++stats_.consecutive_stalls;
    StallReport report;
    report.device = &spec_;
    report.stats = &stats_;
    report.when = WallTime::now();
    report.reason = reason;
    report.awaited_register = awaited_register_;
    report.poll_step = line_device_->poll_step_;
    report.elapsed_ms = millisBetween(round_started_, now);
    services_.output->stall(report);
    if (services_.trace)
        services_.trace->note(spec_.name, reason == StallReason::NoReply
                                              ? "stall: no reply within the time-out"
                                              : "stall: the driver refused the reply");
    if (stats_.consecutive_stalls == kStallsBeforeWarning)
        emit(DeviceEvent::NotAnswering, "");
    quiet_ms_ = reason == StallReason::NoReply ? settings_.timeout_ms
                                               : std::min(kTailQuietMs, settings_.timeout_ms);
    scheduleNextRound(now, true);
}

void DeviceRunner::scheduleNextRound(TimePoint now, bool after_stall)
{
    phase_ = Phase::Waiting;
    stalled_before_pause_ = after_stall;
    next_round_at_ = now + milliseconds(settings_.interval_ms);
    if (after_stall) {
        next_round_at_ = std::max(next_round_at_, now + milliseconds(quiet_ms_));
        // A line that never falls silent must not stop polling for good.
        latest_round_start_ = next_round_at_ + milliseconds(settings_.timeout_ms);
    }
}

void DeviceRunner::portLost(const char* why, TimePoint now)
{
    // A vanished line (adapter unplugged) is reopened with back-off, not
    // counted as a string of time-outs; an unfinished round is abandoned.
    line_device_->ClosePort();
    const std::string detail = spec_.port + ": " + why;
    if (services_.trace)
        services_.trace->note(spec_.name, ("port lost: " + detail).c_str());
    emit(DeviceEvent::PortLost, detail.c_str());
    phase_ = Phase::PortDown;
    reopen_backoff_ms_ = kFirstReopenDelayMs;
    reopen_at_ = now + milliseconds(reopen_backoff_ms_);
}

void DeviceRunner::tryReopen(TimePoint now)
{
    std::string error;
    const int fd = openLine(spec_.port, lineSettings(), &error);
    if (fd < 0) {
        reopen_backoff_ms_ = std::min(reopen_backoff_ms_ * 2, kMaxReopenDelayMs);
        reopen_at_ = now + milliseconds(reopen_backoff_ms_);
        return;
    }
    kelhost::setPortPath(*line_device_, spec_.port);
    kelhost::setPortFd(*line_device_, fd);
    emit(DeviceEvent::PortReopened, spec_.port.c_str());
    phase_ = Phase::Waiting;
    stalled_before_pause_ = false;
    next_round_at_ = now;
}

void DeviceRunner::restoreCache()
{
    if (!services_.cache)
        return;
    std::string refusal;
    const std::optional<std::string> bytes = cache_slot_.load(&refusal);
    if (!bytes) {
        if (!refusal.empty())
            emit(DeviceEvent::CacheRefused, (cache_slot_.path() + ": " + refusal).c_str());
        return;
    }
    published_ = false;
    alarm_count_ = 0;
    battery_reported_ = false;
    restoring_ = true;
    const int status = device_->LoadFromCache(*bytes);
    restoring_ = false;
    if (status == 1 && published_) {
        emit(DeviceEvent::CacheRestored, cache_slot_.path().c_str());
        completeRound(SteadyClock::now(), RecordSource::Cache);
        return;
    }
    const std::string detail = cache_slot_.path() + ": the driver refused the record";
    emit(DeviceEvent::CacheRefused, detail.c_str());
}

void DeviceRunner::emit(DeviceEvent event, const char* detail)
{
    EventReport report;
    report.device = &spec_;
    report.stats = &stats_;
    report.when = WallTime::now();
    report.event = event;
    report.detail = detail;
    services_.output->event(report);
}

LineSettings DeviceRunner::lineSettings() const
{
    LineSettings line;
    line.baud = line_device_->baud_rate_;
    line.rtscts = spec_.rtscts;
    line.rs485 = spec_.rs485;
    return line;
}

// Every read passes here before the driver sees it: with --echo-cancel the
// echo of the request is taken off, and only the rest is a chunk.
std::size_t DeviceRunner::cancelEcho(std::size_t length)
{
    if (!spec_.echo_cancel)
        return length;
    const bool was_awaiting = local_echo_.awaiting();
    length = local_echo_.strip(read_buffer_.data(), length);
    if (local_echo_.mismatched())
        echoProblem("what came back after a request was not its echo");
    else if (was_awaiting && !local_echo_.awaiting())
        echo_problem_ = false;
    return length;
}

// A missing or wrong echo is one warning until echoes come whole again; the
// trace marks every one.
void DeviceRunner::echoProblem(const char* what)
{
    if (services_.trace)
        services_.trace->note(spec_.name, (std::string("echo-cancel: ") + what).c_str());
    if (echo_problem_)
        return;
    echo_problem_ = true;
    const std::string detail =
        std::string("--echo-cancel: ") + what + " (does this adapter hear its own transmission?)";
    emit(DeviceEvent::Warning, detail.c_str());
}

void DeviceRunner::onSendSP(ZRNVDevice&, int, const unsigned char* data, unsigned int length, bool)
{
    if (length != kRecordSize) {
        const std::string detail = "ignored a record of " + std::to_string(length) + " bytes";
        emit(DeviceEvent::Warning, detail.c_str());
        return;
    }
    std::memcpy(record_.data(), data, kRecordSize);
    published_ = true;
}

void DeviceRunner::onSendData(ZRNVDevice&, const unsigned char* data, unsigned int length)
{
    if (services_.trace)
        services_.trace->request(spec_.name, data, length);
    DecodedRequest request;
    awaited_register_ = decodeRequest(data, length, &request) ? request.reg : -1;
    echo_watch_.requestSent(awaited_register_);
    if (spec_.echo_cancel)
        local_echo_.sent(data, length);
    reply_deadline_ = SteadyClock::now() + milliseconds(settings_.timeout_ms);
}

void DeviceRunner::onCheckThreshold(ZRNVDevice&, const std::string& name, const std::string&,
                                    const float& value, int)
{
    if (name == "battery_voltage") {
        battery_reported_ = true;
        battery_voltage_ = value;
    }
}

void DeviceRunner::onCheckThresholdBool(ZRNVDevice&, int, const std::string& name,
                                        const std::string& code, const std::string& text,
                                        const std::string&, bool state, unsigned short)
{
    AlarmState* slot = nullptr;
    for (std::size_t i = 0; i < alarm_count_; ++i)
        if (alarms_[i].signal == name)
            slot = &alarms_[i];
    if (!slot) {
        if (alarm_count_ == alarms_.size())
            return;
        slot = &alarms_[alarm_count_++];
        slot->signal = name;  // keeps its capacity from earlier rounds
    }
    slot->code = code;
    slot->text = text;
    slot->active = state;
}

void DeviceRunner::onSaveDeviceHistory(ZRNVDevice& dev, const unsigned char* data,
                                       unsigned int length)
{
    const RecordSource source = restoring_ ? RecordSource::Cache : RecordSource::Poll;
    if (services_.history) {
        // Queued for the history's own thread; its failures come back as notices.
        services_.history->record(spec_.name, dev.DataId(), source, data, length, WallTime::now());
        std::string notice;
        while (services_.history->takeNotice(&notice))
            emit(DeviceEvent::Warning, notice.c_str());
    }
    // The restored record is the cached one, only stamped anew: it is not
    // stored back as if it were a new reading. A failing store is reported
    // when it starts failing, not every round.
    if (services_.cache && length == kRecordSize && source == RecordSource::Poll) {
        std::string error;
        const bool ok = cache_slot_.store(data, length, &error);
        if (!ok && !cache_failing_)
            emit(DeviceEvent::Warning, error.c_str());
        cache_failing_ = !ok;
    }
}

}  // namespace keltool
