#include "eventlog.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <cstring>

void TEventLogLines::Append(std::string_view line)
{
    const size_t length = line.size();
    if (blocks_.empty() || used_ + length > blockSizes_.back()) {
        // A line larger than a block gets a block of its own size.
        const size_t size = std::max(BlockSize, length);
        blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
        blockSizes_.push_back(size);
        used_ = 0;
    }
    std::memcpy(blocks_.back().get() + used_, line.data(), length);
    refs_.push_back({static_cast<uint32_t>(blocks_.size() - 1), static_cast<uint32_t>(used_), static_cast<uint32_t>(length)});
    used_ += length;
}

void TEventLogLines::Clear()
{
    refs_.clear();
    refs_.shrink_to_fit();
    blocks_.clear();
    blockSizes_.clear();
    used_ = 0;
}

std::string_view TEventLogLines::Line(int index) const
{
    const Ref &ref = refs_.at(static_cast<size_t>(index));
    return {blocks_[ref.block].get() + ref.offset, ref.length};
}

size_t TEventLogLines::BytesReserved() const
{
    size_t bytes = refs_.capacity() * sizeof(Ref) + blocks_.capacity() * sizeof(blocks_[0]) +
                   blockSizes_.capacity() * sizeof(size_t);
    for (size_t size : blockSizes_)
        bytes += size;
    return bytes;
}

TEventLog::TEventLog(QWidget *parent) : QAbstractScrollArea(parent)
{
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setFocusPolicy(Qt::StrongFocus);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    verticalScrollBar()->setSingleStep(1);
}

QString TEventLog::Text(int index) const
{
    const std::string_view line = lines_.Line(index);
    return QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size()));
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
    widest_ = 0;
    ScheduleSync();
}

void TEventLog::SetItemIndex(int index)
{
    itemIndex_ = index >= 0 && index < Count() ? index : -1;
    revealSelection_ = itemIndex_ >= 0;
    ScheduleSync();
}

int TEventLog::TopIndex() const
{
    Sync();
    return verticalScrollBar()->value();
}

int TEventLog::VisibleRows() const { return viewport()->height() / RowHeight; }

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

void TEventLog::UpdateScrollBars() const
{
    const int rows = std::max(1, VisibleRows());
    verticalScrollBar()->setPageStep(rows);
    verticalScrollBar()->setRange(0, std::max(0, Count() - rows));
    horizontalScrollBar()->setPageStep(viewport()->width());
    horizontalScrollBar()->setRange(0, std::max(0, widest_ - viewport()->width()));
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
    bool widened = false;
    for (int row = top; row < last; ++row) {
        const QRect rect(0, (row - top) * RowHeight, width, RowHeight);
        const QString text = Text(row);
        if (row == itemIndex_) {
            painter.fillRect(rect, palette().brush(QPalette::Highlight));
            painter.setPen(palette().color(QPalette::HighlightedText));
        } else {
            painter.setPen(palette().color(QPalette::Text));
        }
        const int textWidth = metrics.horizontalAdvance(text) + 4;
        if (textWidth > widest_) {
            widest_ = textWidth;
            widened = true;
        }
        painter.drawText(rect.adjusted(2 - dx, 0, textWidth, 0), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
    }
    if (widened)
        UpdateScrollBars();
}

void TEventLog::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    syncPending_ = true;
    Sync();
}

void TEventLog::mousePressEvent(QMouseEvent *event)
{
    const int row = TopIndex() + static_cast<int>(event->position().y()) / RowHeight;
    if (row < Count())
        SetItemIndex(row);
}

void TEventLog::keyPressEvent(QKeyEvent *event)
{
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
    if (target >= 0 && target < Count())
        SetItemIndex(target);
}
