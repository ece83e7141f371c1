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
// The history could not keep every row of the run (refused, dropped from a
// full queue, not written by the end). It comes before 3, 4 and a clean stop
// by signal: those are in the summary, the loss is nowhere else.
constexpr int kExitHistoryLost = 5;
// Without a history, records polled were not sent to the MQTT broker (it was
// away until the end, or the memory queue overflowed). After 5, before 3 and 4.
constexpr int kExitMqttLost = 6;

}  // namespace keltool
