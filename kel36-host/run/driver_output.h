#pragma once
// The driver writes its diagnostic lines ("rvSize is 0" every round) to
// std::cout. kel36-host keeps them out of its own output: with --trace they
// go to stderr, otherwise into a stream buffer that drops them without a
// system call. The tool itself writes to stdout through C stdio.

#include <streambuf>

namespace keltool {

class DriverOutput {
public:
    // Routes std::cout until destroyed.
    explicit DriverOutput(bool to_stderr);
    ~DriverOutput();
    DriverOutput(const DriverOutput&) = delete;
    DriverOutput& operator=(const DriverOutput&) = delete;

private:
    class NullBuffer : public std::streambuf {
    protected:
        std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
        int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    };

    NullBuffer null_;
    std::streambuf* saved_;
};

}  // namespace keltool
