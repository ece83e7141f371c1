#include "kel36-host/run/device_runner.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "framework/zrn_spdevice.h"
#include "host/device_state.h"
#include "host/plugin_loader.h"
#include "kel36-host/capture/line_capture.h"
#include "kel36-host/output/line_trace.h"
#include "kel36-host/output/outputs.h"
#include "kel36-host/store/history_writer.h"
#include "kel36-host/tool_error.h"

namespace keltool {
namespace {

using std::chrono::milliseconds;

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

// A record's 7-byte time stamp (year LE16, month, day, hour, minute,
// second, local time) as a calendar time; false when it holds no valid one.
bool recordTime(const unsigned char* t, std::tm* out)
{
    const int year = t[0] | (t[1] << 8);
    if (year < 1400 || year > 9999 || t[2] < 1 || t[2] > 12 || t[3] < 1 || t[3] > 31 ||
        t[4] > 23 || t[5] > 59 || t[6] > 59)
        return false;
    *out = std::tm{};
    out->tm_year = year - 1900;
    out->tm_mon = t[2] - 1;
    out->tm_mday = t[3];
    out->tm_hour = t[4];
    out->tm_min = t[5];
    out->tm_sec = t[6];
    out->tm_isdst = -1;
    return true;
}

constexpr std::size_t kTimeOffset = kRecordSize - 7;

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
        // The line belongs to its LineBus, not to the device.
        kelhost::setPortFd(*line_device_, -1);
        kelhost::attachObserver(*device_, nullptr);
    }
}

void DeviceRunner::attachLine(int fd)
{
    kelhost::setPortPath(*line_device_, spec_.port);
    kelhost::setPortFd(*line_device_, fd);
}

int DeviceRunner::baudRate() const
{
    return line_device_->baud_rate_;
}

void DeviceRunner::start(TimePoint now, const std::string& line_detail)
{
    const std::string detail = line_detail + ", data id " + std::to_string(spec_.data_id);
    emit(DeviceEvent::Started, detail.c_str());
    restoreCache();
    last_progress_ = now;
    due_at_ = now;
}

TimePoint DeviceRunner::dueAt() const
{
    return finished_ || in_round_ ? TimePoint::max() : due_at_;
}

TimePoint DeviceRunner::giveUpAt() const
{
    if (settings_.give_up_s <= 0 || finished_ || gave_up_)
        return TimePoint::max();
    return last_progress_ + std::chrono::seconds(settings_.give_up_s);
}

void DeviceRunner::checkGiveUp(TimePoint now)
{
    if (now < giveUpAt())
        return;
    gave_up_ = true;
    char detail[96];
    std::snprintf(detail, sizeof detail, "no completed round for %d s", settings_.give_up_s);
    traceNote(detail);
    emit(DeviceEvent::GaveUp, detail);
}

RoundState DeviceRunner::beginRound(TimePoint now)
{
    published_ = false;
    send_blocked_ = false;
    send_error_ = 0;
    alarm_count_ = 0;
    battery_reported_ = false;
    last_request_length_ = 0;
    local_echo_.reset();
    in_round_ = true;
    round_started_ = now;
    reply_deadline_ = now + milliseconds(settings_.timeout_ms);
    ++rounds_begun_;
    if (capture_)
        capture_->roundStart(capture_index_, capture_address_, rounds_begun_, now);
    device_->RefreshStatus();
    return afterDriverCall(now, 1);
}

RoundState DeviceRunner::onReply(unsigned char* data, std::size_t length, TimePoint now)
{
    length = cancelEcho(data, length);
    if (length == 0)
        return RoundState::InRound;
    if (services_.trace) {
        const int answers = echo_watch_.received(data, length);
        services_.trace->reply(spec_.name, data, length, false, answers, echo_watch_.awaited());
    }
    const int status = device_->process(data, static_cast<unsigned int>(length));
    if (published_)
        return completeRound(now, RecordSource::Poll);
    return afterDriverCall(now, status);
}

// After RefreshStatus or process: did the driver's request go out, or did
// it refuse the reply?
RoundState DeviceRunner::afterDriverCall(TimePoint now, int status)
{
    if (capture_request_pending_)
        captureSent(capture_request_length_);
    if (request_sent_) {
        reply_deadline_ = now + milliseconds(settings_.timeout_ms);
        request_sent_ = false;
    }
    if (send_error_ != 0) {
        in_round_ = false;
        return RoundState::LineFailed;
    }
    if (send_blocked_)
        return stall(StallReason::WriteBlocked, now);
    if (status == 0)
        return stall(StallReason::Refused, now);
    return RoundState::InRound;
}

// With --echo-cancel, every chunk passes here before the driver sees it: the
// echo of the request is taken off, and only the rest is handed on.
std::size_t DeviceRunner::cancelEcho(unsigned char* data, std::size_t length)
{
    if (!spec_.echo_cancel)
        return length;
    const bool was_awaiting = local_echo_.awaiting();
    length = local_echo_.strip(data, length);
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
    traceNote((std::string("echo-cancel: ") + what).c_str());
    if (echo_problem_)
        return;
    echo_problem_ = true;
    const std::string detail =
        std::string("--echo-cancel: ") + what + " (does this adapter hear its own transmission?)";
    emit(DeviceEvent::Warning, detail.c_str());
}

RoundState DeviceRunner::onReplyTimeout(TimePoint now)
{
    if (spec_.echo_cancel && local_echo_.awaiting())
        echoProblem("no echo of the request came back within the time-out");
    return stall(StallReason::NoReply, now);
}

void DeviceRunner::abandonRound()
{
    in_round_ = false;
}

RoundState DeviceRunner::completeRound(TimePoint now, RecordSource source)
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
    has_record_ = true;
    if (capture_ && source == RecordSource::Poll)
        capture_->recordPublished(capture_index_, capture_address_, rounds_begun_,
                                  record_.data(), record_.size(), now);
    if (source == RecordSource::Poll) {
        report.polled = report.when;
    } else {
        report.polled = restored_polled_;
        report.polled_known = restored_polled_known_;
    }
    ValueAnswers answers;
    askValues(answers);
    report.values = answers.values;
    report.battery_reported = battery_reported_;
    report.battery_voltage = battery_voltage_;
    report.alarms = alarms_.data();
    report.alarm_count = alarm_count_;
    report.record = &record_;
    services_.output->round(report);

    if (source != RecordSource::Poll)
        return RoundState::Idle;
    last_progress_ = now;
    finished_ = settings_.rounds != 0 && stats_.rounds >= settings_.rounds;
    scheduleAfterRound(now);
    return RoundState::Completed;
}

void DeviceRunner::askValues(ValueAnswers& out) const
{
    const auto& names = valueNameStrings();
    for (std::size_t i = 0; i < kValueCount; ++i) {
        ValueReading& v = out.values[i];
        v.name = kValueNames[i].name;
        v.unit = kValueNames[i].unit;
        try {
            v.value = device_->Get_Value(0, names[i]);
            v.ok = true;
            v.error[0] = '\0';
        } catch (const std::exception& e) {
            v.ok = false;
            std::snprintf(v.error, sizeof v.error, "%s", e.what());
        }
    }
    // The driver's own measure: whole seconds of the local second clock.
    out.record_time_known = false;
    std::tm t{};
    if (!has_record_ || !recordTime(record_.data() + kTimeOffset, &t))
        return;
    namespace pt = boost::posix_time;
    try {
        const pt::ptime stamped(
            boost::gregorian::date(static_cast<unsigned short>(t.tm_year + 1900),
                                   static_cast<unsigned short>(t.tm_mon + 1),
                                   static_cast<unsigned short>(t.tm_mday)),
            pt::hours(t.tm_hour) + pt::minutes(t.tm_min) + pt::seconds(t.tm_sec));
        out.record_age_s =
            static_cast<long long>((pt::second_clock::local_time() - stamped).total_seconds());
    } catch (const std::exception&) {
        return;  // a day the month does not have
    }
    out.record_time_known = true;
}

RoundState DeviceRunner::stall(StallReason reason, TimePoint now)
{
    ++stats_.stalls;
    ++stats_.consecutive_stalls;
    last_stall_reason_ = reason;
    StallReport report;
    report.device = &spec_;
    report.stats = &stats_;
    report.when = WallTime::now();
    report.reason = reason;
    report.awaited_register = awaitedRegister();
    report.poll_step = line_device_->poll_step_;
    report.elapsed_ms = millisBetween(round_started_, now);
    services_.output->stall(report);
    if (capture_)
        capture_->stall(capture_index_, capture_address_, rounds_begun_,
                        static_cast<uint8_t>(static_cast<int>(reason) + 1),
                        report.awaited_register, static_cast<int>(report.poll_step), now);
    if (services_.trace) {
        char note[96];
        std::snprintf(note, sizeof note, "stall: %s", stallReasonText(reason));
        services_.trace->note(spec_.name, note);
    }
    if (stats_.consecutive_stalls == kStallsBeforeWarning)
        emit(DeviceEvent::NotAnswering, "");
    scheduleAfterRound(now);
    return RoundState::Stalled;
}

// --interval: the pause after a round. --period: rounds start on a fixed
// grid; one that overran its slot is followed at once, without catching up
// the slots it missed.
void DeviceRunner::scheduleAfterRound(TimePoint now)
{
    in_round_ = false;
    if (settings_.period_ms > 0) {
        due_at_ += milliseconds(settings_.period_ms);
        if (due_at_ < now)
            due_at_ = now;
    } else {
        due_at_ = now + milliseconds(settings_.interval_ms);
    }
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
    // The restore stamps the record anew; the views want when it was polled.
    restored_polled_known_ = false;
    std::tm polled{};
    if (bytes->size() == kRecordSize &&
        recordTime(reinterpret_cast<const unsigned char*>(bytes->data()) + kTimeOffset, &polled)) {
        const std::time_t seconds = std::mktime(&polled);
        if (seconds != static_cast<std::time_t>(-1)) {
            restored_polled_.seconds = static_cast<long long>(seconds);
            restored_polled_.nanoseconds = 0;
            restored_polled_known_ = true;
        }
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

void DeviceRunner::attachCapture(LineCapture* capture, uint8_t index)
{
    capture_ = capture;
    capture_index_ = index;
    capture_address_ = addressFromNode(spec_.node);
}

void DeviceRunner::captureReceived(const unsigned char* data, std::size_t length, bool discarded,
                                   TimePoint now)
{
    if (capture_)
        capture_->bytes(CaptureKind::Reply, capture_index_, capture_address_,
                        discarded ? -1 : awaitedRegister(), discarded ? kFlagDiscarded : 0,
                        data, length, now);
}

// The request as far as the line took it, stamped when it was handed over.
void DeviceRunner::captureSent(std::size_t length)
{
    capture_request_pending_ = false;
    capture_->bytes(CaptureKind::Request, capture_index_, capture_address_, awaitedRegister(), 0,
                    capture_request_.data(), std::min(length, capture_request_length_),
                    capture_request_at_);
}

void DeviceRunner::traceDiscarded(const unsigned char* data, std::size_t length)
{
    if (services_.trace)
        services_.trace->reply(spec_.name, data, length, true);
}

void DeviceRunner::traceNote(const char* text)
{
    if (services_.trace)
        services_.trace->note(spec_.name, text);
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

// The request is kept as sent and read only when a stall report needs its
// register; the reply's time-out starts when the driver's call returns.
void DeviceRunner::onSendData(ZRNVDevice&, const unsigned char* data, unsigned int length)
{
    if (services_.trace)
        services_.trace->request(spec_.name, data, length);
    if (capture_) {
        if (capture_request_pending_)
            captureSent(capture_request_length_);
        capture_request_length_ = std::min<std::size_t>(length, capture_request_.size());
        std::memcpy(capture_request_.data(), data, capture_request_length_);
        capture_request_at_ = SteadyClock::now();
        capture_request_pending_ = true;
    }
    last_request_length_ = std::min<std::size_t>(length, last_request_.size());
    if (last_request_length_ == kFrameLength)
        std::memcpy(last_request_.data(), data, kFrameLength);  // the driver's frames
    else
        std::memcpy(last_request_.data(), data, last_request_length_);
    request_sent_ = true;
    if (spec_.echo_cancel)
        local_echo_.sent(data, length);
    if (services_.trace)
        echo_watch_.requestSent(awaitedRegister());
}

int DeviceRunner::awaitedRegister() const
{
    DecodedRequest request;
    return decodeRequest(last_request_.data(), last_request_length_, &request) ? request.reg : -1;
}

void DeviceRunner::onSendIncomplete(ZRNVDevice&, unsigned int written, unsigned int length,
                                    int error)
{
    // A full output buffer (a peer that does not read, flow control held)
    // stalls this device's round; anything else means the line is gone.
    if (capture_request_pending_)
        captureSent(written);
    if (error == EAGAIN || error == EWOULDBLOCK)
        send_blocked_ = true;
    else
        send_error_ = error;
    if (services_.trace) {
        char note[128];
        std::snprintf(note, sizeof note, "request not sent: the line took %u of %u bytes (%s)",
                      written, length, std::strerror(error));
        services_.trace->note(spec_.name, note);
    }
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
