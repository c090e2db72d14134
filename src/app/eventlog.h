#pragma once

#include "eventlogaccessible.h"
#include "eventlogcontent.h"
#include "eventlogfindbar.h"
#include "eventlogselection.h"

#include <QAbstractScrollArea>

#include <string_view>

class QAction;

// Owns the event log's view, the list box at the bottom of the window:
// painting its rows, scrolling, following new lines, and the user's
// selection by mouse and keys. Uniform 13-pixel rows in a fixed pitch font;
// only the rows in sight are ever measured or painted, so appending costs
// the same at a million lines as at ten.
//
// Added to the designed single-selection list, all reached through its
// context menu and keys: multi-selection and copy, save, clear, arrival
// times, names, following new lines (on), the telegram export and a search
// bar (EventLogFindBar). What it shows is its EventLogContent.
class TEventLog : public QAbstractScrollArea, private EventLogFindTarget {
    Q_OBJECT
public:
    static constexpr int RowHeight = 13;

    explicit TEventLog(QWidget *parent = nullptr);
    ~TEventLog() override;

    const EventLogContent &Content() const { return content_; }
    const EventLogSelection &Selection() const { return selection_; }
    EventLogFindBar &FindBar() const { return *findBar_; }

    // Appends without touching the selection.
    void Append(std::string_view line);
    // A telegram's log line, with its fields for names, filter and the table export.
    void AppendTelegram(std::string_view line, const decoder::Telegram &telegram);
    // Forgets every line ("Leeren").
    void Clear();
    // An empty view for the bootloader's report; the lines before stay kept.
    void ClearView();

    // Selected row, -1 for none; selecting scrolls the row into view and
    // makes it the only selected row.
    int ItemIndex() const override { return selection_.Current(); }
    void SetItemIndex(int index);
    int TopIndex() const;
    // The window's "select the last line" step after a new line: skipped
    // while the user looks at older lines or following is off.
    void FollowLastLine();
    void SetFollowing(bool follow);
    // View options, also in the context menu.
    void SetTimesShown(bool shown);
    void SetNamesShown(bool shown);
    void SetDesignationLookup(EventLogContent::DesignationLookup lookup);

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    void ShowFound(int row) override;
    void ShowFilter(std::optional<TelegramFilter> filter) override;
    void FindBarChanged() override;

    void CreateActions();
    // Scroll range, scroll position and repaint follow the lines once per turn
    // of the event loop; nothing is painted in between anyway.
    void ScheduleSync();
    void Sync() const;
    void UpdateScrollBars() const;
    // The bar sits between the rows and the horizontal scroll bar.
    void LayoutFindBar();
    int VisibleRows() const;
    int RowAt(int y) const;
    void AfterAppend(int droppedRows);
    // A checkable view option of the menu: the action, the option and the view follow.
    void SetViewOption(const char *action, bool on, void (EventLogContent::*set)(bool));
    // A selection made by the user: detaches from the end unless it is the last line.
    void UserSelect(int row, Qt::KeyboardModifiers modifiers);
    void UserScrolled();
    void SelectionChanged();

    EventLogContent content_;
    EventLogSelection selection_;
    mutable EventLogAccessibility accessibility_{*this, content_, selection_, RowHeight, [this] { return TopIndex(); }};
    EventLogFindBar *findBar_ = nullptr;
    bool following_ = true;
    bool detached_ = false;   // the user looks at older lines
    mutable bool syncPending_ = false;
    mutable bool revealSelection_ = false;
    mutable int widest_ = 0;   // widest line painted so far, for the horizontal scroll range
};
