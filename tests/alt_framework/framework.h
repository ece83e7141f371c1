#pragma once
// Adapter of this header set: its files have names of their own.

#include "host_types.h"
#include "host_clock.h"
#include "host_device.h"
#include "host_serial.h"
#include "host_plugin.h"
