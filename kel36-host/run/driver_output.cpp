#include "kel36-host/run/driver_output.h"

#include <iostream>

namespace keltool {

DriverOutput::DriverOutput(bool to_stderr)
    : saved_(std::cout.rdbuf(to_stderr ? std::cerr.rdbuf() : &null_))
{
}

DriverOutput::~DriverOutput()
{
    std::cout.flush();
    std::cout.rdbuf(saved_);
}

}  // namespace keltool
