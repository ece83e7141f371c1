#include "kel36-host/mqtt/mqtt_connection.h"

#include <mosquitto.h>
#include <poll.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "kel36-host/mqtt/broker_relay.h"
#include "kel36-host/tool_error.h"

namespace keltool {
namespace {

constexpr int kLibraryInFlight = 200;  // above the publisher's own window

void initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

// libmosquitto's words, as a clause: "the connection was lost".
std::string errorText(int rc)
{
    std::string text = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
    if (!text.empty() && text.back() == '.')
        text.pop_back();
    if (text.size() > 1 && std::isupper(static_cast<unsigned char>(text[0])) &&
        std::islower(static_cast<unsigned char>(text[1])))
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

}  // namespace

MqttConnection::MqttConnection(const MqttSettings& settings) : settings_(settings)
{
    initLibrary();
    mosq_ = mosquitto_new(settings.client_id.c_str(), true, this);
    if (!mosq_)
        throw ToolError("cannot set up an MQTT client: " + std::string(std::strerror(errno)));
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_max_inflight_messages_set(mosq_, kLibraryInFlight);
    mosquitto_connect_callback_set(mosq_, onConnect);
    mosquitto_disconnect_callback_set(mosq_, onDisconnect);
    mosquitto_publish_callback_set(mosq_, onPublish);
    mosquitto_log_callback_set(mosq_, onLog);
    if (!settings.user.empty())
        mosquitto_username_pw_set(mosq_, settings.user.c_str(),
                                  settings.password.empty() ? nullptr : settings.password.c_str());
    const std::string will = settings.prefix + "/availability";
    mosquitto_will_set(mosq_, will.c_str(), 7, "offline", 1, true);
    if (settings.broker.tls) {
        const int rc = mosquitto_tls_set(
            mosq_, settings.ca_file.c_str(), nullptr,
            settings.cert_file.empty() ? nullptr : settings.cert_file.c_str(),
            settings.key_file.empty() ? nullptr : settings.key_file.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            throw ToolError("MQTT TLS setup failed (CA " + settings.ca_file + "): " +
                            errorText(rc));
        mosquitto_tls_opts_set(mosq_, 1, nullptr, nullptr);
    }
}

MqttConnection::~MqttConnection()
{
    mosquitto_destroy(mosq_);
}

bool MqttConnection::begin()
{
    errno = 0;
    const int rc = mosquitto_connect_async(mosq_, settings_.broker.host.c_str(),
                                           settings_.broker.port, settings_.keepalive_s);
    if (rc == MOSQ_ERR_SUCCESS)
        return true;
    // The CA is loaded here: a file that holds no certificate fails now.
    if (rc == MOSQ_ERR_TLS) {
        tls_problem_ = true;
        fail("TLS: " + (last_tls_error_.empty() ? errorText(rc) : last_tls_error_));
    } else {
        fail(errorText(rc));
    }
    return false;
}

bool MqttConnection::placeRelay(int timeout_ms)
{
    const int fd = mosquitto_socket(mosq_);
    if (fd < 0)
        return true;
    // libmosquitto is not run before the TCP connection stands, so it reads
    // nothing past the relay.
    pollfd p{fd, POLLOUT, 0};
    const int n = ::poll(&p, 1, timeout_ms);
    if (n <= 0)
        return false;  // still connecting
    if (p.revents & (POLLERR | POLLHUP))
        return true;  // libmosquitto tells why, as without the relay
    std::string why;
    relay_ = BrokerRelay::insert(fd, &why);
    if (!relay_) {
        fail(why);
        return false;
    }
    return true;
}

void MqttConnection::step(int timeout_ms)
{
    if (state_ == State::Failed || state_ == State::Refused)
        return;
    if (!settings_.broker.tls && !relay_) {
        if (!placeRelay(timeout_ms))
            return;
        timeout_ms = 0;
    }
    if (relay_) {
        if (!relay_->pump(timeout_ms)) {
            fail(relay_->why());
            return;
        }
        timeout_ms = 0;
    }
    errno = 0;
    const int rc = mosquitto_loop(mosq_, timeout_ms, 1);
    const int loop_errno = errno;
    // What libmosquitto wrote goes out now, not a step later.
    if (relay_ && !relay_->pump(0)) {
        fail(relay_->why());
        return;
    }
    errno = loop_errno;
    if (rc == MOSQ_ERR_SUCCESS || state_ == State::Refused || state_ == State::Failed)
        return;
    if (rc == MOSQ_ERR_TLS || !last_tls_error_.empty()) {
        tls_problem_ = true;
        fail("TLS: " + (last_tls_error_.empty() ? errorText(rc) : last_tls_error_));
        return;
    }
    fail(errorText(rc));
}

bool MqttConnection::publish(const std::string& topic, const std::string& payload, bool retain,
                             int* mid)
{
    const int rc = mosquitto_publish(mosq_, mid, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), 1, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        fail("publish: " + errorText(rc));
        return false;
    }
    ++in_flight_;
    return true;
}

std::vector<int> MqttConnection::takeAcknowledged()
{
    std::vector<int> out;
    out.swap(acked_);
    return out;
}

void MqttConnection::disconnect(int timeout_ms)
{
    if (state_ != State::Connected)
        return;
    mosquitto_disconnect(mosq_);
    // Writes out what is queued, the DISCONNECT last.
    int waited = 0;
    for (; waited < timeout_ms && mosquitto_want_write(mosq_); waited += 10)
        mosquitto_loop(mosq_, 10, 1);
    if (relay_)
        relay_->flush(timeout_ms - waited);
    state_ = State::Failed;
    why_ = "disconnected";
}

void MqttConnection::fail(const std::string& why)
{
    if (state_ == State::Failed || state_ == State::Refused)
        return;
    state_ = State::Failed;
    why_ = why;
}

void MqttConnection::onConnect(mosquitto*, void* self, int rc)
{
    auto* c = static_cast<MqttConnection*>(self);
    if (rc == 0) {
        c->state_ = State::Connected;
        return;
    }
    c->state_ = State::Refused;
    c->why_ = std::string("the broker refused the login: ") + mosquitto_connack_string(rc);
}

void MqttConnection::onDisconnect(mosquitto*, void* self, int rc)
{
    auto* c = static_cast<MqttConnection*>(self);
    if (c->state_ == State::Refused)
        return;
    c->fail(rc == 0 ? "disconnected" : errorText(rc));
}

void MqttConnection::onPublish(mosquitto*, void* self, int mid)
{
    auto* c = static_cast<MqttConnection*>(self);
    c->acked_.push_back(mid);
    --c->in_flight_;
}

void MqttConnection::onLog(mosquitto*, void* self, int, const char* text)
{
    // OpenSSL's reason for a failed handshake comes only through the log.
    if (text && std::strncmp(text, "OpenSSL Error", 13) == 0) {
        auto* c = static_cast<MqttConnection*>(self);
        const char* reason = std::strstr(text, ": ");
        c->last_tls_error_ = std::string(reason ? reason + 2 : text).substr(0, 200);
    }
}

}  // namespace keltool
