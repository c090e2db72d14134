#pragma once

#include <map>
#include <vector>

// The event log's selected lines: as designed, the current line alone; once
// the user picks several (Shift, Ctrl), a set of disjoint row ranges, so that
// selecting a million lines costs one entry.
class EventLogSelection {
public:
    // The current line, -1 for none.
    int Current() const { return current_; }
    // Where a Shift selection starts.
    int Anchor() const { return anchor_; }
    bool Multiple() const { return multiple_; }
    bool Empty() const { return multiple_ ? ranges_.empty() : current_ < 0; }

    // The row alone (-1: none); it is also the new anchor.
    void SelectOnly(int row);
    // Every row between the two; `to` becomes the current line, the anchor stays.
    void SelectRange(int from, int to);
    // Adds the row or takes it out; it becomes the current line and the anchor.
    void Toggle(int row);
    void Clear() { *this = EventLogSelection(); }
    // The first `count` rows are gone: the others move up; selected rows among
    // the gone ones are no longer selected.
    void DropFirst(int count);

    bool IsSelected(int row) const;
    // The selected rows below `count`, in order.
    std::vector<int> Rows(int count) const;

private:
    int current_ = -1;
    int anchor_ = -1;
    bool multiple_ = false;
    std::map<int, int> ranges_;   // first -> last, disjoint
};
