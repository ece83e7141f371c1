#pragma once
// Tells systemd how the service is doing, by its datagram protocol: READY=1
// once the configuration and plug-in are checked and every line's first open
// was tried, STATUS= with how many devices answer, WATCHDOG=1 while the
// polling loop runs, STOPPING=1 at the end. Outside systemd (no
// NOTIFY_SOCKET) it does nothing.
//
// The watchdog is the loop's liveness, not the devices': a generator that
// does not answer must not make systemd restart the service, a loop that
// hangs (an output that blocks, say) must.

#include <set>
#include <string>
#include <vector>

#include "kel36-host/output/reports.h"

namespace keltool {

class ServiceNotifier {
public:
    // Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID of the environment.
    ServiceNotifier();
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    bool active() const { return fd_ >= 0; }
    // Sends one message ("READY=1\nSTATUS=..."); false when it could not.
    bool send(const std::string& message);
    // Half the watchdog time systemd asked for; zero when it asked for none.
    SteadyClock::duration watchdogInterval() const { return watchdog_interval_; }

private:
    int fd_ = -1;
    std::vector<char> address_;  // a sockaddr_un of the length to pass
    SteadyClock::duration watchdog_interval_{};
};

// The output the loop writes through, with the notifications beside it: it
// keeps STATUS= current from the devices' events and pings the watchdog from
// the loop's own wake-ups. `inner` is passed everything as it is.
class ServiceSink : public OutputSink {
public:
    ServiceSink(ServiceNotifier& notifier, OutputSink& inner, std::size_t devices);

    void ready();     // READY=1 with the first STATUS=
    void stopping();  // STOPPING=1

    void round(const RoundReport& report) override;
    void stall(const StallReport& report) override;
    void event(const EventReport& report) override;
    void summary(const DeviceSpec* const* devices, const DeviceStats* const* stats,
                 std::size_t count) override;
    TimePoint wakeAt() const override;
    void onWake(TimePoint now) override;

private:
    std::string status() const;
    void schedulePing(TimePoint now);

    ServiceNotifier& notifier_;
    OutputSink& inner_;
    std::size_t devices_;
    std::set<const DeviceSpec*> answering_;
    TimePoint next_ping_ = TimePoint::max();
};

}  // namespace keltool
