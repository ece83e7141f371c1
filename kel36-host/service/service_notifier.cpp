#include "kel36-host/service/service_notifier.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace keltool {

ServiceNotifier::ServiceNotifier()
{
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (!path || !*path)
        return;
    sockaddr_un address{};
    const std::size_t length = std::strlen(path);
    // An abstract socket's name starts with '@', a NUL on the wire.
    if ((path[0] != '/' && path[0] != '@') || length >= sizeof address.sun_path)
        return;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@')
        address.sun_path[0] = '\0';
    const auto* bytes = reinterpret_cast<const char*>(&address);
    address_.assign(bytes, bytes + offsetof(sockaddr_un, sun_path) + length);
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);

    const char* usec = std::getenv("WATCHDOG_USEC");
    const char* pid = std::getenv("WATCHDOG_PID");
    const bool ours = !pid || std::strtoll(pid, nullptr, 10) == ::getpid();
    const long long watchdog_us = usec ? std::strtoll(usec, nullptr, 10) : 0;
    if (ours && watchdog_us > 0)
        watchdog_interval_ = std::chrono::microseconds(watchdog_us / 2);
}

ServiceNotifier::~ServiceNotifier()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool ServiceNotifier::send(const std::string& message)
{
    if (fd_ < 0)
        return false;
    return ::sendto(fd_, message.data(), message.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(address_.data()),
                    static_cast<socklen_t>(address_.size())) ==
           static_cast<ssize_t>(message.size());
}

ServiceSink::ServiceSink(ServiceNotifier& notifier, OutputSink& inner, std::size_t devices)
    : notifier_(notifier), inner_(inner), devices_(devices)
{
    schedulePing(SteadyClock::now());
}

void ServiceSink::ready()
{
    notifier_.send("READY=1\n" + status());
}

void ServiceSink::stopping()
{
    notifier_.send("STOPPING=1\nSTATUS=stopping");
}

void ServiceSink::round(const RoundReport& report)
{
    inner_.round(report);
    if (report.source == RecordSource::Poll && answering_.insert(report.device).second)
        notifier_.send(status());
}

void ServiceSink::stall(const StallReport& report)
{
    inner_.stall(report);
}

void ServiceSink::event(const EventReport& report)
{
    inner_.event(report);
    bool changed = false;
    switch (report.event) {
        case DeviceEvent::NotAnswering:
        case DeviceEvent::PortLost:
        case DeviceEvent::GaveUp:
            changed = answering_.erase(report.device) > 0;
            break;
        case DeviceEvent::AnsweringAgain:
            changed = answering_.insert(report.device).second;
            break;
        default:
            break;
    }
    if (changed)
        notifier_.send(status());
}

void ServiceSink::summary(const DeviceSpec* const* devices, const DeviceStats* const* stats,
                          std::size_t count)
{
    inner_.summary(devices, stats, count);
}

TimePoint ServiceSink::wakeAt() const
{
    return std::min(inner_.wakeAt(), next_ping_);
}

void ServiceSink::onWake(TimePoint now)
{
    if (inner_.wakeAt() <= now)
        inner_.onWake(now);
    if (next_ping_ <= now) {
        notifier_.send("WATCHDOG=1");
        schedulePing(now);
    }
}

std::string ServiceSink::status() const
{
    return "STATUS=" + std::to_string(answering_.size()) + " of " + std::to_string(devices_) +
           (devices_ == 1 ? " device" : " devices") + " answering";
}

void ServiceSink::schedulePing(TimePoint now)
{
    const auto interval = notifier_.watchdogInterval();
    next_ping_ = interval > SteadyClock::duration::zero() ? now + interval : TimePoint::max();
}

}  // namespace keltool
