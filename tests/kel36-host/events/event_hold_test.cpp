// The hold-off stage's edges: which events its listeners are told, when,
// and with what, for alarms and losses that last, flap or end early.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "kel36-host/config/host_config.h"
#include "kel36-host/events/event_hold.h"

namespace {

using namespace keltool;
using std::chrono::seconds;

class Heard : public EventListener {
public:
    void announce(const AnnouncedEvent& e) override
    {
        if (!told.empty())
            told += " ";
        told += deviceEventName(e.event);
        if (e.found_at_start)
            told += "*";
        told += "@" + std::to_string(e.when.seconds);
        last = e;
    }
    std::string told;
    AnnouncedEvent last;
};

class Passed : public OutputSink {
public:
    void round(const RoundReport&) override { ++count; }
    void stall(const StallReport&) override { ++count; }
    void event(const EventReport&) override { ++count; }
    void summary(const DeviceSpec* const*, const DeviceStats* const*, std::size_t) override
    {
        ++count;
    }
    int count = 0;
};

// Seconds from the start of the run, on both clocks.
struct Timeline {
    explicit Timeline(EventHoldTimes holds)
        : stage(next, {&heard}, holds, [this] { return start + seconds(t); })
    {
        device.name = "gen-1";
        device.data_id = 7;
    }
    void round(int at, bool a7, RecordSource source = RecordSource::Poll)
    {
        advance(at);
        const AlarmState alarms[] = {{"a_5", "05004", "高水温告警", false},
                                     {"a_7", "05010", "低油压告警", a7}};
        RoundReport r;
        r.device = &device;
        r.source = source;
        r.when.seconds = t;
        r.values[0].ok = true;
        r.values[0].value = 400.0f;
        r.alarms = alarms;
        r.alarm_count = 2;
        stage.round(r);
    }
    void event(int at, DeviceEvent e)
    {
        advance(at);
        EventReport r;
        r.device = &device;
        r.when.seconds = t;
        r.event = e;
        stage.event(r);
    }
    // Time passes with no round: the loop wakes the stage when it asked.
    void advance(int to)
    {
        while (t < to) {
            ++t;
            if (stage.wakeAt() <= start + seconds(t))
                stage.onWake(start + seconds(t));
        }
    }
    void end()
    {
        const DeviceSpec* devices[] = {&device};
        const DeviceStats stats;
        const DeviceStats* all[] = {&stats};
        stage.summary(devices, all, 1);
    }

    TimePoint start = TimePoint() + std::chrono::hours(1);
    long long t = 0;
    DeviceSpec device;
    Passed next;
    Heard heard;
    EventHoldStage stage;
};

TEST(EventHold, TellsWhatLastedItsHoldOffOnceAndNothingThatDidNot)
{
    const EventHoldTimes holds{seconds(10), seconds(30), seconds(20)};
    struct Case {
        const char* name;
        std::function<void(Timeline&)> steps;
        const char* told;
    };
    const std::vector<Case> cases = {
        {"an alarm that clears within its hold-off",
         [](Timeline& r) {
             r.round(0, false);
             for (int s = 1; s <= 9; ++s)
                 r.round(s, true);
             for (int s = 10; s <= 40; ++s)
                 r.round(s, false);
         },
         ""},
        {"an alarm that holds, then clears for good",
         [](Timeline& r) {
             r.round(0, false);
             for (int s = 3; s <= 25; ++s)
                 r.round(s, true);
             for (int s = 26; s <= 45; ++s)
                 r.round(s, false);
         },
         "alarm_raised@3 alarm_cleared@26"},
        {"flapping every second for a minute",
         [](Timeline& r) {
             for (int s = 0; s <= 60; ++s)
                 r.round(s, s % 2 == 1);
         },
         ""},
        {"flapping that settles on: raised once",
         [](Timeline& r) {
             for (int s = 0; s <= 20; ++s)
                 r.round(s, s % 2 == 1);
             for (int s = 21; s <= 40; ++s)
                 r.round(s, true);
         },
         "alarm_raised@21"},
        {"a raised alarm that goes off briefly stays raised",
         [](Timeline& r) {
             for (int s = 0; s <= 15; ++s)
                 r.round(s, true);
             for (int s = 16; s <= 20; ++s)
                 r.round(s, false);
             for (int s = 21; s <= 40; ++s)
                 r.round(s, true);
         },
         "alarm_raised*@0"},
        {"found at start in a restored record, raised after its hold-off",
         [](Timeline& r) {
             r.round(0, true, RecordSource::Cache);
             for (int s = 1; s <= 12; ++s)
                 r.round(s, true);
         },
         "alarm_raised*@0"},
        {"the run ends while an alarm is held",
         [](Timeline& r) {
             r.round(0, false);
             for (int s = 1; s <= 5; ++s)
                 r.round(s, true);
             r.end();
         },
         ""},
        {"not answering for less than its hold-off",
         [](Timeline& r) {
             r.round(0, false);
             r.event(5, DeviceEvent::NotAnswering);
             r.event(30, DeviceEvent::AnsweringAgain);
             r.advance(100);
         },
         ""},
        {"not answering past its hold-off with no round in between, then back",
         [](Timeline& r) {
             r.round(0, false);
             r.event(5, DeviceEvent::NotAnswering);
             r.advance(60);
             r.event(61, DeviceEvent::AnsweringAgain);
         },
         "not_answering@5 answering_again@61"},
        {"port lost then reopened, briefly and for long",
         [](Timeline& r) {
             r.event(1, DeviceEvent::PortLost);
             r.event(10, DeviceEvent::PortReopened);
             r.event(20, DeviceEvent::PortLost);
             r.event(50, DeviceEvent::PortReopened);
         },
         "port_lost@20 port_reopened@50"},
        {"a way back with no loss before it, and events not announced",
         [](Timeline& r) {
             r.event(1, DeviceEvent::Started);
             r.event(2, DeviceEvent::AnsweringAgain);
             r.event(3, DeviceEvent::PortReopened);
             r.event(4, DeviceEvent::CacheRestored);
             r.event(5, DeviceEvent::Warning);
             r.event(6, DeviceEvent::GaveUp);
             r.end();
         },
         "gave_up@6"},
    };
    for (const Case& c : cases) {
        Timeline run(holds);
        c.steps(run);
        EXPECT_EQ(run.heard.told, c.told) << c.name;
    }

    // A hold-off of 0 tells every edge at once, with the device and the values.
    Timeline at_once(EventHoldTimes{seconds(0), seconds(0), seconds(0)});
    at_once.round(0, false);
    at_once.round(1, true);
    EXPECT_EQ(at_once.heard.told, "alarm_raised@1");
    const AnnouncedEvent& e = at_once.heard.last;
    EXPECT_EQ(e.device, "gen-1");
    EXPECT_EQ(e.data_id, 7u);
    EXPECT_EQ(e.signal, "a_7");
    EXPECT_EQ(e.code, "05010");
    EXPECT_EQ(e.text, "低油压告警");
    EXPECT_TRUE(e.values[0].ok);
    EXPECT_FALSE(e.values[1].ok);
    at_once.round(2, false);
    at_once.event(3, DeviceEvent::NotAnswering);
    EXPECT_EQ(at_once.heard.told, "alarm_raised@1 alarm_cleared@2 not_answering@3");
    EXPECT_TRUE(at_once.heard.last.values[0].ok) << "the last record is current";
    // Values older than a minute are not told as current.
    at_once.event(63, DeviceEvent::AnsweringAgain);
    EXPECT_FALSE(at_once.heard.last.values[0].ok);
    // Everything reached the outputs as it came, told or not.
    EXPECT_EQ(at_once.next.count, 5);
}

}  // namespace
