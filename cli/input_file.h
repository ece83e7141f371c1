#pragma once
// Input files (configuration, scenarios) are read whole, and only when they
// are what they claim to be: a regular file of bounded size. A FIFO, a
// directory or a device such as /dev/zero is refused at once, never waited
// on and never read without end.

#include <cstddef>
#include <string>

namespace kelcli {

constexpr std::size_t kMaxInputFileBytes = 1024 * 1024;  // 1 MiB
// Nesting depth of JSON input files; deeper text is refused, not recursed into.
constexpr int kMaxJsonNesting = 100;

// Reads the file into `text`. On failure returns false and sets `error` to
// the reason, without the path: "No such file or directory", "a directory,
// not a regular file", "larger than 1 MiB".
bool readInputFile(const std::string& path, std::string* text, std::string* error,
                   std::size_t max_bytes = kMaxInputFileBytes);

// What kind of file `mode` (st_mode) is, for messages: "a directory", "a FIFO".
const char* fileKind(unsigned int mode);

// True for a regular file; otherwise sets `error` ("a FIFO, not a regular
// file"). A path that does not exist is fine (it may be created).
bool isRegularOrAbsent(const std::string& path, std::string* error);

}  // namespace kelcli
