#include "portlist.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

std::string Lowered(const std::string &text)
{
    std::string lower = text;
    for (char &c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

} // namespace

void SortPortNames(std::vector<std::string> &names)
{
    // The collation of the user's locale (LC_COLLATE), so "COM10" sorts
    // before "COM2" as text does; stable so duplicates keep their order.
    std::vector<std::pair<std::string, std::string>> keyed;
    keyed.reserve(names.size());
    for (auto &name : names)
        keyed.emplace_back(Lowered(name), std::move(name));
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto &a, const auto &b) { return std::strcoll(a.first.c_str(), b.first.c_str()) < 0; });
    names.clear();
    for (auto &entry : keyed)
        names.push_back(std::move(entry.second));
}

bool SamePortText(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && Lowered(a) == Lowered(b);
}
