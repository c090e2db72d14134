#include "eventlogaccessible.h"

#include "eventlog.h"

#include "displaytext.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPointer>
#include <QScrollBar>

#include <map>

namespace {

class EventLogItemAccessible : public QAccessibleInterface {
public:
    EventLogItemAccessible(TEventLog *log, int row) : log_(log), row_(row) {}
    bool isValid() const override { return log_ && row_ < log_->Content().RowCount(); }
    QObject *object() const override { return nullptr; }
    QWindow *window() const override { return log_ ? log_->window()->windowHandle() : nullptr; }
    QAccessibleInterface *parent() const override { return QAccessible::queryAccessibleInterface(log_.data()); }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QString text(QAccessible::Text t) const override
    {
        if (!isValid() || (t != QAccessible::Name && t != QAccessible::Value))
            return {};
        return BoundForDisplay(log_->Content().VisibleText(log_->Content().LineOf(row_)));
    }
    void setText(QAccessible::Text, const QString &) override {}
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    QAccessible::State state() const override
    {
        QAccessible::State s;
        if (!isValid())
            return s;
        s.selectable = true;
        s.focusable = true;
        s.readOnly = true;
        s.selected = log_->Selection().IsSelected(row_);
        s.focused = row_ == log_->ItemIndex() && log_->hasFocus();
        const int top = log_->TopIndex();
        const int rows = log_->viewport()->height() / TEventLog::RowHeight;
        s.offscreen = row_ < top || row_ > top + rows;
        s.invisible = s.offscreen || !log_->isVisible();
        return s;
    }
    QRect rect() const override
    {
        if (!isValid())
            return {};
        QWidget *view = log_->viewport();
        const int y = (row_ - log_->TopIndex()) * TEventLog::RowHeight;
        return QRect(view->mapToGlobal(QPoint(0, y)), QSize(view->width(), TEventLog::RowHeight));
    }

private:
    QPointer<TEventLog> log_;
    int row_;
};

class EventLogAccessible : public QAccessibleWidget {
public:
    explicit EventLogAccessible(TEventLog *log) : QAccessibleWidget(log, QAccessible::List) {}
    ~EventLogAccessible() override
    {
        for (const auto &[row, id] : items_)
            QAccessible::deleteAccessibleInterface(id);
    }
    int childCount() const override { return Log()->Content().RowCount(); }
    QAccessibleInterface *child(int index) const override
    {
        if (index < 0 || index >= Log()->Content().RowCount())
            return nullptr;
        // Items are made on demand and kept: a screen reader asks for the
        // few in sight, not for a million lines.
        auto found = items_.find(index);
        if (found != items_.end())
            return QAccessible::accessibleInterface(found->second);
        auto *item = new EventLogItemAccessible(Log(), index);
        items_[index] = QAccessible::registerAccessibleInterface(item);
        return item;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        for (const auto &[row, id] : items_)
            if (QAccessible::accessibleInterface(id) == child)
                return row;
        return -1;
    }
    QAccessibleInterface *focusChild() const override
    {
        return Log()->hasFocus() ? child(Log()->ItemIndex()) : nullptr;
    }
    QAccessibleInterface *childAt(int x, int y) const override
    {
        const QPoint local = Log()->viewport()->mapFromGlobal(QPoint(x, y));
        if (!Log()->viewport()->rect().contains(local))
            return nullptr;
        return child(Log()->TopIndex() + local.y() / TEventLog::RowHeight);
    }

private:
    TEventLog *Log() const { return static_cast<TEventLog *>(widget()); }
    mutable std::map<int, QAccessible::Id> items_;
};

QAccessibleInterface *EventLogAccessibleFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("TEventLog") && object && object->isWidgetType())
        return new EventLogAccessible(static_cast<TEventLog *>(object));
    return nullptr;
}

} // namespace

EventLogAccessibility::EventLogAccessibility(TEventLog &log) : log_(log)
{
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(&EventLogAccessibleFactory);
        return true;
    }();
    (void)factoryInstalled;
}

void EventLogAccessibility::AnnounceRows(int rows)
{
    if (rows == announced_)
        return;
    if (QAccessible::isActive()) {
        if (rows > announced_) {
            QAccessibleTableModelChangeEvent inserted(&log_, QAccessibleTableModelChangeEvent::RowsInserted);
            inserted.setFirstRow(announced_);
            inserted.setLastRow(rows - 1);
            QAccessible::updateAccessibility(&inserted);
        } else {
            QAccessibleTableModelChangeEvent reset(&log_, QAccessibleTableModelChangeEvent::ModelReset);
            QAccessible::updateAccessibility(&reset);
        }
    }
    announced_ = rows;
}

void EventLogAccessibility::AnnounceReset(int rows)
{
    if (QAccessible::isActive()) {
        QAccessibleTableModelChangeEvent reset(&log_, QAccessibleTableModelChangeEvent::ModelReset);
        QAccessible::updateAccessibility(&reset);
    }
    announced_ = rows;
}

void EventLogAccessibility::DropFirst(int rows) { announced_ = announced_ > rows ? announced_ - rows : 0; }

void EventLogAccessibility::AnnounceSelection(int row, bool focused)
{
    if (!QAccessible::isActive() || row < 0)
        return;
    QAccessibleEvent selection(&log_, QAccessible::Selection);
    selection.setChild(row);
    QAccessible::updateAccessibility(&selection);
    if (focused) {
        QAccessibleEvent focus(&log_, QAccessible::Focus);
        focus.setChild(row);
        QAccessible::updateAccessibility(&focus);
    }
}
