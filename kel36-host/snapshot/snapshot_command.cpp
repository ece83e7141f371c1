#include "kel36-host/snapshot/snapshot_command.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "kel36-host/run/host_session.h"
#include "kel36-host/snapshot/register_image.h"
#include "kel36-host/tool_error.h"

namespace keltool {
namespace {

constexpr int kExitNoSnapshot = 1;
constexpr int kPolledRegisters = 63;  // a round: 0, 2..50, 52..64

// The scenario goes to a file beside the target, renamed into place once
// whole: a failed snapshot never leaves a truncated scenario (or replaces a
// good one). The file is made before polling, so a path that cannot be
// written is known at once.
class PendingFile {
public:
    explicit PendingFile(const std::string& path) : path_(path), partial_(path + ".partial")
    {
        file_ = std::fopen(partial_.c_str(), "w");
        if (!file_)
            throw ToolError("snapshot: cannot create " + partial_ + ": " + std::strerror(errno));
    }
    ~PendingFile()
    {
        if (file_) {
            std::fclose(file_);
            std::remove(partial_.c_str());
        }
    }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    // An empty string when written and in place, else the reason.
    std::string commit(const std::string& text)
    {
        const bool written = std::fwrite(text.data(), 1, text.size(), file_) == text.size();
        const int closed = std::fclose(file_);
        file_ = nullptr;
        const int error = errno;
        if (!written || closed != 0) {
            std::remove(partial_.c_str());
            return std::string("cannot write ") + partial_ + ": " + std::strerror(error);
        }
        if (std::rename(partial_.c_str(), path_.c_str()) != 0) {
            const int rename_error = errno;
            std::remove(partial_.c_str());
            return "cannot rename " + partial_ + " to " + path_ + ": " + std::strerror(rename_error);
        }
        return "";
    }

private:
    std::string path_;
    std::string partial_;
    std::FILE* file_ = nullptr;
};

}  // namespace

int runSnapshot(const SnapshotOptions& options, std::FILE* out, std::FILE* err)
{
    PendingFile file(options.output);
    ToolOptions run;
    run.port = options.port;
    run.addr = options.addr;
    run.name = "snapshot";
    run.rounds = 1;
    run.interval_ms = 0;
    run.give_up_s = options.timeout_s;
    RegisterImage image;
    const int status = runHost(run, out, err, &image);
    std::fflush(out);
    if (status != 0 || image.registersRead() != kPolledRegisters) {
        std::fprintf(err, "kel36-host: snapshot: no round completed within %d s; %s not written\n",
                     options.timeout_s, options.output.c_str());
        return kExitNoSnapshot;
    }
    const std::string problem = file.commit(image.scenarioJson(options.port));
    if (!problem.empty()) {
        std::fprintf(err, "kel36-host: snapshot: %s\n", problem.c_str());
        return kExitNoSnapshot;
    }
    const int echoed = image.echoed();
    std::fprintf(out, "snapshot: wrote %s: %d registers, %s\n", options.output.c_str(),
                 image.registersRead(),
                 echoed == kPolledRegisters ? "every reply echoed its register field"
                 : echoed == 0 ? "no reply echoed its register field (play it with kel36-sim --echo none)"
                               : "some replies did not echo their register field");
    return 0;
}

}  // namespace keltool
