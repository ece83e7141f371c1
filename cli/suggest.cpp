#include "cli/suggest.h"

#include <algorithm>
#include <cctype>

namespace kelcli {
namespace {

std::size_t editDistance(const std::string& a, const std::string& b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1,
                               diagonal + (a[i - 1] == b[j - 1] ? 0u : 1u)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

std::string closestOption(const std::string& given, const std::vector<std::string>& known)
{
    // "--interval=5" is still a mistyped "--interval".
    const std::string name = given.substr(0, given.find('='));
    std::string best;
    std::size_t best_distance = 3;
    bool tie = false;
    for (const std::string& candidate : known) {
        const std::size_t d = editDistance(name, candidate);
        if (d < best_distance) {
            best = candidate;
            best_distance = d;
            tie = false;
        } else if (d == best_distance && candidate != best) {
            tie = true;
        }
    }
    if (!best.empty() && !tie)
        return best;
    // An abbreviation names one option only if no other starts the same way.
    std::string prefixed;
    for (const std::string& candidate : known)
        if (name.size() >= 4 && candidate.rfind(name, 0) == 0) {
            if (!prefixed.empty())
                return std::string();
            prefixed = candidate;
        }
    return prefixed;
}

std::string unknownOptionMessage(const std::string& given, const std::vector<std::string>& known)
{
    const std::string suggestion = closestOption(given, known);
    return "unknown option " + given +
           (suggestion.empty() ? " (see --help)" : " (did you mean " + suggestion + "?)");
}

std::vector<std::string> optionsInText(const std::string& text)
{
    std::vector<std::string> out;
    for (std::size_t at = text.find("--"); at != std::string::npos; at = text.find("--", at + 2)) {
        if (at > 0 && !std::isspace(static_cast<unsigned char>(text[at - 1])) &&
            text[at - 1] != '[' && text[at - 1] != '(' && text[at - 1] != '|')
            continue;
        std::size_t end = at + 2;
        while (end < text.size() &&
               (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '-'))
            ++end;
        if (end == at + 2)
            continue;
        std::string option = text.substr(at, end - at);
        if (std::find(out.begin(), out.end(), option) == out.end())
            out.push_back(option);
        at = end - 2;
    }
    return out;
}

}  // namespace kelcli
