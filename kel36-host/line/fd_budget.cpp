#include "kel36-host/line/fd_budget.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/resource.h>

#include "kel36-host/tool_error.h"

namespace keltool {

void ensureDescriptors(std::size_t needed)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        throw ToolError(std::string("cannot read the file-descriptor limit: ") +
                        std::strerror(errno));
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= needed)
        return;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed)
        throw ToolError("the run needs about " + std::to_string(needed) +
                        " file descriptors, but the hard limit is " +
                        std::to_string(limit.rlim_max) +
                        " (raise it with ulimit -Hn, or poll fewer devices per run)");
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
        throw ToolError("the run needs about " + std::to_string(needed) +
                        " file descriptors; cannot raise the limit: " + std::strerror(errno));
}

}  // namespace keltool
