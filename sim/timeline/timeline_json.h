#pragma once
// The "timeline" member of a scenario file.

#include <json/value.h>

#include <string>

#include "timeline/timeline.h"

namespace kelsim {

// Reads `node` (found at `path` in `source`) into a timeline starting from
// `start`. Throws std::runtime_error "<source>: <path>: <reason>".
Timeline readTimeline(const Json::Value& node, const std::string& path, const std::string& source,
                      const Scenario& start);

}  // namespace kelsim
