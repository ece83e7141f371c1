#pragma once
// The live state as JSON, for /api/devices and the dashboard.

#include <cstdint>
#include <optional>
#include <string>

namespace keltool {

class LiveState;

// With `trend_after_unix_ms`, each device also carries its trend points newer
// than that time.
std::string devicesJson(const LiveState& state, std::optional<int64_t> trend_after_unix_ms);

}  // namespace keltool
