#include "host_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>
#include <json/reader.h>

namespace toolstest {

using Clock = std::chrono::steady_clock;

const char* hostPath()
{
    return KEL36_HOST_PATH;
}
const char* pluginPath()
{
    return KEL36_PLUGIN_PATH;
}
std::string examplePath(const std::string& name)
{
    return std::string(KEL36_EXAMPLES_DIR) + "/" + name;
}

std::vector<Json::Value> HostRun::jsonLines() const
{
    std::vector<Json::Value> out;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::istringstream lines(this->out);
    std::string line;
    while (std::getline(lines, line)) {
        Json::Value value;
        std::string errors;
        if (!reader->parse(line.data(), line.data() + line.size(), &value, &errors)) {
            ADD_FAILURE() << "not a JSON line: " << line << " (" << errors << ")";
            continue;
        }
        out.push_back(value);
    }
    return out;
}

std::vector<Json::Value> HostRun::events(const std::string& event) const
{
    std::vector<Json::Value> out;
    for (const Json::Value& v : jsonLines())
        if (v["event"].asString() == event)
            out.push_back(v);
    return out;
}

HostProcess::HostProcess(const std::vector<std::string>& args,
                         const std::function<void()>& in_child)
{
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "cannot create pipes";
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (in_child)
            in_child();
        std::vector<char*> argv{const_cast<char*>(hostPath())};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(hostPath(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
}

HostProcess::~HostProcess()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0)
        close(out_fd_);
    if (err_fd_ >= 0)
        close(err_fd_);
}

// Reads whatever is available within `limit`; false when both streams ended
// or nothing came in time.
bool HostProcess::pump(std::chrono::milliseconds limit)
{
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (out_fd_ < 0 && err_fd_ < 0)
        return false;
    if (poll(fds, 2, static_cast<int>(limit.count())) <= 0)
        return false;
    char buf[4096];
    int* fd_of[2] = {&out_fd_, &err_fd_};
    std::string* text_of[2] = {&run_.out, &run_.err};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        const ssize_t n = read(*fd_of[i], buf, sizeof buf);
        if (n > 0) {
            text_of[i]->append(buf, static_cast<std::size_t>(n));
        } else {
            close(*fd_of[i]);
            *fd_of[i] = -1;
        }
    }
    return true;
}

bool HostProcess::waitForLines(std::size_t lines, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (static_cast<std::size_t>(std::count(run_.out.begin(), run_.out.end(), '\n')) < lines) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || out_fd_ < 0 || !pump(left))
            return false;
    }
    return true;
}

bool HostProcess::waitForError(const std::string& text, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (run_.err.find(text) == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || err_fd_ < 0 || !pump(left))
            return false;
    }
    return true;
}

void HostProcess::drain()
{
    while (pump(std::chrono::milliseconds(0))) {
    }
}

void HostProcess::signal(int number)
{
    if (pid_ > 0)
        kill(pid_, number);
}

HostRun HostProcess::finish(std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (out_fd_ >= 0 || err_fd_ >= 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !pump(left)) {
            ADD_FAILURE() << "kel36-host did not finish in time; killed. stderr: " << run_.err;
            kill(pid_, SIGKILL);
            break;
        }
    }
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_)
        run_.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
    return run_;
}

HostRun runHost(const std::vector<std::string>& args, std::chrono::milliseconds limit,
                const std::function<void()>& in_child)
{
    HostProcess process(args, in_child);
    return process.finish(limit);
}

TempDir::TempDir()
{
    char templ[] = "/tmp/kel36-tools-XXXXXX";
    const char* made = mkdtemp(templ);
    if (!made)
        ADD_FAILURE() << "cannot create a temporary directory";
    path_ = made ? made : "/tmp";
}

TempDir::~TempDir()
{
    std::error_code ec;
    if (path_ != "/tmp")
        std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(const std::string& name, const std::string& text) const
{
    const std::string path = file(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace toolstest
