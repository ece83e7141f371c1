#pragma once

#include <json/value.h>

#include <cstdint>

namespace kel36 {

// How bytes 2-3 of a reply are used ("appSetting"/"replyEcho"). A reply echoes
// when they name the register field of the request it answers.
//   Auto: replies are taken as they come until a whole round has echoed; from
//         then on, as On (until the device is configured again).
//   On:   a reply that does not echo stalls the round.
//   Off:  bytes 2-3 are not looked at.
enum class ReplyEcho : uint8_t { Auto, On, Off };

// "on" and "off" select those modes; anything else (missing, null, another
// text, a number, an array, an object) is Auto. Never throws.
ReplyEcho replyEchoFromSetting(const Json::Value& setting);

}  // namespace kel36
