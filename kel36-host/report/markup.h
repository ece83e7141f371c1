#pragma once
// Text into HTML and SVG markup.

#include <string>

namespace keltool {

// Escapes &, <, >, " and ' (UTF-8 passes as it is).
std::string escapeXml(const std::string& text);

}  // namespace keltool
