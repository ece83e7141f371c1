#pragma once
// A real mosquitto for the tests, on 127.0.0.1 only, with a configuration
// file written per test, and a libmosquitto subscriber that collects what it
// is sent. Every wait is bounded.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "host_process.h"

struct mosquitto;
struct mosquitto_message;

namespace mqtttest {

// A port no one listens on now.
int freeLoopbackPort();

class Broker {
public:
    // `extra` goes into the configuration after the listener lines; the
    // broker keeps its state in `dir` (persistence on).
    Broker(const toolstest::TempDir& dir, const std::string& name, const std::string& extra = "",
           int port = 0);
    ~Broker();
    void start();  // waits until it accepts connections
    void stop();   // SIGTERM, waits for it to end (it saves its state)
    int port() const { return port_; }
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    std::string log() const;

private:
    std::string config_, log_;
    int port_;
    pid_t pid_ = -1;
};

struct Message {
    std::string topic, payload;
    bool retained = false;
};

class Subscriber {
public:
    // clean = false: a persistent session, QoS 1, that gets what was sent
    // while it was away. Subscribes to `pattern`.
    Subscriber(int port, const std::string& pattern, const std::string& client_id, bool clean,
               const std::string& user = "", const std::string& password = "");
    ~Subscriber();
    // Waits until `done` holds for the messages so far (at most `limit`).
    bool waitFor(const std::function<bool(const std::vector<Message>&)>& done,
                 std::chrono::milliseconds limit);
    // Waits until the broker has confirmed the subscription.
    bool waitSubscribed(std::chrono::milliseconds limit);
    std::vector<Message> messages() const;
    std::vector<Message> on(const std::string& topic) const;

private:
    static void onMessage(mosquitto*, void*, const mosquitto_message*);
    static void onConnect(mosquitto*, void*, int);
    static void onSubscribe(mosquitto*, void*, int, int, const int*);
    bool subscribed_ = false;
    mosquitto* mosq_ = nullptr;
    std::string pattern_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Message> messages_;
};

}  // namespace mqtttest
