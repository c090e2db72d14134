#include "eventlog.h"

#include "displaytext.h"
#include "errorbox.h"
#include "errorhandler.h"
#include "fileio.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QScrollBar>
#include <QStyleOptionFocusRect>
#include <QToolButton>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>

// ---- Line storage

void TEventLogLines::Append(std::string_view line)
{
    using namespace std::chrono;
    Append(line, duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

void TEventLogLines::Append(std::string_view line, int64_t msecsSinceEpoch)
{
    const size_t length = line.size();
    const bool timeFits = !blocks_.empty() && msecsSinceEpoch >= blocks_.back().baseMsecs &&
                          msecsSinceEpoch - blocks_.back().baseMsecs <= std::numeric_limits<uint32_t>::max();
    if (blocks_.empty() || used_ + length > blocks_.back().size || !timeFits) {
        // A line larger than a block gets a block of its own size.
        const size_t size = std::max(BlockSize, length);
        blocks_.push_back({std::make_unique_for_overwrite<char[]>(size), size, msecsSinceEpoch});
        used_ = 0;
    }
    Block &block = blocks_.back();
    std::memcpy(block.bytes.get() + used_, line.data(), length);
    refs_.push_back({static_cast<uint32_t>(blocks_.size() - 1), static_cast<uint32_t>(used_),
                     static_cast<uint32_t>(length), static_cast<uint32_t>(msecsSinceEpoch - block.baseMsecs)});
    used_ += length;
}

void TEventLogLines::Clear()
{
    refs_.clear();
    refs_.shrink_to_fit();
    blocks_.clear();
    blocks_.shrink_to_fit();
    used_ = 0;
}

std::string_view TEventLogLines::Line(int index) const
{
    const Ref &ref = refs_.at(static_cast<size_t>(index));
    return {blocks_[ref.block].bytes.get() + ref.offset, ref.length};
}

int64_t TEventLogLines::Time(int index) const
{
    const Ref &ref = refs_.at(static_cast<size_t>(index));
    return blocks_[ref.block].baseMsecs + ref.msecs;
}

size_t TEventLogLines::BytesReserved() const
{
    size_t bytes = refs_.capacity() * sizeof(Ref) + blocks_.capacity() * sizeof(Block);
    for (const Block &block : blocks_)
        bytes += block.size;
    return bytes;
}

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

// ---- Accessibility: a list whose items are the lines

namespace {

class EventLogItemAccessible : public QAccessibleInterface {
public:
    EventLogItemAccessible(TEventLog *log, int row) : log_(log), row_(row) {}
    bool isValid() const override { return log_ && row_ < log_->Count(); }
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
        return BoundForDisplay(log_->VisibleText(row_));
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
        s.selected = log_->IsSelected(row_);
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
    int childCount() const override { return Log()->Count(); }
    QAccessibleInterface *child(int index) const override
    {
        if (index < 0 || index >= Log()->Count())
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

// Local time of a line, for the view, copies and saved files. Lines come in
// bursts, so the local date and time are worked out once per second: saving
// a million lines would otherwise spend seconds in time zone rules.
QString FormatTime(int64_t msecs)
{
    static int64_t cachedSecond = std::numeric_limits<int64_t>::min();
    static QString cachedText;
    const int64_t second = msecs >= 0 ? msecs / 1000 : (msecs - 999) / 1000;
    if (second != cachedSecond) {
        cachedSecond = second;
        cachedText = QDateTime::fromMSecsSinceEpoch(second * 1000).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    }
    return cachedText + QStringLiteral(".%1").arg(msecs - second * 1000, 3, 10, QLatin1Char('0'));
}

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
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(&EventLogAccessibleFactory);
        return true;
    }();
    (void)factoryInstalled;

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
        if (Count() > 0) {
            SelectRange(0, Count() - 1);
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
    follow_ = MakeAction(this, "LogFollow", "Neuen Zeilen folgen");
    follow_->setCheckable(true);
    follow_->setChecked(true);
    connect(follow_, &QAction::toggled, this, &TEventLog::SetFollowing);
    addAction(follow_);
    guarded(MakeAction(this, "LogFind", "Suchen...", QKeySequence::Find), &TEventLog::OpenFindBar);
}

void TEventLog::CreateFindBar()
{
    findBar_ = new QWidget(this);
    findBar_->setObjectName(QStringLiteral("LogFindBar"));
    findBar_->setAutoFillBackground(true);
    findBar_->setFont(QApplication::font());
    auto *layout = new QHBoxLayout(findBar_);
    layout->setContentsMargins(2, 1, 2, 1);
    layout->setSpacing(2);
    layout->addWidget(new QLabel(QStringLiteral("Suchen:"), findBar_));
    findEdit_ = new QLineEdit(findBar_);
    findEdit_->setObjectName(QStringLiteral("LogFindEdit"));
    layout->addWidget(findEdit_, 1);
    auto button = [this, layout](const char *name, Qt::ArrowType arrow, const char *tip) {
        auto *b = new QToolButton(findBar_);
        b->setObjectName(QString::fromLatin1(name));
        b->setArrowType(arrow);
        b->setToolTip(QString::fromUtf8(tip));
        b->setAccessibleName(QString::fromUtf8(tip));
        b->setAutoRaise(true);
        layout->addWidget(b);
        return b;
    };
    connect(button("LogFindPrevious", Qt::UpArrow, "Vorheriger Treffer"), &QToolButton::clicked, this,
            [this] { FindPrevious(); });
    connect(button("LogFindNext", Qt::DownArrow, "Nächster Treffer"), &QToolButton::clicked, this,
            [this] { FindNext(); });
    findStatus_ = new QLabel(findBar_);
    findStatus_->setObjectName(QStringLiteral("LogFindStatus"));
    layout->addWidget(findStatus_);
    auto *close = new QToolButton(findBar_);
    close->setObjectName(QStringLiteral("LogFindClose"));
    close->setText(QString(QChar(0x00D7)));
    close->setToolTip(QStringLiteral("Suche schließen"));
    close->setAccessibleName(close->toolTip());
    close->setAutoRaise(true);
    layout->addWidget(close);
    connect(close, &QToolButton::clicked, this, &TEventLog::CloseFindBar);
    connect(findEdit_, &QLineEdit::returnPressed, this, [this] {
        if (QApplication::keyboardModifiers() & Qt::ShiftModifier)
            FindPrevious();
        else
            FindNext();
    });
    connect(findEdit_, &QLineEdit::textChanged, this, [this] {
        findStatus_->clear();
        viewport()->update();
    });
    findBar_->hide();
}

void TEventLog::LayoutFindBar()
{
    const int height = findBar_->isHidden() ? 0 : findBar_->sizeHint().height();
    setViewportMargins(0, 0, 0, height);
    if (height > 0) {
        const QRect inner = contentsRect();
        findBar_->setGeometry(inner.left(), inner.bottom() + 1 - height, inner.width(), height);
    }
}

void TEventLog::OpenFindBar()
{
    findBar_->show();
    LayoutFindBar();
    findEdit_->setFocus();
    findEdit_->selectAll();
    ScheduleSync();
}

void TEventLog::CloseFindBar()
{
    findBar_->hide();
    LayoutFindBar();
    setFocus();
    ScheduleSync();
}

QString TEventLog::Text(int index) const
{
    return AnsiToQString(std::string(lines_.Line(index)));
}

QString TEventLog::TimePrefix(int index) const
{
    return timesShown_ ? FormatTime(lines_.Time(index)) + QStringLiteral("  ") : QString();
}

QString TEventLog::VisibleText(int index) const
{
    return TimePrefix(index) + WithControlPictures(Text(index));
}

void TEventLog::Append(std::string_view line)
{
    lines_.Append(line);
    ScheduleSync();
}

void TEventLog::Clear()
{
    lines_.Clear();
    itemIndex_ = -1;
    anchor_ = -1;
    ranges_.clear();
    multiple_ = false;
    detached_ = false;
    widest_ = 0;
    ScheduleSync();
}

void TEventLog::SetItemIndex(int index)
{
    itemIndex_ = index >= 0 && index < Count() ? index : -1;
    anchor_ = itemIndex_;
    if (multiple_) {
        ranges_.clear();
        multiple_ = false;
    }
    revealSelection_ = itemIndex_ >= 0;
    SelectionChanged();
}

void TEventLog::FollowLastLine()
{
    if (following_ && !detached_)
        SetItemIndex(Count() - 1);
}

void TEventLog::SetTimesShown(bool shown)
{
    if (showTimes_->isChecked() != shown)
        showTimes_->setChecked(shown);   // comes back here through the signal
    timesShown_ = shown;
    widest_ = 0;
    ScheduleSync();
}

void TEventLog::SetFollowing(bool follow)
{
    if (follow_->isChecked() != follow)
        follow_->setChecked(follow);
    if (following_ == follow)
        return;
    following_ = follow;
    if (following_) {
        detached_ = false;
        SetItemIndex(Count() - 1);
    }
}

bool TEventLog::IsSelected(int index) const
{
    if (!multiple_)
        return index >= 0 && index == itemIndex_;
    auto it = ranges_.upper_bound(index);
    if (it == ranges_.begin())
        return false;
    --it;
    return index <= it->second;
}

std::vector<int> TEventLog::SelectedRows() const
{
    std::vector<int> rows;
    if (!multiple_) {
        if (itemIndex_ >= 0)
            rows.push_back(itemIndex_);
        return rows;
    }
    for (const auto &[first, last] : ranges_)
        for (int row = first; row <= last && row < Count(); ++row)
            rows.push_back(row);
    return rows;
}

void TEventLog::SelectRange(int from, int to)
{
    ranges_.clear();
    ranges_[std::min(from, to)] = std::max(from, to);
    multiple_ = true;
    itemIndex_ = to;
    SelectionChanged();
}

void TEventLog::ToggleRow(int row)
{
    if (!multiple_) {
        ranges_.clear();
        if (itemIndex_ >= 0)
            ranges_[itemIndex_] = itemIndex_;
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
    itemIndex_ = row;
    anchor_ = row;
    SelectionChanged();
}

void TEventLog::SelectionChanged()
{
    if (QAccessible::isActive() && itemIndex_ >= 0) {
        QAccessibleEvent selection(this, QAccessible::Selection);
        selection.setChild(itemIndex_);
        QAccessible::updateAccessibility(&selection);
        if (hasFocus()) {
            QAccessibleEvent focus(this, QAccessible::Focus);
            focus.setChild(itemIndex_);
            QAccessible::updateAccessibility(&focus);
        }
    }
    ScheduleSync();
}

void TEventLog::UserSelect(int row, Qt::KeyboardModifiers modifiers)
{
    if (row < 0 || row >= Count())
        return;
    if ((modifiers & Qt::ShiftModifier) && anchor_ >= 0) {
        const int anchor = anchor_;
        SelectRange(anchor, row);
        anchor_ = anchor;
        revealSelection_ = true;
    } else if (modifiers & Qt::ControlModifier) {
        ToggleRow(row);
    } else {
        SetItemIndex(row);
    }
    // Choosing an older line, or several, stops new lines from moving the
    // view and the selection; choosing the last line alone follows again.
    detached_ = multiple_ || itemIndex_ != Count() - 1;
}

void TEventLog::UserScrolled()
{
    Sync();
    const QScrollBar *bar = verticalScrollBar();
    // Scrolled away from the end: new lines no longer move the view; back at the end they do again.
    detached_ = bar->value() < bar->maximum();
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
    if (revealSelection_ && itemIndex_ >= 0) {
        QScrollBar *bar = verticalScrollBar();
        const int rows = std::max(1, VisibleRows());
        if (itemIndex_ < bar->value())
            bar->setValue(itemIndex_);
        else if (itemIndex_ >= bar->value() + rows)
            bar->setValue(itemIndex_ - rows + 1);
    }
    revealSelection_ = false;
    viewport()->update();
}

void TEventLog::AnnounceRows() const
{
    // Screen readers learn of new and cleared lines once per turn of the event loop.
    if (Count() == announcedRows_)
        return;
    if (QAccessible::isActive()) {
        auto *self = const_cast<TEventLog *>(this);
        if (Count() > announcedRows_) {
            QAccessibleTableModelChangeEvent inserted(self, QAccessibleTableModelChangeEvent::RowsInserted);
            inserted.setFirstRow(announcedRows_);
            inserted.setLastRow(Count() - 1);
            QAccessible::updateAccessibility(&inserted);
        } else {
            QAccessibleTableModelChangeEvent reset(self, QAccessibleTableModelChangeEvent::ModelReset);
            QAccessible::updateAccessibility(&reset);
        }
    }
    announcedRows_ = Count();
}

void TEventLog::UpdateScrollBars() const
{
    const int rows = std::max(1, VisibleRows());
    verticalScrollBar()->setPageStep(rows);
    verticalScrollBar()->setRange(0, std::max(0, Count() - rows));
    horizontalScrollBar()->setPageStep(viewport()->width());
    horizontalScrollBar()->setRange(0, std::max(0, widest_ - viewport()->width()));
}

bool TEventLog::LineMatches(int index, const QString &needle) const
{
    // Plain ASCII search text is matched on the stored bytes, so a search
    // through a million lines decodes none of them.
    bool ascii = true;
    for (QChar c : needle)
        ascii = ascii && c.unicode() >= 0x20 && c.unicode() < 0x7F;
    if (ascii) {
        const QByteArray pattern = needle.toLatin1().toLower();
        const std::string_view line = lines_.Line(index);
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        return std::search(line.begin(), line.end(), pattern.begin(), pattern.end(),
                           [&](char a, char b) { return lower(a) == b; }) != line.end();
    }
    return WithControlPictures(Text(index)).contains(needle, Qt::CaseInsensitive);
}

bool TEventLog::Find(int step)
{
    const QString needle = findEdit_->text();
    if (needle.isEmpty() || Count() == 0)
        return false;
    const int count = Count();
    const int start = itemIndex_ >= 0 ? itemIndex_ : (step > 0 ? -1 : count);
    for (int i = 1; i <= count; ++i) {
        const int row = ((start + step * i) % count + count) % count;
        if (LineMatches(row, needle)) {
            SetItemIndex(row);
            detached_ = row != count - 1;
            findStatus_->clear();
            return true;
        }
    }
    findStatus_->setText(QStringLiteral("Nicht gefunden"));
    return false;
}

bool TEventLog::FindNext() { return Find(1); }
bool TEventLog::FindPrevious() { return Find(-1); }

QString TEventLog::JoinedText(const std::vector<int> &rows) const
{
    QString all;
    for (int row : rows) {
        all += VisibleText(row);
        all += QLatin1Char('\n');
    }
    return all;
}

void TEventLog::CopySelection() const
{
    const std::vector<int> rows = SelectedRows();
    if (!rows.empty())
        QApplication::clipboard()->setText(JoinedText(rows));
}

void TEventLog::CopyAll() const
{
    std::vector<int> rows(static_cast<size_t>(Count()));
    for (int i = 0; i < Count(); ++i)
        rows[static_cast<size_t>(i)] = i;
    QApplication::clipboard()->setText(JoinedText(rows));
}

void TEventLog::SaveToFile(const std::string &path) const
{
    std::string bytes;
    for (int row = 0; row < Count(); ++row) {
        bytes += VisibleText(row).toStdString();
        bytes += '\n';
    }
    SaveFileBytes(path, bytes);
}

void TEventLog::SaveWithDialog()
{
    QFileDialog dialog(this, QStringLiteral("Protokoll speichern"));
    dialog.setObjectName(QStringLiteral("LogSaveDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setNameFilters({QStringLiteral("Textdateien (*.txt)"), QStringLiteral("Alle Dateien (*)")});
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    dialog.selectFile(QStringLiteral("protokoll.txt"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    SaveToFile(dialog.selectedFiles().first().toStdString());
}

void TEventLog::paintEvent(QPaintEvent *)
{
    Sync();
    QPainter painter(viewport());
    const int top = verticalScrollBar()->value();
    const int last = std::min(Count(), top + VisibleRows() + 1);
    const int dx = horizontalScrollBar()->value();
    const int width = viewport()->width();
    const QFontMetrics metrics(font());
    const QString needle = findBar_->isHidden() ? QString() : findEdit_->text();
    bool widened = false;
    for (int row = top; row < last; ++row) {
        const QRect rect(0, (row - top) * RowHeight, width, RowHeight);
        // Whatever the line's length, a row lays out a bounded text.
        const QString text = BoundForDisplay(VisibleText(row));
        const bool selected = IsSelected(row);
        if (selected) {
            painter.fillRect(rect, palette().brush(QPalette::Highlight));
            painter.setPen(palette().color(QPalette::HighlightedText));
        } else {
            painter.setPen(palette().color(QPalette::Text));
        }
        if (!needle.isEmpty()) {
            const int skip = timesShown_ ? static_cast<int>(TimePrefix(row).size()) : 0;
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
        option.rect = itemIndex_ >= top && itemIndex_ < last
                          ? QRect(0, (itemIndex_ - top) * RowHeight, width, RowHeight)
                          : viewport()->rect().adjusted(0, 0, -1, -1);
        option.backgroundColor = palette().color(IsSelected(itemIndex_) ? QPalette::Highlight : QPalette::Base);
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
    revealSelection_ = revealSelection_ || (!detached_ && itemIndex_ >= 0);
    syncPending_ = true;
    Sync();
}

void TEventLog::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::RightButton && IsSelected(RowAt(static_cast<int>(event->position().y()))))
        return;   // keep a multi-selection for the context menu
    const int row = RowAt(static_cast<int>(event->position().y()));
    if (row < Count())
        UserSelect(row, event->modifiers());
}

void TEventLog::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton) || anchor_ < 0)
        return;
    const int row = std::clamp(RowAt(static_cast<int>(event->position().y())), 0, Count() - 1);
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
    int target = itemIndex_;
    switch (event->key()) {
    case Qt::Key_Up: target = std::max(0, itemIndex_ - 1); break;
    case Qt::Key_Down: target = itemIndex_ + 1; break;
    case Qt::Key_PageUp: target = std::max(0, itemIndex_ - rows); break;
    case Qt::Key_PageDown: target = std::min(Count() - 1, itemIndex_ + rows); break;
    case Qt::Key_Home: target = 0; break;
    case Qt::Key_End: target = Count() - 1; break;
    default: QAbstractScrollArea::keyPressEvent(event); return;
    }
    if (target >= 0 && target < Count()) {
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
    copy->setEnabled(multiple_ ? !ranges_.empty() : itemIndex_ >= 0);
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
