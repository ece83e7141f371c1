#include "broker.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

namespace mqtttest {
namespace {

bool accepts(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

int freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

Broker::Broker(const toolstest::TempDir& dir, const std::string& name, const std::string& extra,
               int port)
    : port_(port ? port : freeLoopbackPort())
{
    config_ = dir.file(name + ".conf");
    log_ = dir.file(name + ".log");
    std::ofstream(config_) << "listener " << port_ << " 127.0.0.1\n"
                           // Started as root it would drop to the user "mosquitto",
                           // who cannot write the test's directory.
                           << "user " << ::getpwuid(::geteuid())->pw_name << "\n"
                           << "persistence true\n"
                           << "persistence_location " << dir.path() << "/\n"
                           << "persistence_file " << name << ".db\n"
                           << "log_dest file " << log_ << "\n"
                           << "log_type error\nlog_type warning\nlog_type notice\n"
                           << extra;
    // Without a password file, anyone may connect to this test broker.
    if (extra.find("password_file") == std::string::npos)
        std::ofstream(config_, std::ios::app) << "allow_anonymous true\n";
}

Broker::~Broker()
{
    stop();
}

void Broker::start()
{
    pid_ = ::fork();
    if (pid_ == 0) {
        ::execlp("mosquitto", "mosquitto", "-c", config_.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (int i = 0; i < 500 && !accepts(port_); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(accepts(port_)) << "mosquitto did not start: " << log();
}

void Broker::stop()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 500 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (::waitpid(pid_, &status, WNOHANG) == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
}

std::string Broker::log() const
{
    return toolstest::readFile(log_);
}

Subscriber::Subscriber(int port, const std::string& pattern, const std::string& client_id,
                       bool clean, const std::string& user, const std::string& password)
    : pattern_(pattern)
{
    mosquitto_lib_init();
    mosq_ = mosquitto_new(client_id.c_str(), clean, this);
    if (!user.empty())
        mosquitto_username_pw_set(mosq_, user.c_str(), password.c_str());
    mosquitto_message_callback_set(mosq_, onMessage);
    mosquitto_connect_callback_set(mosq_, onConnect);
    mosquitto_subscribe_callback_set(mosq_, onSubscribe);
    mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
    mosquitto_connect(mosq_, "127.0.0.1", port, 30);
    mosquitto_loop_start(mosq_);
}

Subscriber::~Subscriber()
{
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, true);
    mosquitto_destroy(mosq_);
}

void Subscriber::onConnect(mosquitto* m, void* self, int rc)
{
    if (rc == 0)
        mosquitto_subscribe(m, nullptr, static_cast<Subscriber*>(self)->pattern_.c_str(), 1);
}

void Subscriber::onSubscribe(mosquitto*, void* self, int, int, const int*)
{
    auto* s = static_cast<Subscriber*>(self);
    {
        const std::lock_guard<std::mutex> lock(s->mutex_);
        s->subscribed_ = true;
    }
    s->changed_.notify_all();
}

bool Subscriber::waitSubscribed(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return subscribed_; });
}

void Subscriber::onMessage(mosquitto*, void* self, const mosquitto_message* m)
{
    auto* s = static_cast<Subscriber*>(self);
    {
        const std::lock_guard<std::mutex> lock(s->mutex_);
        s->messages_.push_back(Message{m->topic,
                                       std::string(static_cast<const char*>(m->payload),
                                                   static_cast<std::size_t>(m->payloadlen)),
                                       m->retain});
    }
    s->changed_.notify_all();
}

bool Subscriber::waitFor(const std::function<bool(const std::vector<Message>&)>& done,
                         std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return done(messages_); });
}

std::vector<Message> Subscriber::messages() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::vector<Message> Subscriber::on(const std::string& topic) const
{
    std::vector<Message> out;
    for (const Message& m : messages())
        if (m.topic == topic)
            out.push_back(m);
    return out;
}

}  // namespace mqtttest
