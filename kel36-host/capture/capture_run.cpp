#include "kel36-host/capture/capture_run.h"

#include "kel36_version.h"

namespace keltool {

std::unique_ptr<CaptureWriter> openCapture(const std::string& path, uint64_t limit_bytes,
                                           unsigned files, bool service, std::FILE* err)
{
    CaptureSettings settings;
    settings.path = path;
    settings.limit_bytes = limit_bytes;
    settings.files = files;
    settings.application = std::string("kel36-host ") + KEL36_VERSION;
    settings.report = err;
    settings.report_prefix = service ? "<3>" : "";
    return std::make_unique<CaptureWriter>(settings);
}

bool finishCapture(CaptureWriter& capture, bool service, std::FILE* err)
{
    capture.close();
    const std::string loss = capture.lossLine();
    if (loss.empty())
        return true;
    std::fprintf(err, "%skel36-host: %s\n", service ? "<3>" : "", loss.c_str());
    return false;
}

}  // namespace keltool
