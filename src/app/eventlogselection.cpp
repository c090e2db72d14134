#include "eventlogselection.h"

#include <algorithm>
#include <iterator>

void EventLogSelection::SelectOnly(int row)
{
    current_ = row;
    anchor_ = row;
    if (multiple_) {
        ranges_.clear();
        multiple_ = false;
    }
}

void EventLogSelection::SelectRange(int from, int to)
{
    ranges_.clear();
    ranges_[std::min(from, to)] = std::max(from, to);
    multiple_ = true;
    current_ = to;
}

void EventLogSelection::Toggle(int row)
{
    if (!multiple_) {
        ranges_.clear();
        if (current_ >= 0)
            ranges_[current_] = current_;
        multiple_ = true;
    }
    if (IsSelected(row)) {
        auto it = std::prev(ranges_.upper_bound(row));
        const int first = it->first, last = it->second;
        ranges_.erase(it);
        if (first < row)
            ranges_[first] = row - 1;
        if (row < last)
            ranges_[row + 1] = last;
    } else {
        int first = row, last = row;
        auto next = ranges_.find(row + 1);
        if (next != ranges_.end()) {
            last = next->second;
            ranges_.erase(next);
        }
        auto before = ranges_.lower_bound(row);
        if (before != ranges_.begin() && std::prev(before)->second == row - 1) {
            --before;
            first = before->first;
            ranges_.erase(before);
        }
        ranges_[first] = last;
    }
    current_ = row;
    anchor_ = row;
}

bool EventLogSelection::IsSelected(int row) const
{
    if (!multiple_)
        return row >= 0 && row == current_;
    auto it = ranges_.upper_bound(row);
    if (it == ranges_.begin())
        return false;
    --it;
    return row <= it->second;
}

std::vector<int> EventLogSelection::Rows(int count) const
{
    std::vector<int> rows;
    if (!multiple_) {
        if (current_ >= 0)
            rows.push_back(current_);
        return rows;
    }
    for (const auto &[first, last] : ranges_)
        for (int row = first; row <= last && row < count; ++row)
            rows.push_back(row);
    return rows;
}

void EventLogSelection::DropFirst(int count)
{
    auto moved = [count](int row) { return row < 0 ? row : std::max(row - count, -1); };
    current_ = moved(current_);
    anchor_ = moved(anchor_);
    std::map<int, int> kept;
    for (const auto &[first, last] : ranges_)
        if (last >= count)
            kept[std::max(first - count, 0)] = last - count;
    ranges_ = std::move(kept);
}
