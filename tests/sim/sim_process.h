#pragma once
// kel36-sim run as a user runs it: a child process with pipes on stdout and
// stderr (and stdin, when the test types commands).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace kelsim::testing {

using namespace std::chrono_literals;

class Tool {
public:
    // With `with_stdin` the program reads a pipe the test writes with
    // writeStdin(); otherwise it inherits the test's standard input.
    explicit Tool(const std::vector<std::string>& args, bool with_stdin = false)
    {
        int out[2], err[2], in[2] = {-1, -1};
        // Close-on-exec: the program must hold no descriptor of the test's
        // (a pseudo-terminal master kept open would hide an unplugged line).
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 ||
            (with_stdin && pipe2(in, O_CLOEXEC) != 0))
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            if (with_stdin)
                dup2(in[0], STDIN_FILENO);
            close(out[0]);
            close(err[0]);
            std::vector<char*> argv{const_cast<char*>(KEL36_SIM_PATH)};
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(KEL36_SIM_PATH, argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
        if (with_stdin) {
            close(in[0]);
            in_ = in[1];
        }
    }
    ~Tool()
    {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
        if (err_ >= 0)
            close(err_);
        closeStdin();
    }

    bool writeStdin(const std::string& text)
    {
        return ::write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    void closeStdin()
    {
        if (in_ >= 0)
            close(in_);
        in_ = -1;
    }

    // Next line on stdout, waiting at most `limit`.
    std::string firstLine(std::chrono::milliseconds limit = 5000ms)
    {
        return lineFrom(out_, limit, &stdout_);
    }

    // Next line on stderr (the banner first), waiting at most `limit`.
    std::string firstErrorLine(std::chrono::milliseconds limit = 5000ms)
    {
        return lineFrom(err_, limit, &stderr_);
    }

    void signal(int number) { kill(pid_, number); }

    // Exit status; reads the rest of both streams. A program still running
    // after `limit` is killed, so a hang fails the test instead of stalling it.
    int wait(std::chrono::milliseconds limit = 20000ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        int open_streams = 2;
        while (open_streams > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || poll(fds, 2, static_cast<int>(left.count())) <= 0) {
                ADD_FAILURE() << "kel36-sim still running; killed";
                kill(pid_, SIGKILL);
                break;
            }
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !fds[i].revents)
                    continue;
                char buffer[512];
                const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    (i == 0 ? stdout_ : stderr_).append(buffer, static_cast<std::size_t>(n));
                } else {
                    fds[i].fd = -1;
                    --open_streams;
                }
            }
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
    }

    const std::string& out() const { return stdout_; }
    const std::string& err() const { return stderr_; }

private:
    // One line, kept in `seen` too so the stream's text stays whole.
    static std::string lineFrom(int fd, std::chrono::milliseconds limit, std::string* seen)
    {
        std::string line;
        char c;
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, static_cast<int>(limit.count())) > 0 && read(fd, &c, 1) == 1) {
            *seen += c;
            if (c == '\n')
                break;
            line += c;
        }
        return line;
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1, in_ = -1;
    int status_ = -1;
    std::string stdout_, stderr_;
};

}  // namespace kelsim::testing
