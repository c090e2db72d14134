#include "eventlog.h"

#include "displaytext.h"
#include "errorhandler.h"
#include "eventlogexport.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionFocusRect>

#include <algorithm>

namespace {

QAction *MakeAction(QObject *parent, const char *name, const char *caption, const QKeySequence &keys = {})
{
    auto *action = new QAction(QString::fromUtf8(caption), parent);
    action->setObjectName(QString::fromLatin1(name));
    action->setShortcut(keys);
    // The keys are handled by the log itself; the menu only names them.
    action->setShortcutContext(Qt::WidgetShortcut);
    action->setShortcutVisibleInContextMenu(true);
    return action;
}

} // namespace

TEventLog::TEventLog(QWidget *parent) : QAbstractScrollArea(parent)
{
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setFocusPolicy(Qt::StrongFocus);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    verticalScrollBar()->setSingleStep(1);
    // Fixed pitch, so the columns of the bootloader's report line up.
    QFont mono(QStringLiteral("Liberation Mono"));
    mono.setStyleHint(QFont::TypeWriter);
    mono.setFixedPitch(true);
    mono.setPixelSize(11);
    setFont(mono);
    // Wheel, bar and keys all move the bar through its actions.
    connect(verticalScrollBar(), &QScrollBar::actionTriggered, this,
            [this] { QMetaObject::invokeMethod(this, [this] { UserScrolled(); }, Qt::QueuedConnection); });
    // The bar may come and go with the range, which moves the rows' lower edge.
    connect(horizontalScrollBar(), &QScrollBar::rangeChanged, this, [this] { LayoutFindBar(); });
    findBar_ = new EventLogFindBar(this, content_, *this);
    CreateActions();
}

TEventLog::~TEventLog() = default;

void TEventLog::CreateActions()
{
    auto guarded = [this](QAction *action, auto function) {
        connect(action, &QAction::triggered, this, [this, function] { Guarded([&] { function(); }); });
        addAction(action);
    };
    guarded(MakeAction(this, "LogCopy", "Kopieren", QKeySequence::Copy),
            [this] { CopyEventLogRows(content_, selection_.Rows(content_.RowCount())); });
    guarded(MakeAction(this, "LogCopyAll", "Alles kopieren"), [this] { CopyWholeEventLog(content_); });
    guarded(MakeAction(this, "LogSelectAll", "Alles auswählen", QKeySequence::SelectAll), [this] {
        if (content_.RowCount() > 0) {
            selection_.SelectRange(0, content_.RowCount() - 1);
            SelectionChanged();
            detached_ = true;   // a new line would otherwise replace the selection
        }
    });
    guarded(MakeAction(this, "LogSave", "Speichern unter...", QKeySequence::Save),
            [this] { SaveEventLogWithDialog(content_, this); });
    guarded(MakeAction(this, "LogClear", "Leeren"), [this] { Clear(); });
    auto checkable = [this](const char *name, const char *caption, bool on, void (TEventLog::*set)(bool)) {
        QAction *action = MakeAction(this, name, caption);
        action->setCheckable(true);
        action->setChecked(on);
        connect(action, &QAction::toggled, this, set);
        addAction(action);
    };
    checkable("LogShowTimes", "Zeiten anzeigen", false, &TEventLog::SetTimesShown);
    checkable("LogShowNames", "Namen anzeigen", false, &TEventLog::SetNamesShown);
    guarded(MakeAction(this, "LogExportTelegrams", "Telegramme exportieren (CSV)..."),
            [this] { ExportEventLogTelegramsWithDialog(content_, this); });
    checkable("LogFollow", "Neuen Zeilen folgen", true, &TEventLog::SetFollowing);
    guarded(MakeAction(this, "LogFind", "Suchen...", QKeySequence::Find), [this] { findBar_->Open(); });
}

// ---- Lines in and out

void TEventLog::Append(std::string_view line) { AfterAppend(content_.Append(line)); }

void TEventLog::AppendTelegram(std::string_view line, const decoder::Telegram &telegram)
{
    AfterAppend(content_.AppendTelegram(line, telegram));
}

void TEventLog::AfterAppend(int droppedRows)
{
    if (droppedRows > 0) {
        selection_.DropFirst(droppedRows);
        accessibility_.DropFirst(droppedRows);
        if (detached_)
            verticalScrollBar()->setValue(std::max(verticalScrollBar()->value() - droppedRows, 0));
    }
    ScheduleSync();
}

void TEventLog::Clear()
{
    content_.Clear();
    selection_.Clear();
    detached_ = false;
    widest_ = 0;
    ScheduleSync();
}

void TEventLog::ClearView()
{
    content_.ClearView();
    selection_.Clear();
    detached_ = false;
    widest_ = 0;
    ScheduleSync();
}

void TEventLog::SetViewOption(const char *name, bool on, void (EventLogContent::*set)(bool))
{
    auto *action = findChild<QAction *>(QString::fromLatin1(name));
    if (action->isChecked() != on)
        action->setChecked(on);   // comes back here through the signal
    (content_.*set)(on);
    widest_ = 0;
    ScheduleSync();
}

void TEventLog::SetTimesShown(bool shown) { SetViewOption("LogShowTimes", shown, &EventLogContent::SetTimesShown); }

void TEventLog::SetNamesShown(bool shown) { SetViewOption("LogShowNames", shown, &EventLogContent::SetNamesShown); }

void TEventLog::SetDesignationLookup(EventLogContent::DesignationLookup lookup)
{
    content_.SetDesignationLookup(std::move(lookup));
    widest_ = 0;
    ScheduleSync();
}

void TEventLog::SetFollowing(bool follow)
{
    auto *action = findChild<QAction *>(QStringLiteral("LogFollow"));
    if (action->isChecked() != follow)
        action->setChecked(follow);
    if (following_ == follow)
        return;
    following_ = follow;
    if (following_) {
        detached_ = false;
        SetItemIndex(content_.RowCount() - 1);
    }
}

// ---- Scrolling and painting

int TEventLog::TopIndex() const
{
    Sync();
    return verticalScrollBar()->value();
}

int TEventLog::VisibleRows() const { return viewport()->height() / RowHeight; }

int TEventLog::RowAt(int y) const { return TopIndex() + y / RowHeight; }

void TEventLog::ScheduleSync()
{
    if (syncPending_)
        return;
    syncPending_ = true;
    QMetaObject::invokeMethod(this, [this] { Sync(); }, Qt::QueuedConnection);
}

void TEventLog::Sync() const
{
    if (!syncPending_)
        return;
    syncPending_ = false;
    UpdateScrollBars();
    accessibility_.AnnounceRows(content_.RowCount());
    if (revealSelection_ && ItemIndex() >= 0) {
        QScrollBar *bar = verticalScrollBar();
        const int rows = std::max(1, VisibleRows());
        if (ItemIndex() < bar->value())
            bar->setValue(ItemIndex());
        else if (ItemIndex() >= bar->value() + rows)
            bar->setValue(ItemIndex() - rows + 1);
    }
    revealSelection_ = false;
    viewport()->update();
}

void TEventLog::UpdateScrollBars() const
{
    const int rows = std::max(1, VisibleRows());
    verticalScrollBar()->setPageStep(rows);
    verticalScrollBar()->setRange(0, std::max(0, content_.RowCount() - rows));
    horizontalScrollBar()->setPageStep(viewport()->width());
    horizontalScrollBar()->setRange(0, std::max(0, widest_ - viewport()->width()));
}

void TEventLog::LayoutFindBar()
{
    const int height = findBar_->isHidden() ? 0 : findBar_->sizeHint().height();
    if (viewportMargins().bottom() != height)
        setViewportMargins(0, 0, 0, height);
    if (height > 0) {
        // The margin lies between the rows and the horizontal scroll bar, when
        // there is one; the vertical bar stays whole beside it.
        const QRect rows = viewport()->geometry();
        findBar_->setGeometry(rows.left(), rows.bottom() + 1, rows.width(), height);
    }
}

void TEventLog::paintEvent(QPaintEvent *)
{
    Sync();
    QPainter painter(viewport());
    const int top = verticalScrollBar()->value();
    const int last = std::min(content_.RowCount(), top + VisibleRows() + 1);
    const int dx = horizontalScrollBar()->value();
    const int width = viewport()->width();
    const QFontMetrics metrics(font());
    const QString needle = findBar_->Needle();
    bool widened = false;
    for (int row = top; row < last; ++row) {
        const QRect rect(0, (row - top) * RowHeight, width, RowHeight);
        const int line = content_.LineOf(row);
        // Whatever the line's length, a row lays out a bounded text.
        const QString text = BoundForDisplay(content_.VisibleText(line));
        const bool selected = selection_.IsSelected(row);
        if (selected) {
            painter.fillRect(rect, palette().brush(QPalette::Highlight));
            painter.setPen(palette().color(QPalette::HighlightedText));
        } else {
            painter.setPen(palette().color(QPalette::Text));
        }
        if (!needle.isEmpty()) {
            const int skip = content_.TimePrefixLength(line);
            for (qsizetype at = text.indexOf(needle, skip, Qt::CaseInsensitive); at >= 0;
                 at = text.indexOf(needle, at + needle.size(), Qt::CaseInsensitive)) {
                const int x = 2 - dx + metrics.horizontalAdvance(text.left(at));
                const QRect hit(x, rect.top(), metrics.horizontalAdvance(text.mid(at, needle.size())), RowHeight);
                painter.fillRect(hit, selected ? QColor(255, 200, 0) : QColor(255, 235, 120));
            }
            if (selected)
                painter.setPen(palette().color(QPalette::HighlightedText));
        }
        const int textWidth = metrics.horizontalAdvance(text) + 4;
        if (textWidth > widest_) {
            widest_ = textWidth;
            widened = true;
        }
        painter.drawText(rect.adjusted(2 - dx, 0, textWidth, 0), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
    }
    if (hasFocus()) {
        // The focus frame sits on the current line, as in any list.
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.rect = ItemIndex() >= top && ItemIndex() < last
                          ? QRect(0, (ItemIndex() - top) * RowHeight, width, RowHeight)
                          : viewport()->rect().adjusted(0, 0, -1, -1);
        option.backgroundColor = palette().color(selection_.IsSelected(ItemIndex()) ? QPalette::Highlight : QPalette::Base);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
    }
    if (widened)
        UpdateScrollBars();
}

void TEventLog::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    LayoutFindBar();
    // A larger view may show the end again.
    revealSelection_ = revealSelection_ || (!detached_ && ItemIndex() >= 0);
    syncPending_ = true;
    Sync();
}

bool TEventLog::event(QEvent *event)
{
    // The focus frame comes and goes with the focus.
    if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut)
        viewport()->update();
    return QAbstractScrollArea::event(event);
}

void TEventLog::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("LogMenu"));
    menu.setFont(QApplication::font());
    const QList<QAction *> all = actions();
    for (QAction *action : all) {
        menu.addAction(action);
        const QString name = action->objectName();
        if (name == QLatin1String("LogSelectAll") || name == QLatin1String("LogClear") || name == QLatin1String("LogFollow"))
            menu.addSeparator();
    }
    QAction *copy = findChild<QAction *>(QStringLiteral("LogCopy"));
    copy->setEnabled(!selection_.Empty());
    menu.exec(event->globalPos());
    copy->setEnabled(true);   // Ctrl+C goes through the same action
}

// ---- The find bar's requests

void TEventLog::ShowFound(int row)
{
    SetItemIndex(row);
    detached_ = row != content_.RowCount() - 1;
}

void TEventLog::ShowFilter(std::optional<TelegramFilter> filter)
{
    const int current = ItemIndex() >= 0 ? content_.LineOf(ItemIndex()) : -1;
    content_.SetFilter(std::move(filter));
    // The selected line stays selected where it is still shown.
    const int row = following_ && !detached_ ? content_.RowCount() - 1 : content_.RowOf(current);
    accessibility_.AnnounceReset(content_.RowCount());
    widest_ = 0;
    SetItemIndex(row);
}

void TEventLog::FindBarChanged()
{
    LayoutFindBar();
    if (findBar_->isHidden())
        setFocus();
    ScheduleSync();
}

// ---- Selection by the user and by the window

void TEventLog::SetItemIndex(int index)
{
    selection_.SelectOnly(index >= 0 && index < content_.RowCount() ? index : -1);
    revealSelection_ = ItemIndex() >= 0;
    SelectionChanged();
}

void TEventLog::FollowLastLine()
{
    if (following_ && !detached_)
        SetItemIndex(content_.RowCount() - 1);
}

void TEventLog::SelectionChanged()
{
    accessibility_.AnnounceSelection(ItemIndex(), hasFocus());
    ScheduleSync();
}

void TEventLog::UserSelect(int row, Qt::KeyboardModifiers modifiers)
{
    if (row < 0 || row >= content_.RowCount())
        return;
    if ((modifiers & Qt::ShiftModifier) && selection_.Anchor() >= 0) {
        selection_.SelectRange(selection_.Anchor(), row);
        SelectionChanged();
        revealSelection_ = true;
    } else if (modifiers & Qt::ControlModifier) {
        selection_.Toggle(row);
        SelectionChanged();
    } else {
        SetItemIndex(row);
    }
    // Choosing an older line, or several, stops new lines from moving the
    // view and the selection; choosing the last line alone follows again.
    detached_ = selection_.Multiple() || ItemIndex() != content_.RowCount() - 1;
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
    const int row = RowAt(static_cast<int>(event->position().y()));
    if (event->button() == Qt::RightButton && selection_.IsSelected(row))
        return;   // keep a multi-selection for the context menu
    if (row < content_.RowCount())
        UserSelect(row, event->modifiers());
}

void TEventLog::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton) || selection_.Anchor() < 0)
        return;
    const int row = std::clamp(RowAt(static_cast<int>(event->position().y())), 0, content_.RowCount() - 1);
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
        findBar_->FindNext();
        return;
    }
    if (event->matches(QKeySequence::FindPrevious)) {
        findBar_->FindPrevious();
        return;
    }
    if (event->key() == Qt::Key_Escape && !findBar_->isHidden()) {
        findBar_->Close();
        return;
    }
    const int rows = std::max(1, VisibleRows());
    int target = ItemIndex();
    switch (event->key()) {
    case Qt::Key_Up: target = std::max(0, ItemIndex() - 1); break;
    case Qt::Key_Down: target = ItemIndex() + 1; break;
    case Qt::Key_PageUp: target = std::max(0, ItemIndex() - rows); break;
    case Qt::Key_PageDown: target = std::min(content_.RowCount() - 1, ItemIndex() + rows); break;
    case Qt::Key_Home: target = 0; break;
    case Qt::Key_End: target = content_.RowCount() - 1; break;
    default: QAbstractScrollArea::keyPressEvent(event); return;
    }
    if (target >= 0 && target < content_.RowCount()) {
        UserSelect(target, event->modifiers() & Qt::ShiftModifier);
        revealSelection_ = true;
        ScheduleSync();
    }
}
