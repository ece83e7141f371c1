// The least a poller of this protocol can do, for comparison with
// kel36-host: the 63 request frames of a round built once, then per exchange
// one write of the frame and one read of the reply, on a line set up as
// kel36-host sets up its lines (raw 8N1, 19200 baud, the reader woken once
// the reply's 4 bytes are in). No decoding, no time-out, no output per round.
//
// usage: kel36_min_poller LINE ROUNDS [ADDRESS (65)]
// Prints: rounds, exchanges, mean round time in milliseconds.

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kel36-host/output/protocol_view.h"

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: kel36_min_poller LINE ROUNDS [ADDRESS]\n");
        return 2;
    }
    const long rounds = std::atol(argv[2]);
    const int address = argc > 3 ? std::atoi(argv[3]) : keltool::kDefaultAddress;
    const int fd = ::open(argv[1], O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (fd < 0 || tcgetattr(fd, &tio) != 0) {
        std::fprintf(stderr, "kel36_min_poller: %s: %s\n", argv[1], std::strerror(errno));
        return 2;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = static_cast<cc_t>(keltool::kReplyLength);
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B19200);
    cfsetospeed(&tio, B19200);
    tcsetattr(fd, TCSANOW, &tio);
    tcflush(fd, TCIOFLUSH);

    // Registers 0, 2 to 50 and 52 to 64: the round the driver polls.
    std::array<keltool::Frame, 63> frames{};
    std::size_t count = 0;
    for (int reg = 0; reg <= 64; ++reg)
        if (reg != 1 && reg != 51)
            frames[count++] = keltool::requestFrame(static_cast<uint8_t>(address),
                                                    static_cast<uint8_t>(reg));

    const auto started = std::chrono::steady_clock::now();
    unsigned char reply[64];
    for (long r = 0; r < rounds; ++r) {
        for (const keltool::Frame& frame : frames) {
            if (::write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size()))
                return std::fprintf(stderr, "kel36_min_poller: write failed\n"), 1;
            std::size_t got = 0;
            while (got < keltool::kReplyLength) {
                const ssize_t n = ::read(fd, reply + got, sizeof reply - got);
                if (n <= 0)
                    return std::fprintf(stderr, "kel36_min_poller: read failed\n"), 1;
                got += static_cast<std::size_t>(n);
            }
        }
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count();
    std::printf("rounds %ld  exchanges %ld  mean round %.2f ms\n", rounds, rounds * 63,
                rounds ? ms / static_cast<double>(rounds) : 0.0);
    return 0;
}
