#pragma once
// A run's capture file: opened before polling, with the program and its
// version in the section header; closed after, with a word when it is not
// whole.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "kel36-host/capture/capture_writer.h"

namespace keltool {

// Creates the file. A failure later is reported on `err` once, with the
// journal's error level under --service. Throws ToolError when the file
// cannot be created.
std::unique_ptr<CaptureWriter> openCapture(const std::string& path, uint64_t limit_bytes,
                                           unsigned files, bool service, std::FILE* err);

// Writes what is left and closes the file. When events were lost, says so
// on `err` ("capture FILE is incomplete: ...") and returns false.
bool finishCapture(CaptureWriter& capture, bool service, std::FILE* err);

}  // namespace keltool
