#include "kel36-host/config/plugin_locator.h"

#include <climits>
#include <unistd.h>

#include "kel36-host/tool_error.h"

#ifndef KEL36_INSTALLED_PLUGIN_RELATIVE
#define KEL36_INSTALLED_PLUGIN_RELATIVE "../lib/kel36/kel36.so"
#endif

namespace keltool {
namespace {

std::string executableDirectory()
{
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return {};
    const std::string exe(path, static_cast<std::size_t>(n));
    const auto slash = exe.rfind('/');
    return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

}  // namespace

std::vector<std::string> pluginCandidates()
{
    std::vector<std::string> out;
    const std::string dir = executableDirectory();
    if (!dir.empty()) {
        out.push_back(dir + "/kel36.so");
        out.push_back(dir + "/" KEL36_INSTALLED_PLUGIN_RELATIVE);
    }
#ifdef KEL36_BUILD_PLUGIN_PATH
    out.push_back(KEL36_BUILD_PLUGIN_PATH);
#endif
    return out;
}

std::string locatePlugin()
{
    std::string tried;
    for (const std::string& candidate : pluginCandidates()) {
        if (::access(candidate.c_str(), R_OK) == 0)
            return candidate;
        tried += (tried.empty() ? "" : ", ") + candidate;
    }
    throw ToolError("plug-in kel36.so not found (looked at " + tried + "); use --plugin PATH");
}

}  // namespace keltool
