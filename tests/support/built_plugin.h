#pragma once
// The kel36.so of this build, loaded through dlopen exactly as a host does.

#include "host/plugin_loader.h"

#ifndef KEL36_PLUGIN_PATH
#error "KEL36_PLUGIN_PATH must name the built kel36.so"
#endif

namespace testsupport {

inline const char* builtPluginPath() { return KEL36_PLUGIN_PATH; }

inline kelhost::Plugin loadBuiltPlugin() { return kelhost::Plugin::load(builtPluginPath()); }

}  // namespace testsupport
