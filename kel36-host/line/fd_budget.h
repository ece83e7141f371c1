#pragma once
// The file-descriptor budget of a run: every line and every simulated
// controller holds descriptors for the whole run, so the budget is checked
// before anything starts, not found short in the middle of opening lines.

#include <cstddef>

namespace keltool {

// Descriptors a run needs beside its lines: standard streams, the signal
// pipe, the history file, the plug-in's and libraries' own, and a margin.
constexpr std::size_t kBaseDescriptors = 16;
// A simulated controller's pseudo-terminal: its master, the peer it holds
// open, and its wake-up descriptor.
constexpr std::size_t kDescriptorsPerSimulatedLine = 3;

// Makes sure this process may open `needed` descriptors, raising the soft
// limit (up to the hard one) when it is lower. Throws ToolError, naming the
// need and the limits, when even the hard limit is too low.
void ensureDescriptors(std::size_t needed);

}  // namespace keltool
