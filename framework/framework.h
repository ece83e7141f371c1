#pragma once
// The plug-in's one include of the host framework (kel36/, unidata/ and
// plugin/ include nothing else of it). It names the framework's header files.
// Building against a monitoring unit's own headers (KEL36_FRAMEWORK_INCLUDE_DIR,
// docs/install.md), the build takes the framework.h of that directory, or this
// file when the directory has none: then edit the names below to that host's.

#include "enum_parity.h"
#include "rule_value.h"
#include "ttime.h"
#include "vdevice_interface.h"
#include "zrn_vdevice.h"
#include "zrn_spdevice.h"
#include "provider.h"
