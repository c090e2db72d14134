#pragma once

#include <functional>

class EventLogContent;
class EventLogSelection;
class QAbstractScrollArea;

// Owns what assistive technology learns of the event log: a list whose
// items (the rows) are made on demand, new and cleared rows once per turn of
// the event loop, and the selected row.
class EventLogAccessibility {
public:
    // `view` shows the content's rows, `rowHeight` pixels each, the first
    // in sight being `topIndex()`.
    EventLogAccessibility(QAbstractScrollArea &view, const EventLogContent &content, const EventLogSelection &selection,
                          int rowHeight, std::function<int()> topIndex);
    ~EventLogAccessibility();
    EventLogAccessibility(const EventLogAccessibility &) = delete;
    EventLogAccessibility &operator=(const EventLogAccessibility &) = delete;

    // The rows now shown; announced when they differ from those announced.
    void AnnounceRows(int rows);
    // The rows were replaced (a filter changed).
    void AnnounceReset(int rows);
    // The first `rows` rows are gone: the others moved up.
    void DropFirst(int rows);
    void AnnounceSelection(int row, bool focused);

    QAbstractScrollArea &View() const { return view_; }
    const EventLogContent &Content() const { return content_; }
    const EventLogSelection &Selection() const { return selection_; }
    int RowHeight() const { return rowHeight_; }
    int TopIndex() const { return topIndex_(); }

private:
    QAbstractScrollArea &view_;
    const EventLogContent &content_;
    const EventLogSelection &selection_;
    int rowHeight_;
    std::function<int()> topIndex_;
    int announced_ = 0;
};
