#include "eventlogtelegrams.h"

#include <algorithm>

const decoder::Telegram *EventLogTelegrams::At(int line) const
{
    const auto found = std::lower_bound(entries_.begin(), entries_.end(), line,
                                        [](const Entry &entry, int wanted) { return entry.line < wanted; });
    return found != entries_.end() && found->line == line ? &found->telegram : nullptr;
}

void EventLogTelegrams::DropFirst(int count)
{
    const auto kept = std::lower_bound(entries_.begin(), entries_.end(), count,
                                       [](const Entry &entry, int wanted) { return entry.line < wanted; });
    entries_.erase(entries_.begin(), kept);
    for (Entry &entry : entries_)
        entry.line -= count;
}

namespace {

std::string Upper(std::string_view text)
{
    std::string upper(text);
    for (char &c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return upper;
}

} // namespace

std::optional<TelegramFilter> TelegramFilter::Parse(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    std::string upper = Upper(text);
    TelegramFilter filter;
    if (upper == "FZ->LS" || upper == "FZ<-LS") {
        filter.field_ = Field::Direction;
        filter.toVehicle_ = upper == "FZ<-LS";
    } else if (upper.size() == 8) {
        filter.field_ = Field::Identifier;
        filter.value_ = std::move(upper);
    } else if (upper.size() == 1 || (upper.size() == 3 && upper.starts_with("S:"))) {
        filter.field_ = Field::Status;
        filter.value_ = upper.substr(upper.size() - 1);
    } else {
        return std::nullopt;
    }
    return filter;
}

bool TelegramFilter::Matches(const decoder::Telegram &telegram) const
{
    switch (field_) {
    case Field::Identifier: return Upper(telegram.identifier) == value_;
    case Field::Status: return Upper(std::string_view(&telegram.status, 1)) == value_;
    case Field::Direction: return telegram.toVehicle == toVehicle_;
    }
    return false;
}
