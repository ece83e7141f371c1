#pragma once
// The three forms of kel36-host's output: human lines, JSON Lines, and a live
// view redrawn in place.

#include <cstdio>
#include <memory>
#include <string>

#include "kel36-host/config/options.h"
#include "kel36-host/output/reports.h"

namespace keltool {

// `journal`: lines for systemd's journal (level prefixes, no clock, no round
// line unless a device's alarms changed).
std::unique_ptr<OutputSink> makeHumanOutput(std::FILE* out, bool journal = false);
std::unique_ptr<OutputSink> makeJsonOutput(std::FILE* out);
std::unique_ptr<OutputSink> makeWatchOutput(std::FILE* out);

std::unique_ptr<OutputSink> makeOutput(OutputMode mode, std::FILE* out, bool journal = false);

// Shared wording.
const char* stallReasonText(StallReason reason);
const char* stallReasonName(StallReason reason);  // "no_reply", ...
// The reason a name stands for; false for a name that is none.
bool stallReasonFromName(const std::string& name, StallReason* reason);

}  // namespace keltool
