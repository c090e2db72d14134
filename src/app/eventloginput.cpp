// How the user picks lines in the event log (mouse, keys, wheel), and the
// window's step that follows new lines.
#include "eventlog.h"

#include <QAction>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>

#include <algorithm>

void TEventLog::SetItemIndex(int index)
{
    selection_.SelectOnly(index >= 0 && index < RowCount() ? index : -1);
    revealSelection_ = ItemIndex() >= 0;
    SelectionChanged();
}

void TEventLog::FollowLastLine()
{
    if (following_ && !detached_)
        SetItemIndex(RowCount() - 1);
}

void TEventLog::SelectRange(int from, int to)
{
    selection_.SelectRange(from, to);
    SelectionChanged();
}

void TEventLog::UserSelect(int row, Qt::KeyboardModifiers modifiers)
{
    if (row < 0 || row >= RowCount())
        return;
    if ((modifiers & Qt::ShiftModifier) && selection_.Anchor() >= 0) {
        SelectRange(selection_.Anchor(), row);
        revealSelection_ = true;
    } else if (modifiers & Qt::ControlModifier) {
        selection_.Toggle(row);
        SelectionChanged();
    } else {
        SetItemIndex(row);
    }
    // Choosing an older line, or several, stops new lines from moving the
    // view and the selection; choosing the last line alone follows again.
    detached_ = selection_.Multiple() || ItemIndex() != RowCount() - 1;
}

void TEventLog::UserScrolled()
{
    Sync();
    const QScrollBar *bar = verticalScrollBar();
    // Scrolled away from the end: new lines no longer move the view; back at the end they do again.
    detached_ = bar->value() < bar->maximum();
}

void TEventLog::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::RightButton && IsSelected(RowAt(static_cast<int>(event->position().y()))))
        return;   // keep a multi-selection for the context menu
    const int row = RowAt(static_cast<int>(event->position().y()));
    if (row < RowCount())
        UserSelect(row, event->modifiers());
}

void TEventLog::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton) || selection_.Anchor() < 0)
        return;
    const int row = std::clamp(RowAt(static_cast<int>(event->position().y())), 0, RowCount() - 1);
    UserSelect(row, Qt::ShiftModifier);
}

void TEventLog::keyPressEvent(QKeyEvent *event)
{
    struct Binding {
        QKeySequence::StandardKey key;
        const char *action;
    };
    for (const Binding &binding : {Binding{QKeySequence::Copy, "LogCopy"}, Binding{QKeySequence::SelectAll, "LogSelectAll"},
                                   Binding{QKeySequence::Save, "LogSave"}, Binding{QKeySequence::Find, "LogFind"}}) {
        if (event->matches(binding.key)) {
            findChild<QAction *>(QString::fromLatin1(binding.action))->trigger();
            return;
        }
    }
    if (event->matches(QKeySequence::FindNext)) {
        FindNext();
        return;
    }
    if (event->matches(QKeySequence::FindPrevious)) {
        FindPrevious();
        return;
    }
    if (event->key() == Qt::Key_Escape && !findBar_->isHidden()) {
        CloseFindBar();
        return;
    }
    const int rows = std::max(1, VisibleRows());
    int target = ItemIndex();
    switch (event->key()) {
    case Qt::Key_Up: target = std::max(0, ItemIndex() - 1); break;
    case Qt::Key_Down: target = ItemIndex() + 1; break;
    case Qt::Key_PageUp: target = std::max(0, ItemIndex() - rows); break;
    case Qt::Key_PageDown: target = std::min(RowCount() - 1, ItemIndex() + rows); break;
    case Qt::Key_Home: target = 0; break;
    case Qt::Key_End: target = RowCount() - 1; break;
    default: QAbstractScrollArea::keyPressEvent(event); return;
    }
    if (target >= 0 && target < RowCount()) {
        UserSelect(target, event->modifiers() & Qt::ShiftModifier);
        revealSelection_ = true;
        ScheduleSync();
    }
}

void TEventLog::wheelEvent(QWheelEvent *event)
{
    QAbstractScrollArea::wheelEvent(event);
    UserScrolled();
}
