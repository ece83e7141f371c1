#pragma once
// --plugin names a file, and dlopen trusts it: a FIFO blocks it, and a
// shared object cut short (a copy that did not finish) is mapped beyond its
// end and dies by SIGBUS. The file is looked at before it is loaded.

#include <string>

namespace keltool {

// The path dlopen is given: a name without a slash is a file in the current
// directory, not a name for the library search.
std::string pluginLoadPath(const std::string& given);

// Why the file at `path` cannot be loaded ("a FIFO, not a regular file",
// "truncated: ..."), or "" when dlopen may try it (also when it cannot be
// opened: dlopen's own message says why).
std::string pluginFileProblem(const std::string& path);

}  // namespace keltool
