#include "cli/standard_streams.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kelcli {

bool ensureStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor is this one: the lower ones are open.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != fd) {
            if (opened >= 0)
                ::close(opened);
            return false;
        }
    }
    return true;
}

CheckedOutput::CheckedOutput(int fd) : fd_(fd)
{
    const cookie_io_functions_t io = {nullptr, &CheckedOutput::writeCookie, nullptr,
                                      &CheckedOutput::closeCookie};
    stream_ = ::fopencookie(this, "w", io);
}

CheckedOutput::~CheckedOutput()
{
    if (stream_)
        std::fclose(stream_);
    else if (fd_ >= 0)
        ::close(fd_);
}

ssize_t CheckedOutput::writeCookie(void* cookie, const char* data, std::size_t size)
{
    auto* self = static_cast<CheckedOutput*>(cookie);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(self->fd_, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (self->error_ == 0)
                self->error_ = n < 0 ? errno : EIO;
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

int CheckedOutput::closeCookie(void* cookie)
{
    auto* self = static_cast<CheckedOutput*>(cookie);
    const int result = self->fd_ >= 0 ? ::close(self->fd_) : 0;
    self->fd_ = -1;
    return result;
}

int CheckedOutput::flushAndCheck()
{
    if (stream_)
        std::fflush(stream_);
    else if (error_ == 0)
        error_ = ENOMEM;
    return error_;
}

int finishOutput(CheckedOutput& output, const char* program, int status, int failed_status)
{
    const int error = output.flushAndCheck();
    if (error == 0)
        return status;
    if (error == EPIPE) {
        std::signal(SIGPIPE, SIG_DFL);
        std::raise(SIGPIPE);
    }
    std::fprintf(stderr, "%s: cannot write output: %s\n", program, std::strerror(error));
    return failed_status;
}

}  // namespace kelcli
