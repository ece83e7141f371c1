#include "kel36-host/line/line_bus.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "kel36-host/capture/line_capture.h"
#include "kel36-host/output/protocol_view.h"
#include "kel36-host/tool_error.h"

namespace keltool {
namespace {

using std::chrono::milliseconds;

constexpr int kFirstReopenDelayMs = 100;
constexpr int kMaxReopenDelayMs = 5000;
// After a stall the line must be quiet for a while before the next round, so
// that a late reply or the tail of a refused one cannot be taken for the
// first reply of the new round, of this device or of the next one on a
// shared line. A late reply may still come up to a time-out after the stall;
// the tail of a refused reply, or a stray byte, follows at once.
constexpr int kTailQuietMs = 50;

std::string deviceNames(const std::vector<DeviceRunner*>& runners)
{
    std::string names;
    for (const DeviceRunner* r : runners)
        names += (names.empty() ? "" : ", ") + r->device_spec().name;
    return names;
}

}  // namespace

LineBus::LineBus(std::string port, std::vector<DeviceRunner*> runners, const RunSettings& settings)
    : port_(std::move(port)), runners_(std::move(runners)), settings_(settings)
{
    const DeviceSpec& first = runners_.front()->device_spec();
    options_.baud = runners_.front()->baudRate();
    options_.rtscts = first.rtscts;
    options_.rs485 = first.rs485;
    // The echo comes before any reply, a byte at a time on a real line.
    options_.wake_per_byte = first.echo_cancel;
    for (const DeviceRunner* r : runners_) {
        const DeviceSpec& device = r->device_spec();
        if (r->baudRate() != options_.baud)
            throw ToolError(device.origin + ": device " + device.name + " needs " +
                            std::to_string(r->baudRate()) + " baud, but " + first.name +
                            " on the same line " + port_ + " needs " +
                            std::to_string(options_.baud));
        // The adapter is the line's: its RS-485 mode and echo are not per device.
        if (device.rs485.has_value() != first.rs485.has_value() ||
            device.echo_cancel != first.echo_cancel)
            throw ToolError(device.origin + ": device " + device.name + " and " + first.name +
                            " on the same line " + port_ + " differ in rs485 or echoCancel");
    }
}

LineBus::~LineBus()
{
    attachAll(-1);
    closeLine(&line_);
}

void LineBus::open(bool wait_reader, bool missing_is_lost)
{
    options_.wait_reader = wait_reader;
    std::string error;
    if (!openLine(port_, options_, &line_, &error) && missing_is_lost) {
        not_opened_ = error.empty() ? "cannot open" : error;
        return;
    }
    if (!line_.isOpen())
        throw ToolError((runners_.size() == 1 ? "device " : "devices ") + deviceNames(runners_) +
                        ": " + error);
    identity_ = identifyLine(line_.fd);
    attachAll(line_.fd);
}

void LineBus::captureTo(CaptureWriter& writer)
{
    CaptureLine line;
    line.name = port_;
    line.description = std::to_string(options_.baud) + " baud 8N1, polled by kel36-host";
    line.bits_per_second = static_cast<uint64_t>(options_.baud);
    for (std::size_t i = 0; i < runners_.size(); ++i) {
        const DeviceSpec& device = runners_[i]->device_spec();
        line.devices.push_back(
            captureDeviceComment(i, device.name, addressFromNode(device.node), device.data_id));
    }
    capture_ = std::make_unique<LineCapture>(writer, line);
    for (std::size_t i = 0; i < runners_.size(); ++i)
        runners_[i]->attachCapture(capture_.get(), static_cast<uint8_t>(std::min<std::size_t>(i, 254)));
}

void LineBus::start(TimePoint now)
{
    char detail[160];
    const DeviceSpec& first = runners_.front()->device_spec();
    const int used = std::snprintf(detail, sizeof detail, " at %d baud%s", options_.baud,
                                   first.simulated ? " (simulated controller)" : "");
    for (DeviceRunner* r : runners_) {
        std::string line_detail = port_ + std::string(detail, static_cast<std::size_t>(used));
        if (runners_.size() > 1)
            line_detail += ", address " + std::to_string(addressFromNode(r->device_spec().node)) +
                           " of " + std::to_string(runners_.size()) + " devices on the line";
        r->start(now, line_detail);
    }
    phase_ = Phase::Idle;
    flush_ = TCIFLUSH;  // what came before the line was ours
    quiet_until_ = now;
    latest_start_ = now;
    turn_ = runners_.size() - 1;  // the first device goes first
    active_ = runners_[turn_];
    if (!not_opened_.empty())
        portLost(not_opened_.c_str(), now);
}

bool LineBus::finished() const
{
    return std::all_of(runners_.begin(), runners_.end(),
                       [](const DeviceRunner* r) { return r->finished(); });
}

int LineBus::fd() const
{
    if (finished())
        return -1;
    return phase_ == Phase::Idle || phase_ == Phase::InRound ? line_.fd : -1;
}

// The next device in turn order whose round is due first: devices that are
// due together take turns, a device with a longer pause waits for its time.
DeviceRunner* LineBus::nextInTurn(std::size_t* index) const
{
    DeviceRunner* best = nullptr;
    TimePoint best_due = TimePoint::max();
    for (std::size_t step = 1; step <= runners_.size(); ++step) {
        const std::size_t i = (turn_ + step) % runners_.size();
        const TimePoint due = runners_[i]->dueAt();
        if (due < best_due) {
            best = runners_[i];
            best_due = due;
            *index = i;
        }
    }
    return best;
}

TimePoint LineBus::nextStart() const
{
    std::size_t index = 0;
    const DeviceRunner* next = nextInTurn(&index);
    return next ? std::max(next->dueAt(), quiet_until_) : TimePoint::max();
}

TimePoint LineBus::deadline() const
{
    TimePoint earliest = TimePoint::max();
    for (const DeviceRunner* r : runners_)
        earliest = std::min(earliest, r->giveUpAt());
    switch (phase_) {
        case Phase::Idle:
            return std::min(earliest, nextStart());
        case Phase::InRound:
            return std::min(earliest, active_->replyDeadline());
        case Phase::PortDown:
            return std::min(earliest, reopen_at_);
        case Phase::Closed:
            break;
    }
    return earliest;
}

void LineBus::onTimer(TimePoint now)
{
    for (DeviceRunner* r : runners_)
        r->checkGiveUp(now);
    switch (phase_) {
        case Phase::Idle:
            if (nextStart() <= now)
                beginNextRound(now);
            break;
        case Phase::InRound:
            if (active_->replyDeadline() <= now)
                afterRound(active_->onReplyTimeout(now), now);
            break;
        case Phase::PortDown:
            if (reopen_at_ <= now)
                tryReopen(now);
            break;
        case Phase::Closed:
            break;
    }
}

void LineBus::beginNextRound(TimePoint now)
{
    std::size_t index = 0;
    DeviceRunner* next = nextInTurn(&index);
    if (!next)
        return;
    // Only a round after a stall (or after stray bytes) needs the line
    // emptied: a late reply, a refused one's tail, requests the line could
    // not send. After a clean round there is nothing to flush.
    if (flush_ >= 0) {
        tcflush(line_.fd, flush_);
        flush_ = -1;
    }
    active_ = next;
    turn_ = index;
    phase_ = Phase::InRound;
    afterRound(next->beginRound(now), now);
}

void LineBus::afterRound(RoundState state, TimePoint now)
{
    switch (state) {
        case RoundState::InRound:
            return;
        case RoundState::LineFailed:
            portLost(std::strerror(active_->lineError()), now);
            return;
        case RoundState::Stalled:
            flush_ = TCIOFLUSH;
            quiet_ms_ = active_->lastStallReason() == StallReason::NoReply
                            ? settings_.timeout_ms
                            : std::min(kTailQuietMs, settings_.timeout_ms);
            quiet_until_ = now + milliseconds(quiet_ms_);
            break;
        case RoundState::Completed:
        case RoundState::Idle:
            quiet_ms_ = std::min(kTailQuietMs, settings_.timeout_ms);
            quiet_until_ = now;
            break;
    }
    phase_ = Phase::Idle;
    // A line that never falls silent must not stop polling for good.
    const TimePoint planned = nextStart();
    latest_start_ =
        planned == TimePoint::max() ? planned : planned + milliseconds(settings_.timeout_ms);
}

void LineBus::received(std::size_t length, TimePoint now)
{
    if (phase_ == Phase::InRound) {
        afterRound(active_->onReply(read_buffer_.data(), length, now), now);
        return;
    }
    // Nobody waits for these: a late reply, a refused one's tail. The next
    // round starts on an emptied line that has been quiet for a while.
    active_->traceDiscarded(read_buffer_.data(), length);
    if (flush_ < 0)
        flush_ = TCIFLUSH;
    quiet_until_ = std::max(quiet_until_, std::min(now + milliseconds(quiet_ms_), latest_start_));
}

void LineBus::onIo(short revents, TimePoint now)
{
    if (line_.fd < 0)
        return;
    if (revents & POLLIN) {
        // One read per readiness: the line wakes its reader once a reply's
        // length has arrived, and each read is one chunk for the driver.
        readResult(::read(line_.fd, read_buffer_.data(), read_buffer_.size()), now);
        return;
    }
    if (revents & (POLLHUP | POLLERR | POLLNVAL))
        portLost(revents & POLLHUP ? "hang-up" : "line error", now);
}

bool LineBus::canWaitInRead() const
{
    return phase_ == Phase::InRound && line_.wait_fd >= 0;
}

bool LineBus::waitInRead()
{
    const long n = ::read(line_.wait_fd, read_buffer_.data(), read_buffer_.size());
    readResult(n, SteadyClock::now());
    return n > 0 && phase_ == Phase::InRound;
}

void LineBus::readResult(long n, TimePoint now)
{
    if (n > 0) {
        if (capture_)
            active_->captureReceived(read_buffer_.data(), static_cast<std::size_t>(n),
                                     phase_ != Phase::InRound, now);
        received(static_cast<std::size_t>(n), now);
        return;
    }
    if (n == 0) {
        portLost("hang-up", now);
        return;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return;
    portLost(std::strerror(errno), now);
}

void LineBus::portLost(const char* why, TimePoint now)
{
    // A vanished line (adapter unplugged) is reopened with back-off, not
    // counted as a string of time-outs; an unfinished round is abandoned.
    if (phase_ == Phase::InRound)
        active_->abandonRound();
    attachAll(-1);
    closeLine(&line_);
    const std::string detail = port_ + ": " + why;
    const std::string note = "port lost: " + detail;
    if (capture_)
        capture_->lineLost(why, now);
    for (DeviceRunner* r : runners_) {
        r->traceNote(note.c_str());
        r->emit(DeviceEvent::PortLost, detail.c_str());
    }
    phase_ = Phase::PortDown;
    reopen_backoff_ms_ = kFirstReopenDelayMs;
    reopen_at_ = now + milliseconds(reopen_backoff_ms_);
    reopen_refusal_reported_ = false;
}

void LineBus::tryReopen(TimePoint now)
{
    std::string error;
    if (!openLine(port_, options_, &line_, &error)) {
        // A line that is back but held by another program is worth a word;
        // a line that is still missing is what the back-off waits out.
        if (errno == EBUSY && !reopen_refusal_reported_) {
            for (DeviceRunner* r : runners_)
                r->emit(DeviceEvent::Warning, ("cannot reopen " + error).c_str());
            reopen_refusal_reported_ = true;
        }
        reopen_backoff_ms_ = std::min(reopen_backoff_ms_ * 2, kMaxReopenDelayMs);
        reopen_at_ = now + milliseconds(reopen_backoff_ms_);
        return;
    }
    if (!sameDeviceAgain()) {
        // Not the controller's line: it stays lost until its own device is back.
        closeLine(&line_);
        reopen_backoff_ms_ = std::min(reopen_backoff_ms_ * 2, kMaxReopenDelayMs);
        reopen_at_ = now + milliseconds(reopen_backoff_ms_);
        return;
    }
    attachAll(line_.fd);
    if (capture_)
        capture_->lineReopened(now);
    for (DeviceRunner* r : runners_)
        r->emit(DeviceEvent::PortReopened, port_.c_str());
    phase_ = Phase::Idle;
    flush_ = TCIFLUSH;
    quiet_until_ = now;
    latest_start_ = now;
}

// Whether the reopened line is the device polled before; each other device
// found at the path is warned of once, a change that cannot be told as well.
bool LineBus::sameDeviceAgain()
{
    const LineIdentity now = identifyLine(line_.fd);
    // A line that was not there at start (a service at boot) has no
    // identity yet: the first device found there is its own.
    if (!not_opened_.empty()) {
        not_opened_.clear();
        identity_ = now;
        return true;
    }
    const LineMatch match = matchLine(identity_, now);
    if (match == LineMatch::Same) {
        other_device_reported_.clear();
        return true;
    }
    const std::string was = identity_.describe();
    const std::string is = now.describe();
    if (match == LineMatch::Other) {
        if (other_device_reported_ != is) {
            const std::string text = port_ + " now leads to another device: " + is + ", not " +
                                     was + "; not polled until " + was + " is back";
            for (DeviceRunner* r : runners_)
                r->emit(DeviceEvent::Warning, text.c_str());
            other_device_reported_ = is;
        }
        return false;
    }
    const std::string text = "cannot tell whether " + port_ +
                             " is the same device as before: it was " + was + ", it is " + is +
                             " (a /dev/serial/by-id/ path names the adapter); polling goes on";
    for (DeviceRunner* r : runners_)
        r->emit(DeviceEvent::Warning, text.c_str());
    identity_ = now;
    other_device_reported_.clear();
    return true;
}

void LineBus::attachAll(int fd)
{
    for (DeviceRunner* r : runners_)
        r->attachLine(fd);
}

}  // namespace keltool
