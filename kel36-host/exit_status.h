#pragma once
// kel36-host's exit statuses, as documented in docs/tools.md.

namespace keltool {

constexpr int kExitOk = 0;
constexpr int kExitInternal = 1;  // a fault of the tool itself, or output that cannot be written
constexpr int kExitBadInput = 2;  // bad input or an unusable environment; nothing was polled
// Some device never completed a round: stopped (Ctrl-C, --give-up) before
// its first record. Scripts can tell "polled nothing" from success.
constexpr int kExitNeverAnswered = 3;
// Every device answered at some time, but --give-up ended the run: a device
// had no completed round for that long.
constexpr int kExitGaveUp = 4;

}  // namespace keltool
