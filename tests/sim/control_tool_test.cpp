// Live control of a running kel36-sim as scripts use it: through its control
// socket with kel36-sim --send, and through its standard input.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "line_client.h"
#include "sim_process.h"

namespace {

using namespace std::chrono_literals;
using kelsim::testing::ask;
using kelsim::testing::LineClient;
using kelsim::testing::Tool;

struct Sent {
    int status;
    std::string out, err;
};

Sent send(const std::string& socket, const std::vector<std::string>& commands)
{
    std::vector<std::string> args = {"--send", socket};
    args.insert(args.end(), commands.begin(), commands.end());
    Tool client(args);
    const int status = client.wait();
    return {status, client.out(), client.err()};
}

sockaddr_un addressOf(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

// What a killed simulator leaves behind: a socket file nobody listens on.
void leaveStaleSocket(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un address = addressOf(path);
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    close(fd);
}

int connectTo(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = addressOf(path);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST(ControlSocket, SendChangesWhatTheNextReplyCarriesAndRefusalsChangeNothing)
{
    const std::string socket_path =
        ::testing::TempDir() + "kel36_sim_control_" + std::to_string(getpid()) + ".sock";
    unlink(socket_path.c_str());
    leaveStaleSocket(socket_path);
    Tool sim({"--control", socket_path, "--duration", "60"});
    const std::string pty = sim.firstLine();
    ASSERT_EQ(pty.rfind("/dev/pts/", 0), 0u) << pty;
    struct stat st {};
    ASSERT_EQ(stat(socket_path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    Sent ok = send(socket_path, {"set uab 380", "alarm a_7 on"});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, "ok @65 uab 380 V held\nok @65 a_7 on held\n");
    LineClient line(pty);
    EXPECT_EQ(ask(line, 65, 5) * 256 + ask(line, 65, 2), 38000);
    EXPECT_EQ(ask(line, 65, 34), 0x80);

    Sent refused = send(socket_path, {"set uab 1000", "state"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out.rfind("error uab: 1000 V is out of range 0..655.35 V\nok @65 timeline "
                                "none, elapsed ",
                                0),
              0u)
        << refused.out;
    EXPECT_NE(refused.out.find("uab 380.00 V"), std::string::npos) << refused.out;

    // Several clients at once, and one that sends without ever reading: it
    // is cut off, the others are answered.
    const int quiet = connectTo(socket_path);
    const int a = connectTo(socket_path);
    const int b = connectTo(socket_path);
    ASSERT_GE(quiet, 0);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    std::string commands;
    for (int i = 0; i < 400; ++i)
        commands += "state\n";
    bool cut_off = false;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!cut_off && std::chrono::steady_clock::now() < deadline) {
        const ssize_t n =
            ::send(quiet, commands.data(), commands.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        cut_off = n < 0 && errno != EAGAIN;
        if (n < 0 && !cut_off)
            std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(cut_off) << "a client that never reads was kept";
    ASSERT_EQ(write(b, "resume\n", 7), 7);
    ASSERT_EQ(write(a, "pause\n", 6), 6);
    LineClient reader_a(a), reader_b(b);
    EXPECT_EQ(reader_a.read(20).rfind("ok @65 paused at ", 0), 0u);
    EXPECT_EQ(reader_b.read(20).rfind("ok @65 running from ", 0), 0u);
    close(quiet);

    Tool second({"--control", socket_path, "--duration", "5"});
    EXPECT_EQ(second.wait(), 2);
    EXPECT_EQ(second.err(), "kel36-sim: " + socket_path +
                                ": another program is listening on this control socket\n");

    // A closed terminal (SIGHUP) ends it as SIGTERM does: statistics, socket removed.
    sim.signal(SIGHUP);
    EXPECT_EQ(sim.wait(), 0);
    EXPECT_NE(sim.err().find("address 65: requests 3, replies 3; timeline none, elapsed "),
              std::string::npos)
        << sim.err();
    EXPECT_NE(sim.err().find("alarms: a_7; held: uab a_7\n"), std::string::npos) << sim.err();
    EXPECT_NE(sim.err().find("address 65: registers 01 00 70 2C B8 94 9C 9C 32 01"),
              std::string::npos)
        << sim.err();
    EXPECT_NE(stat(socket_path.c_str(), &st), 0) << "socket file left behind";
    Sent gone = send(socket_path, {"state"});
    EXPECT_EQ(gone.status, 2);
    EXPECT_EQ(gone.err,
              "kel36-sim: cannot connect to " + socket_path + ": No such file or directory\n");
}

TEST(ControlStdin, CommandsOnStdinAreAnsweredOnStdoutAfterThePath)
{
    Tool sim({"--control", "-", "--duration", "60"}, true);
    const std::string pty = sim.firstLine();
    ASSERT_EQ(pty.rfind("/dev/pts/", 0), 0u) << pty;
    ASSERT_TRUE(sim.writeStdin("set ua 200\nbogus\n\nalarm b_2 on\r\n" + std::string(2000, 'x') +
                               "\nrelease ua\n"));
    EXPECT_EQ(sim.firstLine(), "ok @65 ua 200 V held");
    EXPECT_EQ(sim.firstLine(), "error unknown command \"bogus\" (try help)");
    EXPECT_EQ(sim.firstLine(), "ok @65 b_2 on held");
    EXPECT_EQ(sim.firstLine(), "error command longer than 1024 bytes");
    EXPECT_EQ(sim.firstLine(), "ok @65 ua follows the timeline");
    LineClient line(pty);
    EXPECT_EQ(ask(line, 65, 10), 231);
    EXPECT_EQ(ask(line, 65, 35), 0x04);
    // The end of the commands is not the end of the simulator.
    ASSERT_TRUE(sim.writeStdin("set ua 199"));
    sim.closeStdin();
    EXPECT_EQ(sim.firstLine(), "ok @65 ua 199 V held");
    EXPECT_EQ(ask(line, 65, 10), 199);
    sim.signal(SIGINT);
    EXPECT_EQ(sim.wait(), 0);
}

}  // namespace
