#pragma once
// "did you mean --interval?" for a mistyped option.

#include <string>
#include <vector>

namespace kelcli {

// The known option nearest to `given` (at most two edits away, or one that
// `given` abbreviates unambiguously); empty when none is close.
std::string closestOption(const std::string& given, const std::vector<std::string>& known);

// "unknown option --intervall (did you mean --interval?)" or "(see --help)".
std::string unknownOptionMessage(const std::string& given, const std::vector<std::string>& known);

// Every "--name" that a usage text mentions, in order, each once.
std::vector<std::string> optionsInText(const std::string& text);

}  // namespace kelcli
