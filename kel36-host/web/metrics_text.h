#pragma once
// The live state in the Prometheus text exposition format (version 0.0.4),
// for /metrics.

#include <string>

namespace keltool {

class LiveState;

constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

std::string metricsText(const LiveState& state);

// A label value with \, " and line feeds escaped as the format asks.
std::string escapeLabelValue(const std::string& value);

}  // namespace keltool
