#pragma once
// The plumbing every kel36 command-line tool shares: standard descriptors that
// are surely open, and standard output whose failure is noticed.

#include <cstdio>
#include <string>

namespace kelcli {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no file the tool opens later becomes its standard input or output. Call it
// first thing in main(). False when /dev/null cannot be opened.
bool ensureStandardDescriptors();

// A stdio stream on a descriptor that remembers the first write error, so
// the tool can tell a full disk (a failure) from a reader that went away (a
// closed pipe: the quiet end of a pipeline such as `tool | head -1`).
class CheckedOutput {
public:
    // Writes to `fd`, which the stream owns from now on.
    explicit CheckedOutput(int fd);
    ~CheckedOutput();
    CheckedOutput(const CheckedOutput&) = delete;
    CheckedOutput& operator=(const CheckedOutput&) = delete;

    std::FILE* stream() const { return stream_; }
    // Flushes; the errno of the first failed write, 0 while none failed.
    int flushAndCheck();
    int error() const { return error_; }

private:
    static ssize_t writeCookie(void* cookie, const char* data, std::size_t size);
    static int closeCookie(void* cookie);

    int fd_;
    int error_ = 0;
    std::FILE* stream_ = nullptr;
};

// Ends output the way command-line tools do, after everything else has been
// closed: on a closed pipe the process ends by SIGPIPE as the pipeline
// expects, silently; another write error is one line on stderr
// ("<program>: cannot write output: <reason>") and `failed_status`;
// otherwise `status`.
int finishOutput(CheckedOutput& output, const char* program, int status, int failed_status);

}  // namespace kelcli
