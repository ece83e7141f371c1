#pragma once
// The one kind of error the tool reports to its user: bad input or an
// environment it cannot work in. main() prints the message as one line on
// stderr and exits with status 2.

#include <stdexcept>
#include <string>

namespace keltool {

class ToolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace keltool
