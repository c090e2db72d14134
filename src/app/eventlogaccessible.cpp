#include "eventlogaccessible.h"

#include "displaytext.h"
#include "eventlogcontent.h"
#include "eventlogselection.h"

#include <QAbstractScrollArea>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QPointer>
#include <QScrollBar>

#include <map>

namespace {

// The bridges by the view they speak for.
std::map<const QObject *, const EventLogAccessibility *> &Bridges()
{
    static std::map<const QObject *, const EventLogAccessibility *> bridges;
    return bridges;
}

const EventLogAccessibility *BridgeOf(const QObject *view)
{
    const auto found = Bridges().find(view);
    return found != Bridges().end() ? found->second : nullptr;
}

class EventLogItemAccessible : public QAccessibleInterface {
public:
    EventLogItemAccessible(QAbstractScrollArea *view, int row) : view_(view), row_(row) {}
    bool isValid() const override { return Log() && row_ < Log()->Content().RowCount(); }
    QObject *object() const override { return nullptr; }
    QWindow *window() const override { return view_ ? view_->window()->windowHandle() : nullptr; }
    QAccessibleInterface *parent() const override { return QAccessible::queryAccessibleInterface(view_.data()); }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QString text(QAccessible::Text t) const override
    {
        if (!isValid() || (t != QAccessible::Name && t != QAccessible::Value))
            return {};
        return BoundForDisplay(Log()->Content().VisibleText(Log()->Content().LineOf(row_)));
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
        s.selected = Log()->Selection().IsSelected(row_);
        s.focused = row_ == Log()->Selection().Current() && view_->hasFocus();
        const int top = Log()->TopIndex();
        const int rows = view_->viewport()->height() / Log()->RowHeight();
        s.offscreen = row_ < top || row_ > top + rows;
        s.invisible = s.offscreen || !view_->isVisible();
        return s;
    }
    QRect rect() const override
    {
        if (!isValid())
            return {};
        QWidget *rowsWidget = view_->viewport();
        const int y = (row_ - Log()->TopIndex()) * Log()->RowHeight();
        return QRect(rowsWidget->mapToGlobal(QPoint(0, y)), QSize(rowsWidget->width(), Log()->RowHeight()));
    }

private:
    const EventLogAccessibility *Log() const { return view_ ? BridgeOf(view_.data()) : nullptr; }

    QPointer<QAbstractScrollArea> view_;
    int row_;
};

class EventLogAccessible : public QAccessibleWidget {
public:
    explicit EventLogAccessible(QAbstractScrollArea *view) : QAccessibleWidget(view, QAccessible::List) {}
    ~EventLogAccessible() override
    {
        for (const auto &[row, id] : items_)
            QAccessible::deleteAccessibleInterface(id);
    }
    // Nothing once the view is being destroyed and its bridge is gone.
    int childCount() const override { return Log() ? Log()->Content().RowCount() : 0; }
    QAccessibleInterface *child(int index) const override
    {
        if (index < 0 || index >= childCount())
            return nullptr;
        // Items are made on demand and kept: a screen reader asks for the
        // few in sight, not for a million lines.
        auto found = items_.find(index);
        if (found != items_.end())
            return QAccessible::accessibleInterface(found->second);
        auto *item = new EventLogItemAccessible(View(), index);
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
        return Log() && View()->hasFocus() ? child(Log()->Selection().Current()) : nullptr;
    }
    QAccessibleInterface *childAt(int x, int y) const override
    {
        const QPoint local = View()->viewport()->mapFromGlobal(QPoint(x, y));
        if (!Log() || !View()->viewport()->rect().contains(local))
            return nullptr;
        return child(Log()->TopIndex() + local.y() / Log()->RowHeight());
    }

private:
    QAbstractScrollArea *View() const { return static_cast<QAbstractScrollArea *>(widget()); }
    const EventLogAccessibility *Log() const { return BridgeOf(widget()); }
    mutable std::map<int, QAccessible::Id> items_;
};

QAccessibleInterface *EventLogAccessibleFactory(const QString &, QObject *object)
{
    if (BridgeOf(object))
        return new EventLogAccessible(static_cast<QAbstractScrollArea *>(object));
    return nullptr;
}

} // namespace

EventLogAccessibility::EventLogAccessibility(QAbstractScrollArea &view, const EventLogContent &content,
                                             const EventLogSelection &selection, int rowHeight,
                                             std::function<int()> topIndex)
    : view_(view), content_(content), selection_(selection), rowHeight_(rowHeight), topIndex_(std::move(topIndex))
{
    Bridges()[&view_] = this;
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(&EventLogAccessibleFactory);
        return true;
    }();
    (void)factoryInstalled;
}

EventLogAccessibility::~EventLogAccessibility() { Bridges().erase(&view_); }

void EventLogAccessibility::AnnounceRows(int rows)
{
    if (rows == announced_)
        return;
    if (QAccessible::isActive()) {
        if (rows > announced_) {
            QAccessibleTableModelChangeEvent inserted(&view_, QAccessibleTableModelChangeEvent::RowsInserted);
            inserted.setFirstRow(announced_);
            inserted.setLastRow(rows - 1);
            QAccessible::updateAccessibility(&inserted);
        } else {
            QAccessibleTableModelChangeEvent reset(&view_, QAccessibleTableModelChangeEvent::ModelReset);
            QAccessible::updateAccessibility(&reset);
        }
    }
    announced_ = rows;
}

void EventLogAccessibility::AnnounceReset(int rows)
{
    if (QAccessible::isActive()) {
        QAccessibleTableModelChangeEvent reset(&view_, QAccessibleTableModelChangeEvent::ModelReset);
        QAccessible::updateAccessibility(&reset);
    }
    announced_ = rows;
}

void EventLogAccessibility::DropFirst(int rows) { announced_ = announced_ > rows ? announced_ - rows : 0; }

void EventLogAccessibility::AnnounceSelection(int row, bool focused)
{
    if (!QAccessible::isActive() || row < 0)
        return;
    QAccessibleEvent selection(&view_, QAccessible::Selection);
    selection.setChild(row);
    QAccessible::updateAccessibility(&selection);
    if (focused) {
        QAccessibleEvent focus(&view_, QAccessible::Focus);
        focus.setChild(row);
        QAccessible::updateAccessibility(&focus);
    }
}
