#pragma once
// Device names as MQTT topic levels. A name may hold characters a topic
// level cannot: the wildcards + and #, the level separator /, and (names
// never do, but a topic must not) control characters. Each becomes '_';
// everything else, UTF-8 included, stays as it is.

#include <string>
#include <vector>

namespace keltool {

std::string topicLevel(const std::string& device_name);

// Throws ToolError when two devices' names map to one topic level.
void checkTopicLevelsDistinct(const std::vector<std::string>& device_names);

}  // namespace keltool
