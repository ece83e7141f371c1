#pragma once
// Where kel36-host looks for kel36.so when --plugin is not given.

#include <string>
#include <vector>

namespace keltool {

// In order: next to the executable, the install location relative to it,
// and the build tree's plug-in this program was built with.
std::vector<std::string> pluginCandidates();

// The first candidate that exists; ToolError listing them all otherwise.
std::string locatePlugin();

}  // namespace keltool
