#include "eventlog.h"

#include "displaytext.h"
#include "errorbox.h"
#include "errorhandler.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionFocusRect>

#include <algorithm>

QString WithControlPictures(QString text)
{
    for (QChar &c : text) {
        if (c.unicode() < 0x20)
            c = QChar(0x2400 + c.unicode());
        else if (c.unicode() == 0x7F)
            c = QChar(0x2421);
    }
    return text;
}

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

// ---- The view

TEventLog::TEventLog(QWidget *parent) : QAbstractScrollArea(parent)
{
    InstallAccessibility();

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
    connect(verticalScrollBar(), &QScrollBar::actionTriggered, this,
            [this] { QMetaObject::invokeMethod(this, [this] { UserScrolled(); }, Qt::QueuedConnection); });
    CreateActions();
    CreateFindBar();
}

TEventLog::~TEventLog() = default;

void TEventLog::CreateActions()
{
    auto guarded = [this](QAction *action, auto method) {
        connect(action, &QAction::triggered, this, [this, method] { Guarded([&] { (this->*method)(); }); });
        addAction(action);
    };
    guarded(MakeAction(this, "LogCopy", "Kopieren", QKeySequence::Copy), &TEventLog::CopySelection);
    guarded(MakeAction(this, "LogCopyAll", "Alles kopieren"), &TEventLog::CopyAll);
    auto *selectAll = MakeAction(this, "LogSelectAll", "Alles auswählen", QKeySequence::SelectAll);
    connect(selectAll, &QAction::triggered, this, [this] {
        if (RowCount() > 0) {
            SelectRange(0, RowCount() - 1);
            detached_ = true;   // a new line would otherwise replace the selection
        }
    });
    addAction(selectAll);
    guarded(MakeAction(this, "LogSave", "Speichern unter...", QKeySequence::Save), &TEventLog::SaveWithDialog);
    guarded(MakeAction(this, "LogClear", "Leeren"), &TEventLog::Clear);
    showTimes_ = MakeAction(this, "LogShowTimes", "Zeiten anzeigen");
    showTimes_->setCheckable(true);
    connect(showTimes_, &QAction::toggled, this, &TEventLog::SetTimesShown);
    addAction(showTimes_);
    showNames_ = MakeAction(this, "LogShowNames", "Namen anzeigen");
    showNames_->setCheckable(true);
    connect(showNames_, &QAction::toggled, this, &TEventLog::SetNamesShown);
    addAction(showNames_);
    guarded(MakeAction(this, "LogExportTelegrams", "Telegramme exportieren (CSV)..."),
            &TEventLog::ExportTelegramsWithDialog);
    follow_ = MakeAction(this, "LogFollow", "Neuen Zeilen folgen");
    follow_->setCheckable(true);
    follow_->setChecked(true);
    connect(follow_, &QAction::toggled, this, &TEventLog::SetFollowing);
    addAction(follow_);
    guarded(MakeAction(this, "LogFind", "Suchen...", QKeySequence::Find), &TEventLog::OpenFindBar);
}

QString TEventLog::Text(int index) const
{
    return AnsiToQString(std::string(lines_.Line(index)));
}

// Local time of a line, for the view, copies and saved files. Lines come in
// bursts, so the local date and time are worked out once per second: saving
// a million lines would otherwise spend seconds in time zone rules.
QString TEventLog::FormatTime(int64_t msecs) const
{
    const int64_t second = msecs >= 0 ? msecs / 1000 : (msecs - 999) / 1000;
    if (second != cachedSecond_) {
        cachedSecond_ = second;
        cachedSecondText_ =
            QDateTime::fromMSecsSinceEpoch(second * 1000).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    }
    return cachedSecondText_ + QStringLiteral(".%1").arg(msecs - second * 1000, 3, 10, QLatin1Char('0'));
}

QString TEventLog::TimePrefix(int index) const
{
    return timesShown_ ? FormatTime(lines_.Time(index)) + QStringLiteral("  ") : QString();
}

QString TEventLog::LineText(int index, bool withTime) const
{
    const QString time = withTime ? FormatTime(lines_.Time(index)) + QStringLiteral("  ") : QString();
    return time + WithControlPictures(Text(index)) + DesignationSuffix(index);
}

QString TEventLog::VisibleText(int index) const
{
    return LineText(index, timesShown_);
}

void TEventLog::Append(std::string_view line) { StoreLine(line); }

int TEventLog::StoreLine(std::string_view line)
{
    if (const int dropped = lines_.Append(line); dropped > 0) {
        telegrams_.DropFirst(dropped);
        int droppedRows = dropped;
        if (filter_) {
            const auto kept = std::lower_bound(shown_.begin(), shown_.end(), dropped);
            droppedRows = static_cast<int>(kept - shown_.begin());
            shown_.erase(shown_.begin(), kept);
            for (int &shown : shown_)
                shown -= dropped;
        }
        selection_.DropFirst(droppedRows);
        announcedRows_ = std::max(announcedRows_ - droppedRows, 0);
        if (detached_)
            verticalScrollBar()->setValue(std::max(verticalScrollBar()->value() - droppedRows, 0));
        // The notice goes after the line that made room, which then sits one before the end.
        lines_.Append("Protokoll: die ältesten " + std::to_string(dropped) + " Zeilen verworfen (es behält die neuesten " +
                      std::to_string(EventLogLines::KeptLines) + " Zeilen)");
        ScheduleSync();
        return Count() - 2;
    }
    ScheduleSync();
    return Count() - 1;
}

void TEventLog::Clear()
{
    lines_.Clear();
    telegrams_.Clear();
    shown_.clear();
    selection_.Clear();
    detached_ = false;
    widest_ = 0;
    ScheduleSync();
}

void TEventLog::SetViewOption(QAction *action, bool &option, bool on)
{
    if (action->isChecked() != on)
        action->setChecked(on);   // comes back here through the signal
    option = on;
    widest_ = 0;
    ScheduleSync();
}

void TEventLog::SetTimesShown(bool shown) { SetViewOption(showTimes_, timesShown_, shown); }

void TEventLog::SetFollowing(bool follow)
{
    if (follow_->isChecked() != follow)
        follow_->setChecked(follow);
    if (following_ == follow)
        return;
    following_ = follow;
    if (following_) {
        detached_ = false;
        SetItemIndex(RowCount() - 1);
    }
}

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
    AnnounceRows();
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
    verticalScrollBar()->setRange(0, std::max(0, RowCount() - rows));
    horizontalScrollBar()->setPageStep(viewport()->width());
    horizontalScrollBar()->setRange(0, std::max(0, widest_ - viewport()->width()));
}

void TEventLog::paintEvent(QPaintEvent *)
{
    Sync();
    QPainter painter(viewport());
    const int top = verticalScrollBar()->value();
    const int last = std::min(RowCount(), top + VisibleRows() + 1);
    const int dx = horizontalScrollBar()->value();
    const int width = viewport()->width();
    const QFontMetrics metrics(font());
    const QString needle = findBar_->isHidden() ? QString() : findEdit_->text();
    bool widened = false;
    for (int row = top; row < last; ++row) {
        const QRect rect(0, (row - top) * RowHeight, width, RowHeight);
        // Whatever the line's length, a row lays out a bounded text.
        const QString text = BoundForDisplay(VisibleText(LineOf(row)));
        const bool selected = IsSelected(row);
        if (selected) {
            painter.fillRect(rect, palette().brush(QPalette::Highlight));
            painter.setPen(palette().color(QPalette::HighlightedText));
        } else {
            painter.setPen(palette().color(QPalette::Text));
        }
        if (!needle.isEmpty()) {
            const int skip = timesShown_ ? static_cast<int>(TimePrefix(LineOf(row)).size()) : 0;
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
        option.backgroundColor = palette().color(IsSelected(ItemIndex()) ? QPalette::Highlight : QPalette::Base);
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

void TEventLog::focusInEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void TEventLog::focusOutEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}
