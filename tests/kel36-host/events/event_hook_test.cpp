// The event hook through the built kel36-host: a paced simulated controller
// under live control raises and releases alarms, and the hook program leaves
// what it was given in files.

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <json/reader.h>

#include "host_process.h"
#include "kel36-host/events/event_hook.h"

namespace {

using namespace toolstest;
using std::chrono::milliseconds;
using std::chrono::seconds;

// kel36-sim on a paced pseudo-terminal, with live control on a socket.
class PacedSim {
public:
    explicit PacedSim(const TempDir& dir) : socket_(dir.file("sim.sock")), out_(dir.file("sim.out"))
    {
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, STDOUT_FILENO);
            execl(KEL36_SIM_PATH, KEL36_SIM_PATH, "--pty", "--pace", "--control", socket_.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && (port_.empty() || port_.back() != '\n'); ++i) {
            std::this_thread::sleep_for(milliseconds(50));
            port_ = readFile(out_);
        }
        if (!port_.empty() && port_.back() == '\n')
            port_.pop_back();
    }
    ~PacedSim()
    {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    const std::string& port() const { return port_; }
    bool send(const std::string& command) const
    {
        const std::string shell = std::string(KEL36_SIM_PATH) + " --send " + socket_ + " '" +
                                  command + "' > /dev/null";
        return std::system(shell.c_str()) == 0;
    }

private:
    std::string socket_, out_, port_;
    pid_t pid_ = -1;
};

std::string script(const TempDir& dir, const std::string& name, const std::string& body)
{
    const std::string path = dir.write(name, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
    return path;
}

// The files the hook left in `dir` whose names start with `prefix`, sorted.
std::vector<std::string> filesStarting(const std::string& dir, const std::string& prefix)
{
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d))
            if (std::string(e->d_name).rfind(prefix, 0) == 0)
                names.push_back(dir + "/" + e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool waitForFile(HostProcess& host, const std::string& dir, const std::string& prefix)
{
    for (int i = 0; i < 200; ++i) {
        host.drain();
        if (!filesStarting(dir, prefix).empty())
            return true;
        std::this_thread::sleep_for(milliseconds(50));
    }
    return false;
}

void pause(HostProcess& host, milliseconds time)
{
    const auto until = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < until) {
        host.drain();
        std::this_thread::sleep_for(milliseconds(50));
    }
}

// Milliseconds of the day from "2026-12-09T22:41:35.348+0000".
long dayMillis(const std::string& iso)
{
    return ((std::stol(iso.substr(11, 2)) * 60 + std::stol(iso.substr(14, 2))) * 60 +
            std::stol(iso.substr(17, 2))) * 1000 + std::stol(iso.substr(20, 3));
}

TEST(EventHook, AnAlarmRaisedAndReleasedRunsTheHookWithItsEventAndFlappingDoesNot)
{
    TempDir dir;
    const PacedSim sim(dir);
    ASSERT_FALSE(sim.port().empty());
    const std::string events = dir.file("events");
    ASSERT_EQ(::mkdir(events.c_str(), 0700), 0);
    // Each run leaves its environment and its stdin in a file of its own.
    const std::string hook = script(dir, "hook.sh",
                                    "f=" + events + "/$KEL36_EVENT.$(date +%s%N)\n"
                                    "{ env | grep '^KEL36_' | sort; echo \"stdin $(cat)\"; } > $f.tmp\n"
                                    "mv $f.tmp $f\n");
    HostProcess host({"--plugin", pluginPath(), "--port", sim.port(), "--name", "genset-1",
                      "--data-id", "5", "--interval", "100", "--timeout", "300", "--json",
                      "--on-event", hook, "--event-hold", "2"});
    ASSERT_TRUE(host.waitForLines(3, seconds(20))) << host.errorSoFar();

    ASSERT_TRUE(sim.send("alarm a_7 on"));
    ASSERT_TRUE(waitForFile(host, events, "alarm_raised")) << host.errorSoFar();
    ASSERT_TRUE(sim.send("alarm a_7 off"));
    ASSERT_TRUE(waitForFile(host, events, "alarm_cleared")) << host.errorSoFar();
    // Flapping faster than the hold-off: on for 0.3 s of every second.
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(sim.send("alarm a_7 on"));
        pause(host, milliseconds(300));
        ASSERT_TRUE(sim.send("alarm a_7 off"));
        pause(host, milliseconds(700));
    }
    pause(host, milliseconds(3000));
    host.signal(SIGINT);
    const HostRun run = host.finish();

    EXPECT_LE(filesStarting(events, "alarm_raised").size(), 2u) << "flapping: once or not at all";
    EXPECT_EQ(filesStarting(events, "alarm_cleared").size(),
              filesStarting(events, "alarm_raised").size());
    const std::string raised = readFile(filesStarting(events, "alarm_raised").front());
    for (const char* line :
         {"KEL36_EVENT=alarm_raised\n", "KEL36_DEVICE=genset-1\n", "KEL36_DATA_ID=5\n",
          "KEL36_SIGNAL=a_7\n", "KEL36_CODE=05010\n", "KEL36_TEXT=低油压告警\n", "KEL36_UAB=400.5\n",
          "KEL36_FREQUENCY=50.1\n", "KEL36_UA=231\n", "KEL36_BATTERY_VOLTAGE=27.6\n"})
        EXPECT_NE(raised.find(line), std::string::npos) << line << " in\n" << raised;
    EXPECT_TRUE(std::regex_search(raised, std::regex(R"(KEL36_TIME=\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z\n)")))
        << raised;
    EXPECT_EQ(raised.find("KEL36_FOUND_AT_START"), std::string::npos);
    EXPECT_EQ(raised.find("KEL36_TEST"), std::string::npos);
    // The same event as one JSON line on stdin.
    const auto json_at = raised.find("stdin ");
    ASSERT_NE(json_at, std::string::npos);
    Json::Value event;
    std::istringstream json(raised.substr(json_at + 6));
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), json, &event, nullptr)) << raised;
    EXPECT_EQ(event["event"].asString(), "alarm_raised");
    EXPECT_EQ(event["code"].asString(), "05010");
    EXPECT_EQ(event["values"]["uab"].asFloat(), 400.5f);

    const std::string cleared = readFile(filesStarting(events, "alarm_cleared").front());
    EXPECT_NE(cleared.find("KEL36_EVENT=alarm_cleared\nKEL36_FREQUENCY="), std::string::npos)
        << cleared;
    EXPECT_NE(cleared.find("KEL36_SIGNAL=a_7\n"), std::string::npos);
    EXPECT_NE(run.err.find("kel36-host: event hook alarm_raised genset-1 a_7: exit status 0"),
              std::string::npos)
        << run.err;
}

TEST(EventHook, AHookThatHangsIsKilledWithItsGroupWhilePollingKeepsItsRate)
{
    TempDir dir;
    // Each hangs with a child of its own, after leaving its group's number.
    const std::string hook =
        script(dir, "hang.sh", "echo \"$KEL36_SIGNAL $KEL36_FOUND_AT_START\" > " + dir.path() +
                                   "/group.$$\nsleep 60 &\nsleep 60\n");
    const HostRun run = runHost(
        {"--plugin", pluginPath(), "--scenario", examplePath("scenario-alarms.json"), "--sim-pace",
         "--interval", "100", "--rounds", "8", "--json", "--on-event", hook, "--event-hold", "0",
         "--event-timeout", "2"});
    ASSERT_EQ(run.exit_code, 0) << run.err;

    std::vector<long> times;
    for (const Json::Value& round : run.events("round"))
        times.push_back(dayMillis(round["time"].asString()));
    ASSERT_EQ(times.size(), 8u);
    std::vector<long> gaps;
    for (std::size_t i = 1; i < times.size(); ++i)
        gaps.push_back(times[i] - times[i - 1]);
    std::vector<long> sorted = gaps;
    std::sort(sorted.begin(), sorted.end());
    const long typical = sorted[sorted.size() / 2];
    // A round that waited for the hook would be late by its 2 s; a loaded
    // machine is late by less.
    for (long gap : gaps)
        EXPECT_LT(gap, typical + 1000) << "a round waited for the hook";
    // Both alarms of the first record, each killed at its time-out with what it started.
    const auto groups = filesStarting(dir.path(), "group.");
    ASSERT_EQ(groups.size(), 2u) << run.err;
    for (const std::string& g : groups) {
        EXPECT_NE(readFile(g).find(" 1\n"), std::string::npos) << "found at start";
        const pid_t group = std::stoi(g.substr(g.rfind('.') + 1));
        EXPECT_NE(::kill(-group, 0), 0) << "process group " << group << " outlived its hook";
    }
    EXPECT_NE(run.err.find("event hook alarm_raised kel36 a_7: killed after its time-out"),
              std::string::npos)
        << run.err;
}

TEST(EventHook, AHookThatCannotRunIsRefusedAtStartAndTestEventReportsTheProgramsStatus)
{
    TempDir dir;
    const std::string not_executable = dir.write("plain.sh", "#!/bin/sh\n");
    const std::string config = dir.write(
        "host.json", R"({"host": {"onEvent": ["./plain.sh"]}, "devices": [{"name": "g", "dataId": 2}]})");
    struct Refused {
        std::vector<std::string> args;
        std::string line;
    };
    const std::vector<Refused> refused = {
        {{"--on-event", dir.file("missing")},
         "kel36-host: event hook " + dir.file("missing") + " cannot be run: No such file or directory\n"},
        {{"--config", config}, "kel36-host: event hook " + dir.path() +
                                   "/./plain.sh cannot be run: Permission denied\n"},
        {{"--on-event", "no-such-program-anywhere"},
         "kel36-host: event hook no-such-program-anywhere cannot be run: not found in PATH\n"},
        {{"--config", dir.write("bad.json", R"({"host": {"onEvent": "x"}, "devices": [{"name": "g", "dataId": 2}]})")},
         "onEvent: expected [\"program\", \"argument\", ...] (1 to 64 strings)\n"},
        {{"--config", dir.write("hold.json", R"({"host": {"eventHold": {"alarm": -1}}, "devices": [{"name": "g", "dataId": 2}]})")},
         "eventHold.alarm: expected a whole number of seconds from 0 to 86400\n"},
        {{"--test-event"}, "kel36-host: --test-event needs a hook"},
    };
    for (const Refused& r : refused) {
        std::vector<std::string> args = {"--plugin", pluginPath(), "--rounds", "1"};
        args.insert(args.end(), r.args.begin(), r.args.end());
        const HostRun run = runHost(args);
        EXPECT_EQ(run.exit_code, 2) << r.line;
        EXPECT_NE(run.err.find(r.line), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(run.out, "") << "nothing polled";
    }

    // --test-event: the program's status, its output bounded in the log.
    const std::string noisy = script(dir, "noisy.sh",
                                     "echo \"$KEL36_TEST $KEL36_EVENT $KEL36_DEVICE $KEL36_DATA_ID "
                                     "$KEL36_SIGNAL $KEL36_TEXT\"\nyes | head -n 100000\nexit 3\n");
    const std::string good = dir.write(
        "good.json", R"({"devices": [{"name": "a", "dataId": 1}, {"name": "b", "dataId": 9}]})");
    HostRun run = runHost({"--config", good, "--on-event", noisy, "--test-event", "--device", "b"});
    EXPECT_EQ(run.exit_code, 3) << run.err;
    EXPECT_NE(run.err.find("event hook alarm_raised b a_7: | 1 alarm_raised b 9 a_7 低油压告警\n"),
              std::string::npos)
        << run.err;
    EXPECT_LE(std::count(run.err.begin(), run.err.end(), '\n'), 6) << run.err;
    run = runHost({"--config", good, "--on-event", noisy, "--test-event", "--device", "c"});
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_NE(run.err.find("--device: no device c is configured (devices: a, b)"),
              std::string::npos)
        << run.err;
}

}  // namespace

namespace {

// The queue in-process: a program that takes its time, events that keep coming.
TEST(EventHookQueue, AFullQueueDropsCountsAndSaysSoOnceAndTheRunsEndIsBounded)
{
    TempDir dir;
    const std::string slow = script(dir, "slow.sh", "sleep 30\n");
    keltool::EventHookSettings settings;
    settings.command = {slow};
    settings.queue_limit = 2;
    settings.parallel = 1;
    std::FILE* log = std::tmpfile();
    ASSERT_NE(log, nullptr);
    {
        keltool::EventHook hook(settings, log);
        keltool::AnnouncedEvent event;
        event.event = keltool::DeviceEvent::NotAnswering;
        event.device = "gen-1";
        for (int i = 0; i < 10; ++i)
            hook.announce(event);
        const auto started = std::chrono::steady_clock::now();
        const std::size_t lost = hook.finish(milliseconds(300));
        EXPECT_LT(std::chrono::steady_clock::now() - started, seconds(5)) << "the end waits its bound";
        // 1 or 2 taken by the worker before the queue filled, the rest dropped.
        EXPECT_EQ(lost, 10u);
    }
    std::rewind(log);
    std::string text;
    char buffer[4096];
    while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, log))
        text.append(buffer, n);
    std::fclose(log);
    const auto count = [&text](const std::string& what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("dropped while the queue is full"), 1u) << text;
    EXPECT_EQ(count("events dropped from the full queue"), 1u) << text;
    EXPECT_EQ(count("not handled by the end of the run"), 1u) << text;
    EXPECT_EQ(count("not_answering gen-1: killed: the run ended first"), 1u) << text;
}

}  // namespace
