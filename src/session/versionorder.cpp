#include "versionorder.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace session {

namespace {

struct Version {
    std::vector<unsigned long> numbers;
    std::string letters;   // lower case
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::optional<Version> Parse(std::string_view text)
{
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return std::nullopt;
    text = text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
    Version version;
    size_t at = 0;
    for (;;) {
        const size_t start = at;
        while (at < text.size() && IsDigit(text[at]))
            ++at;
        // Nine digits stay within an unsigned long everywhere.
        if (at == start || at - start > 9)
            return std::nullopt;
        version.numbers.push_back(std::stoul(std::string(text.substr(start, at - start))));
        if (at < text.size() && text[at] == '.') {
            ++at;
            continue;
        }
        break;
    }
    for (; at < text.size(); ++at) {
        if (!IsLetter(text[at]) || version.letters.size() >= 16)
            return std::nullopt;
        version.letters += static_cast<char>(std::tolower(static_cast<unsigned char>(text[at])));
    }
    while (version.numbers.size() > 1 && version.numbers.back() == 0)
        version.numbers.pop_back();
    return version;
}

} // namespace

VersionOrder CompareVersions(std::string_view version, std::string_view reference)
{
    const auto a = Parse(version);
    const auto b = Parse(reference);
    if (!a || !b)
        return VersionOrder::Unordered;
    const auto key = [](const Version &v) { return std::tie(v.numbers, v.letters); };
    if (key(*a) < key(*b))
        return VersionOrder::Older;
    if (key(*b) < key(*a))
        return VersionOrder::Newer;
    return VersionOrder::Same;
}

bool IsVersion(std::string_view text) { return Parse(text).has_value(); }

} // namespace session
