#pragma once
// One session with the broker through libmosquitto, driven by the thread
// that owns it (mosquitto_loop with a short time-out; its callbacks run on
// that thread). A session that ends is not reused: the publisher makes a new
// one, so no message of an old session is retried behind its back.

#include <memory>
#include <string>
#include <vector>

#include "kel36-host/mqtt/mqtt_settings.h"

struct mosquitto;

namespace keltool {

class BrokerRelay;

class MqttConnection {
public:
    enum class State {
        Connecting,
        Connected,
        Refused,  // the broker answered CONNACK with a refusal (the login)
        Failed,   // no connection, or it was lost: `why` says how
    };

    // Sets the login, the will and TLS; ToolError when TLS cannot be set up.
    explicit MqttConnection(const MqttSettings& settings);
    ~MqttConnection();
    MqttConnection(const MqttConnection&) = delete;
    MqttConnection& operator=(const MqttConnection&) = delete;

    // Begins connecting without waiting for the broker. False when it could
    // not even begin (see why(); tlsSetupFailed() for a CA that cannot be used).
    bool begin();
    // Runs the network for at most `timeout_ms`.
    void step(int timeout_ms);
    State state() const { return state_; }
    const std::string& why() const { return why_; }
    bool tlsProblem() const { return tls_problem_; }

    // QoS 1; false when libmosquitto refused it (the session is then Failed).
    bool publish(const std::string& topic, const std::string& payload, bool retain, int* mid);
    // The message ids the broker acknowledged since the last call.
    std::vector<int> takeAcknowledged();
    // Messages published and not acknowledged yet.
    int inFlight() const { return in_flight_; }
    // A clean DISCONNECT: the broker drops the will.
    void disconnect(int timeout_ms);

private:
    static void onConnect(mosquitto*, void* self, int rc);
    static void onDisconnect(mosquitto*, void* self, int rc);
    static void onPublish(mosquitto*, void* self, int mid);
    static void onLog(mosquitto*, void* self, int level, const char* text);
    void fail(const std::string& why);
    bool placeRelay(int timeout_ms);

    const MqttSettings& settings_;
    mosquitto* mosq_ = nullptr;
    State state_ = State::Connecting;
    std::string why_;
    std::string last_tls_error_;
    bool tls_problem_ = false;
    std::vector<int> acked_;
    int in_flight_ = 0;
    // Plain TCP: between libmosquitto and the broker once the TCP connection
    // stands, so no byte reaches libmosquitto unchecked (broker_relay.h).
    std::unique_ptr<BrokerRelay> relay_;
};

}  // namespace keltool
