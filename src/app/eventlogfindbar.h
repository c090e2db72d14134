#pragma once

#include "eventlogtelegrams.h"

#include <QWidget>

#include <optional>

class EventLogContent;
class QLabel;
class QLineEdit;

// What the find bar needs of the log it searches.
class EventLogFindTarget {
public:
    virtual ~EventLogFindTarget() = default;
    // The selected row, -1 for none.
    virtual int ItemIndex() const = 0;
    // A search hit: select the row and bring it into view.
    virtual void ShowFound(int row) = 0;
    // The filter was edited: the rows shown follow it.
    virtual void ShowFilter(std::optional<TelegramFilter> filter) = 0;
    // The bar opened, closed, or its search text changed.
    virtual void FindBarChanged() = 0;
};

// Owns the event log's search bar below its lines: finding the next or
// previous line holding a text, and the telegram filter.
class EventLogFindBar : public QWidget {
    Q_OBJECT
public:
    EventLogFindBar(QWidget *parent, const EventLogContent &content, EventLogFindTarget &target);

    void Open();
    // No filter stays in force unseen: closing clears it.
    void Close();
    // Selects the next or previous row holding the search text; false when none does.
    bool FindNext() { return Find(1); }
    bool FindPrevious() { return Find(-1); }
    // The text the rows in view highlight: empty while the bar is closed.
    QString Needle() const;

private:
    bool Find(int step);
    void FilterEdited();

    const EventLogContent &content_;
    EventLogFindTarget &target_;
    QLineEdit *findEdit_ = nullptr;
    QLabel *status_ = nullptr;
    QLineEdit *filterEdit_ = nullptr;
};
