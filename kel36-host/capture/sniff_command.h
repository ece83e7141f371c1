#pragma once
// `kel36-host sniff --port DEV`: listens to a line another master polls. The
// line is opened read-only and nothing is ever written to it. What is heard
// is split into requests, replies and noise, one line per frame on `out`,
// and, with --capture, kept in the capture format.

#include <cstdio>

#include "kel36-host/config/options.h"

namespace keltool {

// Exit status 0 when the listening ended as asked (--rounds, --seconds, a
// stop signal), 1 when the line went away; ToolError when it cannot be opened.
int runSniff(const SniffOptions& options, std::FILE* out, std::FILE* err);

}  // namespace keltool
