#include "kel36-host/mqtt/topic_names.h"

#include <map>

#include "kel36-host/tool_error.h"

namespace keltool {

std::string topicLevel(const std::string& device_name)
{
    std::string level = device_name;
    for (char& c : level) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '+' || c == '#' || c == '/' || b < 0x20 || b == 0x7f)
            c = '_';
    }
    // A topic starting with $ is the broker's own ($SYS).
    if (!level.empty() && level[0] == '$')
        level[0] = '_';
    return level;
}

void checkTopicLevelsDistinct(const std::vector<std::string>& device_names)
{
    std::map<std::string, std::string> seen;
    for (const std::string& name : device_names) {
        const auto [at, fresh] = seen.emplace(topicLevel(name), name);
        if (!fresh)
            throw ToolError("--mqtt: the devices \"" + at->second + "\" and \"" + name +
                            "\" would publish under the same topic \"" + at->first +
                            "\" (+, #, / and control characters become _); rename one");
    }
}

}  // namespace keltool
