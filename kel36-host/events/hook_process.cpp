#include "kel36-host/events/hook_process.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "kel36-host/config/device_name.h"
#include "kel36-host/tool_error.h"

extern char** environ;

namespace keltool {
namespace {

// Empty when `path` is an executable regular file, else why not.
std::string notExecutable(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::strerror(errno);
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    if (::access(path.c_str(), X_OK) != 0)
        return std::strerror(errno);
    return {};
}

std::vector<std::string> childEnvironment(const std::vector<std::string>& added)
{
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e)
        if (std::strncmp(*e, "KEL36_", 6) != 0)  // a stale one would lie
            env.emplace_back(*e);
    env.insert(env.end(), added.begin(), added.end());
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    for (std::string& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace

std::string resolveHookProgram(const std::string& program)
{
    if (program.empty())
        throw ToolError("event hook: expected the path of a program, got an empty value");
    if (program.find('/') != std::string::npos) {
        const std::string why = notExecutable(program);
        if (!why.empty())
            throw ToolError("event hook " + shownText(program) + " cannot be run: " + why);
        return program;
    }
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = dirs.find(':', start);
        std::string dir = dirs.substr(start, colon - start);
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
        if (notExecutable(candidate).empty())
            return candidate;
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    throw ToolError("event hook " + shownText(program) + " cannot be run: not found in PATH");
}

HookProcess::HookProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env, const std::string& input,
                         TimePoint deadline)
    : deadline_(deadline)
{
    // Everything the child needs is made before fork: after it, in a
    // threaded process, only async-signal-safe calls.
    std::vector<std::string> args = argv;
    std::vector<std::string> environment = childEnvironment(env);
    std::vector<char*> arg_ptrs = pointers(args);
    std::vector<char*> env_ptrs = pointers(environment);
    const long open_max = ::sysconf(_SC_OPEN_MAX);
    const int last_fd = static_cast<int>(std::clamp(open_max, 64L, 65536L)) - 1;
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    if (::pipe2(out, O_CLOEXEC) != 0) {
        const int error = errno;
        ::close(in[0]);
        ::close(in[1]);
        throw std::runtime_error(std::string("pipe: ") + std::strerror(error));
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::signal(SIGXFSZ, SIG_DFL);
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(out[1], STDERR_FILENO);
        // Serial lines, sockets, the history: none of them is the program's.
        if (::close_range(3, ~0U, 0) != 0)  // a kernel before 5.9
            for (int fd = 3; fd <= last_fd; ++fd)
                ::close(fd);
        ::execve(arg_ptrs[0], arg_ptrs.data(), env_ptrs.data());
        _exit(127);
    }
    const int fork_error = errno;
    ::close(in[0]);
    ::close(out[1]);
    if (pid_ < 0) {
        ::close(in[1]);
        ::close(out[0]);
        throw std::runtime_error(std::string("fork: ") + std::strerror(fork_error));
    }
    // Also in the parent, against the race with a child that exits at once.
    ::setpgid(pid_, pid_);
    // One line is far below a pipe's capacity: the write never waits. A
    // program that exited without reading makes it fail with EPIPE, and its
    // SIGPIPE, held back on this thread, is taken here instead of ending
    // the host.
    sigset_t pipe_signal, saved;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_signal, &saved);
    ::fcntl(in[1], F_SETFL, O_NONBLOCK);
    const ssize_t written = ::write(in[1], input.data(), input.size());
    (void)written;
    ::close(in[1]);
    const timespec no_wait{};
    while (::sigtimedwait(&pipe_signal, nullptr, &no_wait) == SIGPIPE) {
    }
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    output_fd_ = out[0];
    ::fcntl(output_fd_, F_SETFL, O_NONBLOCK);
#ifdef SYS_pidfd_open
    exit_fd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));  // close-on-exec already
#endif
}

HookProcess::~HookProcess()
{
    if (!reaped_)
        kill();
    if (output_fd_ >= 0)
        ::close(output_fd_);
    if (exit_fd_ >= 0)
        ::close(exit_fd_);
}

void HookProcess::readOutput()
{
    if (output_fd_ < 0)
        return;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(output_fd_, buffer, sizeof buffer);
        if (n > 0) {
            // Beyond the bound it is read and dropped, so the program never
            // waits on a full pipe.
            const std::size_t room = kHookOutputBytes - output_.size();
            output_.append(buffer, std::min<std::size_t>(room, static_cast<std::size_t>(n)));
            output_full_ = output_full_ || static_cast<std::size_t>(n) > room;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0) {  // every writer is gone
            ::close(output_fd_);
            output_fd_ = -1;
        }
        return;
    }
}

bool HookProcess::finished()
{
    if (reaped_)
        return true;
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_ || (r < 0 && errno == ECHILD)) {
        reaped_ = true;
        wait_status_ = status;
        readOutput();
    }
    return reaped_;
}

void HookProcess::kill(const char* why)
{
    if (reaped_ || pid_ <= 0)  // never kill(-1): that is every process
        return;
    kill_reason_ = why;
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);  // in case it never had its group
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    killed_ = true;
    wait_status_ = status;
    readOutput();
}

std::vector<std::string> HookProcess::outputLines() const
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < output_.size() && lines.size() < kHookOutputLines) {
        std::size_t end = output_.find('\n', start);
        if (end == std::string::npos)
            end = output_.size();
        lines.push_back(shownText(output_.substr(start, end - start)));
        start = end + 1;
    }
    if (output_full_ || start < output_.size())
        lines.push_back("(more output not kept)");
    return lines;
}

std::string HookProcess::outcome() const
{
    if (killed_)
        return kill_reason_;
    if (WIFEXITED(wait_status_))
        return WEXITSTATUS(wait_status_) == 127 && output_.empty()
                   ? "exit status 127 (not started, or its command was not found)"
                   : "exit status " + std::to_string(WEXITSTATUS(wait_status_));
    if (WIFSIGNALED(wait_status_))
        return "killed by signal " + std::to_string(WTERMSIG(wait_status_));
    return "ended";
}

}  // namespace keltool
