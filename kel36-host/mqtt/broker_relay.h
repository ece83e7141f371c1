#pragma once
// Stands between libmosquitto and a plain-TCP broker so that what one
// incoming packet can make the tool hold is bounded. libmosquitto allocates
// and fills whatever remaining length a packet claims (up to 256 MB), and a
// peek at its socket cannot tell where its packet boundaries are. So the
// relay takes the broker's socket and gives libmosquitto, at the same
// descriptor number, one end of a socket pair; it reads the broker's bytes
// itself, checks each packet's fixed header, and passes on only packets
// within kMaxIncomingPacket. The broker has no business sending more: the
// tool never subscribes, so it gets CONNACK, PUBACK and PINGRESP.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace keltool {

// Remaining length plus fixed header.
constexpr std::size_t kMaxIncomingPacket = 64 * 1024;

class BrokerRelay {
public:
    // `library_fd` is libmosquitto's connected TCP socket; afterwards it is
    // the relay's socket pair. Null with `why` when it cannot be done (then
    // nothing changed).
    static std::unique_ptr<BrokerRelay> insert(int library_fd, std::string* why);
    ~BrokerRelay();
    BrokerRelay(const BrokerRelay&) = delete;
    BrokerRelay& operator=(const BrokerRelay&) = delete;

    // Moves bytes both ways, waiting at most `timeout_ms` for the first.
    // False when the broker sent what is refused (see why()); the broker's
    // connection is then closed.
    bool pump(int timeout_ms);
    // Writes to the broker what libmosquitto has handed over (its DISCONNECT).
    void flush(int timeout_ms);
    const std::string& why() const { return why_; }

private:
    BrokerRelay(int broker_fd, int library_fd);
    bool checkHeaders();
    void brokerGone();
    bool refuse(const std::string& why);

    int broker_fd_;   // the TCP connection
    int library_fd_;  // our end of libmosquitto's socket pair
    std::vector<uint8_t> in_;   // from the broker; the first `passable_` are checked
    std::size_t passable_ = 0;
    std::size_t checked_to_ = 0;    // in_[checked_to_] is where checking resumes
    uint64_t packet_left_ = 0;      // body bytes of the checked packet not yet in in_
    std::vector<uint8_t> out_;  // from libmosquitto, for the broker
    bool broker_gone_ = false;
    bool library_gone_ = false;
    std::string why_;
};

}  // namespace keltool
