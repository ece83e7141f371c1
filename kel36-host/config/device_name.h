#pragma once
// Device names end up on terminals, in JSON and in the history: a name must
// be text that prints as itself.

#include <string>

namespace keltool {

// Why `name` cannot be a device name ("empty", "contains a control character
// (U+001B) at byte 3", "is not valid UTF-8 at byte 2"), or "" when it can.
std::string deviceNameProblem(const std::string& name);

// `text` (a port path, a message naming one) as a terminal may show it: the
// control characters a device name may not hold, and bytes that are no
// UTF-8, written as \xHH, so a path cannot move the cursor or forge a line.
std::string shownText(const std::string& text);

}  // namespace keltool
