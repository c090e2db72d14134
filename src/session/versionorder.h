#pragma once

#include <string_view>

namespace session {

// The one order of tool and firmware versions. A version is numbers
// separated by dots, optionally followed by letters ("4.70", "4.70b",
// "1.0.2"); blanks and line breaks around it are ignored. The numbers are
// compared first, as numbers ("4.9" before "4.10"; trailing zero parts do
// not count, "1.0" equals "1.0.0"); with equal numbers, no letters come
// before letters, and letters are compared alphabetically without regard to
// case ("4.70" before "4.70a" before "4.70b"). Anything else cannot be
// ordered, and a caller treats that like a downgrade.
enum class VersionOrder { Older, Same, Newer, Unordered };

// How version compares with reference.
VersionOrder CompareVersions(std::string_view version, std::string_view reference);

// Whether the text is a version in the sense above.
bool IsVersion(std::string_view text);

// Writing `offered` over `installed` needs the user's consent: it is older,
// or the two cannot be ordered.
inline bool IsDowngrade(std::string_view offered, std::string_view installed)
{
    const VersionOrder order = CompareVersions(offered, installed);
    return order == VersionOrder::Older || order == VersionOrder::Unordered;
}

} // namespace session
