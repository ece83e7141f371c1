#include "kel36/reply_echo.h"

#include <string>

namespace kel36 {

ReplyEcho replyEchoFromSetting(const Json::Value& setting)
{
    // Only a string is read: asString() would throw on an array or object, and
    // an unreadable setting falls back to the safe default rather than refusing
    // the node.
    if (!setting.isString())
        return ReplyEcho::Auto;
    const std::string text = setting.asString();
    if (text == "on")
        return ReplyEcho::On;
    if (text == "off")
        return ReplyEcho::Off;
    return ReplyEcho::Auto;
}

}  // namespace kel36
