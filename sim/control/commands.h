#pragma once
// Live control of the controllers on a line: one command, one answer line.
//
//   [@ADDRESS] set NAME VALUE      hold a quantity (uab ... battery_voltage),
//                                  an alarm (a_5 ... b_6: on/off) or a raw
//                                  register (reg0 ... reg64: 0..255)
//   [@ADDRESS] alarm NAME on|off   hold an alarm signal
//   [@ADDRESS] release NAME|all    give values back to the timeline
//   [@ADDRESS] fault KIND RATE     drop, split, overlong, garble, delay: 0..1;
//                                  delay-ms: 0..600000
//   [@ADDRESS] pause | resume      stop or go on with the timeline
//   [@ADDRESS] state               position, quantities, held values, registers
//   help
//
// Without @ADDRESS a command addresses the line's first controller. The answer
// starts with "ok" or "error"; a command answered with "error" has changed
// nothing.

#include <string>
#include <vector>

#include "controller.h"

namespace kelsim {

std::string runCommand(const std::vector<Controller*>& controllers, const std::string& command,
                       Clock::time_point now);

}  // namespace kelsim
