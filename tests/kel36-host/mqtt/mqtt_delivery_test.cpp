// kel36-host --mqtt against a real mosquitto on loopback: what it publishes,
// that nothing is lost across an outage of the broker and a restart of the
// tool (with --history), which failures at start end the run, a bridge to a
// central broker, and Home Assistant's discovery.

#include <gtest/gtest.h>
#include <json/reader.h>
#include <signal.h>
#include <sqlite3.h>

#include <cstdlib>
#include <map>
#include <set>
#include <thread>

#include "broker.h"
#include "kel36-host/mqtt/mqtt_publisher.h"
#include "kel36-host/store/history_writer.h"
#include "host_process.h"

namespace mqtttest {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using toolstest::HostProcess;
using toolstest::TempDir;
using toolstest::examplePath;

constexpr std::size_t kInFlight = 100;  // the publisher's window

Json::Value parse(const std::string& text)
{
    Json::Value v;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &v, &errors))
        << text << ": " << errors;
    return v;
}

std::size_t countOn(const std::vector<Message>& all, const std::string& topic)
{
    std::size_t n = 0;
    for (const Message& m : all)
        n += m.topic == topic;
    return n;
}

// Each device's record payloads by seq (the last one seen of each).
std::map<std::string, std::map<uint64_t, Json::Value>> recordsBySeq(
    const std::vector<Message>& all, std::size_t* duplicates)
{
    std::map<std::string, std::map<uint64_t, Json::Value>> out;
    *duplicates = 0;
    for (const Message& m : all) {
        if (m.topic.size() < 7 || m.topic.compare(m.topic.size() - 7, 7, "/record") != 0)
            continue;
        const Json::Value v = parse(m.payload);
        *duplicates += out[v["device"].asString()].count(v["seq"].asUInt64());
        out[v["device"].asString()][v["seq"].asUInt64()] = v;
    }
    return out;
}

// Waits for `done` while reading the tool's output, so it never blocks on a
// full pipe.
bool waitDraining(Subscriber& sub, HostProcess& host,
                  const std::function<bool(const std::vector<Message>&)>& done,
                  std::chrono::milliseconds limit)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        host.drain();
        if (sub.waitFor(done, milliseconds(100)))
            return true;
    }
    return false;
}

void drainFor(HostProcess& host, std::chrono::milliseconds span)
{
    const auto until = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < until) {
        host.drain();
        std::this_thread::sleep_for(milliseconds(20));
    }
}

std::vector<std::string> hostArgs(const std::string& url, std::vector<std::string> more = {})
{
    std::vector<std::string> args = {"--config", examplePath("host.json"), "--simulate",
                                     "--interval", "20", "--json", "--mqtt", url};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

TEST(MqttDelivery, EveryRecordArrivesOnceInOrderStateIsRetainedAndTheWillSaysOffline)
{
    TempDir dir;
    Broker broker(dir, "site");
    broker.start();
    Subscriber sub(broker.port(), "kel36/#", "collector", true);
    ASSERT_TRUE(sub.waitSubscribed(seconds(5)));
    HostProcess host(hostArgs(broker.url()));
    ASSERT_TRUE(waitDraining(sub, host,
        [](const std::vector<Message>& all) {
            return countOn(all, "kel36/genset-1/record") >= 30 &&
                   countOn(all, "kel36/genset-2/record") >= 30;
        },
        seconds(20)))
        << host.errorSoFar();

    // A consumer that comes later is given the state and availability at once.
    Subscriber late(broker.port(), "kel36/+/+", "late", true);
    ASSERT_TRUE(waitDraining(late, host,
        [](const std::vector<Message>& all) {
            return countOn(all, "kel36/genset-2/state") > 0 &&
                   countOn(all, "kel36/genset-2/availability") > 0;
        },
        seconds(5)));
    const Message state = late.on("kel36/genset-2/state").front();
    EXPECT_TRUE(state.retained);
    const Json::Value s = parse(state.payload);
    EXPECT_TRUE(s["answering"].asBool());
    EXPECT_EQ(s["device"].asString(), "genset-2");
    EXPECT_EQ(s["last_record_time"].asString(), s["time"].asString());
    EXPECT_TRUE(late.on("kel36/genset-2/availability").front().retained);
    EXPECT_EQ(late.on("kel36/genset-2/availability").front().payload, "online");

    host.signal(SIGKILL);
    EXPECT_TRUE(waitDraining(sub, host,
        [](const std::vector<Message>& all) {
            for (const Message& m : all)
                if (m.topic == "kel36/availability" && m.payload == "offline")
                    return true;
            return false;
        },
        seconds(5)));
    const toolstest::HostRun run = host.finish();

    // Every record the tool polled before the kill, by its round number: the
    // same values under the same seq, none twice, in order.
    std::map<std::string, std::map<uint64_t, Json::Value>> rounds;
    for (const Json::Value& line : run.jsonLines())
        if (line["event"] == "round")
            rounds[line["device"].asString()][line["round"].asUInt64()] = line;
    std::size_t duplicates = 0;
    const auto records = recordsBySeq(sub.messages(), &duplicates);
    EXPECT_EQ(duplicates, 0u);
    for (const char* device : {"genset-1", "genset-2"}) {
        const auto& got = records.at(device);
        ASSERT_GE(got.size(), 30u);
        EXPECT_EQ(got.rbegin()->first, got.size()) << device << ": a seq is missing";
        uint64_t last_time = 0;
        for (const auto& [seq, v] : got) {
            const Json::Value& round = rounds[device][seq];
            ASSERT_TRUE(round.isObject()) << device << " seq " << seq;
            for (const char* value : {"uab", "ubc", "uca", "frequency", "ua", "ub", "uc"})
                EXPECT_EQ(v[value], round["values"][value]) << device << " " << value;
            EXPECT_EQ(v["battery_voltage"], round["battery_voltage"]);
            EXPECT_EQ(v["source"], "poll");
            EXPECT_GE(v["time_ms"].asUInt64(), last_time);
            last_time = v["time_ms"].asUInt64();
            EXPECT_EQ(v["time"].asString().back(), 'Z');
        }
    }
    // genset-2's scenario raises alarms; they come with code and text.
    bool named_alarm = false;
    for (const auto& [seq, v] : records.at("genset-2"))
        for (const Json::Value& a : v["alarms"])
            named_alarm |= a["active"].asBool() && !a["text"].asString().empty();
    EXPECT_TRUE(named_alarm);
}

int64_t storedCount(const std::string& db, const std::string& device)
{
    sqlite3* h = nullptr;
    sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(h, "SELECT count(*) FROM records WHERE device = ?", -1, &s, nullptr);
    sqlite3_bind_text(s, 1, device.c_str(), -1, SQLITE_TRANSIENT);
    const int64_t n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
    sqlite3_finalize(s);
    sqlite3_close(h);
    return n;
}

TEST(MqttOutbox, RecordsPolledDuringAnOutageAndAcrossARestartAllArrive)
{
    TempDir dir;
    const std::string db = dir.file("history.db");
    Broker broker(dir, "site");
    broker.start();
    // A consumer that must miss nothing: a persistent session, QoS 1, and a
    // broker that keeps it across its restart.
    Subscriber sub(broker.port(), "kel36/+/record", "collector", false);
    ASSERT_TRUE(sub.waitSubscribed(seconds(5)));
    {
        HostProcess host(hostArgs(broker.url(), {"--history", db}));
        ASSERT_TRUE(waitDraining(sub, host,
            [](const std::vector<Message>& all) {
                return countOn(all, "kel36/genset-1/record") >= 10;
            },
            seconds(20)))
            << host.errorSoFar();
        broker.stop();
        ASSERT_TRUE(host.waitForError("unreachable since", seconds(5)));
        drainFor(host, seconds(2));  // ~100 records per device wait
        broker.start();
        ASSERT_TRUE(host.waitForError("records sent", seconds(20))) << host.errorSoFar();
        host.signal(SIGTERM);
        const toolstest::HostRun run = host.finish();
        EXPECT_EQ(run.exit_code, 0) << run.err;
    }
    const int64_t first_run = storedCount(db, "genset-1");
    {
        HostProcess host(hostArgs(broker.url(), {"--history", db}));
        ASSERT_TRUE(waitDraining(sub, host,
            [&](const std::vector<Message>& all) {
                return countOn(all, "kel36/genset-1/record") >=
                       static_cast<std::size_t>(first_run) + 20;
            },
            seconds(20)))
            << host.errorSoFar();
        host.signal(SIGTERM);
        const toolstest::HostRun run = host.finish();
        EXPECT_EQ(run.exit_code, 0) << run.err;
    }
    // Everything both runs stored arrives: seq 1 to the count, the nth
    // record under seq n, duplicates only within the window of each outage.
    for (const char* device : {"genset-1", "genset-2"}) {
        const auto stored = static_cast<std::size_t>(storedCount(db, device));
        ASSERT_GT(stored, static_cast<std::size_t>(first_run));
        std::size_t duplicates = 0;
        EXPECT_TRUE(sub.waitFor(
            [&](const std::vector<Message>& all) {
                std::size_t d = 0;
                return recordsBySeq(all, &d)[device].size() >= stored;
            },
            seconds(10)));
        const auto records = recordsBySeq(sub.messages(), &duplicates)[device];
        EXPECT_EQ(records.size(), stored) << device;
        EXPECT_EQ(records.rbegin()->first, stored) << device << ": a seq is missing";
        EXPECT_LE(duplicates, 2 * kInFlight);
    }
}

std::string shell(const std::string& command)
{
    const int rc = std::system((command + " >/dev/null 2>&1").c_str());
    EXPECT_EQ(rc, 0) << command;
    return command;
}

// A CA and a broker certificate for 127.0.0.1 signed by it, made here.
void makeCertificates(const TempDir& dir, const std::string& ca)
{
    const std::string d = dir.path() + "/";
    shell("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=" + ca + " -keyout " + d +
          ca + ".key -out " + d + ca + ".pem");
}

TEST(MqttStart, ARefusedLoginOrAnUntrustedBrokerEndsTheRunAnAbsentBrokerDoesNot)
{
    TempDir dir;
    const std::string d = dir.path() + "/";
    shell("mosquitto_passwd -b -c " + d + "passwd site s3cret");
    makeCertificates(dir, "testca");
    makeCertificates(dir, "otherca");
    shell("openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout " + d +
          "server.key -out " + d + "server.csr");
    dir.write("san.ext", "subjectAltName=IP:127.0.0.1\n");
    shell("openssl x509 -req -in " + d + "server.csr -CA " + d + "testca.pem -CAkey " + d +
          "testca.key -CAcreateserial -days 2 -extfile " + d + "san.ext -out " + d + "server.pem");
    const int tls_port = freeLoopbackPort();
    Broker broker(dir, "secure",
                  "password_file " + d + "passwd\nallow_anonymous false\n" + "listener " +
                      std::to_string(tls_port) + " 127.0.0.1\ncafile " + d + "testca.pem\ncertfile " +
                      d + "server.pem\nkeyfile " + d + "server.key\n");
    broker.start();
    const std::string right = dir.write("right", "s3cret\n");
    const std::string wrong = dir.write("wrong", "guess\n");
    const std::string tls = "mqtts://127.0.0.1:" + std::to_string(tls_port);
    const auto run = [](std::vector<std::string> args) {
        args.insert(args.begin(), {"--simulate", "--rounds", "3", "--interval", "20"});
        return toolstest::runHost(args, seconds(20));
    };

    auto r = run({"--mqtt", broker.url(), "--mqtt-user", "site", "--mqtt-password-file", wrong});
    EXPECT_EQ(r.exit_code, 2) << r.err;
    EXPECT_NE(r.err.find("refused the login"), std::string::npos) << r.err;
    r = run({"--mqtt", tls, "--mqtt-ca", d + "otherca.pem", "--mqtt-user", "site",
             "--mqtt-password-file", right});
    EXPECT_EQ(r.exit_code, 2) << r.err;
    EXPECT_NE(r.err.find("TLS"), std::string::npos) << r.err;
    r = run({"--mqtt", tls, "--mqtt-ca", dir.write("junk.pem", "no certificate\n"), "--mqtt-user",
             "site", "--mqtt-password-file", right});
    EXPECT_EQ(r.exit_code, 2) << r.err;
    // Options that cannot work are one line at start.
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--mqtt", "ftp://127.0.0.1"},
          {"--mqtt", "mqtt://127.0.0.1:99999"},
          {"--mqtt", "mqtt://127.0.0.1", "--mqtt-user", "u", "--mqtt-password-file", "/dev/zero"},
          {"--mqtt", "mqtt://127.0.0.1", "--mqtt-prefix", "a/#"}}) {
        r = run(bad);
        EXPECT_EQ(r.exit_code, 2) << bad[1] << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    // Over TLS with the login: records arrive.
    Subscriber sub(broker.port(), "kel36/#", "checker", true, "site", "s3cret");
    ASSERT_TRUE(sub.waitSubscribed(seconds(5)));
    r = run({"--mqtt", tls, "--mqtt-ca", d + "testca.pem", "--mqtt-user", "site",
             "--mqtt-password-file", right});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(sub.waitFor(
        [](const std::vector<Message>& all) { return countOn(all, "kel36/kel36/record") == 3; },
        seconds(5)));

    // No broker at the port yet: polling goes on, the records wait.
    TempDir later_dir;
    const int port = freeLoopbackPort();
    HostProcess host(hostArgs("mqtt://127.0.0.1:" + std::to_string(port)));
    ASSERT_TRUE(host.waitForError("unreachable since", seconds(5)));
    ASSERT_TRUE(host.waitForLines(20, seconds(10)));
    drainFor(host, milliseconds(1500));  // past the first retry
    Broker later(later_dir, "later", "", port);
    later.start();
    Subscriber first(port, "kel36/genset-1/record", "first", true);
    ASSERT_TRUE(first.waitSubscribed(seconds(5)));
    EXPECT_TRUE(waitDraining(first, host,
        [](const std::vector<Message>& all) {
            for (const Message& m : all)
                if (parse(m.payload)["seq"] == 1)
                    return true;
            return false;
        },
        seconds(15)))
        << host.errorSoFar();
    host.signal(SIGTERM);
    EXPECT_EQ(host.finish().exit_code, 0);
}

std::size_t occurrences(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(MqttLogin, ALoginRefusedMidRunIsToldOnceRetriedAndLosesNothing)
{
    TempDir dir;
    const std::string passwd = dir.file("passwd");
    shell("mosquitto_passwd -b -c " + passwd + " site s3cret");
    Broker broker(dir, "site", "password_file " + passwd + "\nallow_anonymous false\n");
    broker.start();
    Subscriber sub(broker.port(), "kel36/genset-1/record", "collector", false, "site", "s3cret");
    ASSERT_TRUE(sub.waitSubscribed(seconds(5)));
    HostProcess host(hostArgs(broker.url(), {"--mqtt-user", "site", "--mqtt-password-file",
                                             dir.write("password", "s3cret\n")}));
    ASSERT_TRUE(waitDraining(sub, host,
        [](const std::vector<Message>& all) { return all.size() >= 10; }, seconds(20)))
        << host.errorSoFar();

    // The site's password changes under the running tool: every reconnect
    // is refused, told once, and tried again with back-off.
    broker.stop();
    shell("mosquitto_passwd -b " + passwd + " site changed");
    broker.start();
    ASSERT_TRUE(host.waitForError("refused the login", seconds(10))) << host.errorSoFar();
    drainFor(host, seconds(4));  // several refused tries
    EXPECT_EQ(occurrences(host.errorSoFar(), "refused the login"), 1u) << host.errorSoFar();
    EXPECT_NE(host.errorSoFar().find("trying again"), std::string::npos) << host.errorSoFar();
    ASSERT_TRUE(host.waitForLines(40, seconds(5))) << "polling stopped";

    broker.stop();
    shell("mosquitto_passwd -b " + passwd + " site s3cret");
    broker.start();
    ASSERT_TRUE(host.waitForError("records sent", seconds(75))) << host.errorSoFar();
    host.signal(SIGTERM);
    const toolstest::HostRun run = host.finish();
    EXPECT_EQ(run.exit_code, 0) << run.err;
    std::size_t polled = 0;
    for (const Json::Value& line : run.jsonLines())
        polled += line["event"] == "round" && line["device"] == "genset-1";
    EXPECT_TRUE(sub.waitFor(
        [&](const std::vector<Message>& all) {
            std::size_t d = 0;
            return recordsBySeq(all, &d)["genset-1"].size() >= polled;
        },
        seconds(10)));
    std::size_t duplicates = 0;
    const auto records = recordsBySeq(sub.messages(), &duplicates)["genset-1"];
    EXPECT_EQ(records.size(), polled) << "a record polled while the login was refused is missing";
    EXPECT_EQ(records.rbegin()->first, polled);
}

const std::set<std::string> kDiscoveryKeys = {
    "name", "unique_id", "state_topic", "value_template", "unit_of_measurement", "device_class",
    "state_class", "expire_after", "availability", "availability_mode", "payload_on",
    "payload_off", "device"};

TEST(MqttBridge, ASiteBrokerCarriesTheTopicsAndDiscoveryToTheCentralOne)
{
    TempDir dir;
    Broker central(dir, "central");
    central.start();
    Broker site(dir, "site",
                "connection central\naddress 127.0.0.1:" + std::to_string(central.port()) +
                    "\nremote_clientid site-bridge\ncleansession false\n"
                    "topic kel36/# out 1\ntopic homeassistant/# out 1\n");
    Subscriber sub(central.port(), "#", "central-collector", true);
    ASSERT_TRUE(sub.waitSubscribed(seconds(5)));
    site.start();
    std::this_thread::sleep_for(milliseconds(500));  // the bridge connects
    HostProcess host(hostArgs(site.url(), {"--mqtt-home-assistant"}));
    ASSERT_TRUE(waitDraining(sub, host,
        [](const std::vector<Message>& all) {
            std::size_t configs = 0;
            for (const Message& m : all)
                configs += m.topic.rfind("homeassistant/", 0) == 0;
            return configs >= 26 && countOn(all, "kel36/genset-2/record") >= 5 &&
                   countOn(all, "kel36/genset-1/state") >= 1;
        },
        seconds(20)))
        << site.log();
    host.signal(SIGTERM);
    EXPECT_EQ(host.finish().exit_code, 0);

    const Json::Value state = parse(sub.on("kel36/genset-1/state").back().payload);
    std::set<std::string> unique_ids;
    for (const Message& m : sub.messages()) {
        if (m.topic.rfind("homeassistant/", 0) != 0)
            continue;
        const Json::Value c = parse(m.payload);
        for (const std::string& key : c.getMemberNames())
            EXPECT_TRUE(kDiscoveryKeys.count(key)) << m.topic << ": " << key;
        for (const char* key : {"name", "unique_id", "state_topic", "value_template",
                                "device_class", "availability", "device"})
            EXPECT_TRUE(c.isMember(key)) << m.topic << ": no " << key;
        unique_ids.insert(c["unique_id"].asString());
        const bool binary = m.topic.rfind("homeassistant/binary_sensor/", 0) == 0;
        EXPECT_EQ(binary, c["device_class"] == "problem") << m.topic;
        EXPECT_EQ(binary, c.isMember("payload_on") && c.isMember("payload_off")) << m.topic;
        EXPECT_EQ(!binary, c["state_class"] == "measurement") << m.topic;
        EXPECT_EQ(c["availability"].size(), 2u);
        EXPECT_EQ(c["availability_mode"], "all");
        for (const char* key : {"identifiers", "name", "manufacturer", "model"})
            EXPECT_TRUE(c["device"].isMember(key)) << m.topic;
        // The template reads a key the state carries.
        const std::string t = c["value_template"].asString();
        const auto at = t.find("value_json.");
        ASSERT_NE(at, std::string::npos);
        std::string path = t.substr(at + 11, t.find_first_of(" }", at) - at - 11);
        if (c["state_topic"] == "kel36/genset-1/state") {
            const auto dot = path.find('.');
            const Json::Value& v =
                dot == std::string::npos ? state[path] : state[path.substr(0, dot)][path.substr(dot + 1)];
            EXPECT_FALSE(v.isNull()) << m.topic << ": " << path;
        }
    }
    EXPECT_EQ(unique_ids.size(), 26u);
    EXPECT_TRUE(unique_ids.count("kel36_5001_uab"));
    EXPECT_TRUE(unique_ids.count("kel36_5002_b_6"));
}

}  // namespace
}  // namespace mqtttest

namespace mqtttest {
namespace {

// The publisher as the event stage sees it: an announced alarm goes out on
// the device's event topic (its name made topic-safe), with its fields.
TEST(MqttEvents, AnAnnouncedAlarmIsPublishedOnTheDevicesEventTopic)
{
    TempDir dir;
    Broker broker(dir, "site");
    broker.start();
    Subscriber sub(broker.port(), "kel36/+/event", "events", true);
    ASSERT_TRUE(sub.waitSubscribed(seconds(5)));
    keltool::MqttOptions options;
    options.url = broker.url();
    keltool::MqttPublisher publisher(keltool::resolveMqttSettings(options),
                                     {{"hall/genset+1", 5001}}, "", stderr, false);
    publisher.start();
    keltool::AnnouncedEvent e;
    e.event = keltool::DeviceEvent::AlarmRaised;
    e.device = "hall/genset+1";
    e.data_id = 5001;
    e.when = keltool::WallTime::now();
    e.signal = "a_7";
    e.code = "05010";
    e.text = "低油压告警";
    publisher.announce(e);
    ASSERT_TRUE(sub.waitFor(
        [](const std::vector<Message>& all) { return countOn(all, "kel36/hall_genset_1/event") == 1; },
        seconds(5)));
    publisher.stop();
    const Json::Value v = parse(sub.on("kel36/hall_genset_1/event").front().payload);
    EXPECT_EQ(v["event"], "alarm_raised");
    EXPECT_EQ(v["device"], "hall/genset+1");
    EXPECT_EQ(v["data_id"], 5001);
    EXPECT_EQ(v["signal"], "a_7");
    EXPECT_EQ(v["code"], "05010");
    EXPECT_EQ(v["text"], "低油压告警");
    EXPECT_EQ(v["time_ms"].asInt64(), keltool::epochMillis(e.when));
    EXPECT_EQ(v["time"].asString().back(), 'Z');
}

}  // namespace
}  // namespace mqtttest
