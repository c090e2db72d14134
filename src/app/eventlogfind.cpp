// The event log's search bar: find the next or previous line holding a text,
// and keep only the telegram lines matching a filter.
#include "eventlog.h"

#include "displaytext.h"

#include <QAccessible>
#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

#include <algorithm>

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
    layout->addWidget(new QLabel(QStringLiteral("Filter:"), findBar_));
    filterEdit_ = new QLineEdit(findBar_);
    filterEdit_->setObjectName(QStringLiteral("LogFilterEdit"));
    filterEdit_->setToolTip(QStringLiteral("Nur Telegramme mit dieser Kennung (8 Zeichen), diesem Status oder dieser "
                                           "Richtung (FZ->LS, FZ<-LS) anzeigen"));
    filterEdit_->setAccessibleName(QStringLiteral("Filter"));
    filterEdit_->setClearButtonEnabled(true);
    filterEdit_->setFixedWidth(filterEdit_->fontMetrics().horizontalAdvance(QStringLiteral("MMMMMMMMMM")) + 24);
    layout->addWidget(filterEdit_);
    connect(filterEdit_, &QLineEdit::textChanged, this, &TEventLog::ApplyFilter);
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
    // No filter stays in force unseen.
    filterEdit_->clear();
    findBar_->hide();
    LayoutFindBar();
    setFocus();
    ScheduleSync();
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
    if (needle.isEmpty() || RowCount() == 0)
        return false;
    const int count = RowCount();
    const int start = ItemIndex() >= 0 ? ItemIndex() : (step > 0 ? -1 : count);
    for (int i = 1; i <= count; ++i) {
        const int row = ((start + step * i) % count + count) % count;
        if (LineMatches(LineOf(row), needle)) {
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

void TEventLog::ApplyFilter()
{
    const int current = ItemIndex() >= 0 ? LineOf(ItemIndex()) : -1;
    filter_ = TelegramFilter::Parse(filterEdit_->text().toStdString());
    // Half-typed or mistyped, the filter holds nothing back: say so rather than seem to match all.
    findStatus_->setText(filter_ || filterEdit_->text().trimmed().isEmpty() ? QString()
                                                                            : QStringLiteral("Filter unvollständig"));
    shown_.clear();
    if (filter_)
        for (const EventLogTelegrams::Entry &entry : telegrams_.Entries())
            if (filter_->Matches(entry.telegram))
                shown_.push_back(entry.line);
    int row = -1;
    if (following_ && !detached_) {
        row = RowCount() - 1;
    } else if (current >= 0 && !filter_) {
        row = current;
    } else if (current >= 0) {
        const auto found = std::lower_bound(shown_.begin(), shown_.end(), current);
        if (found != shown_.end() && *found == current)
            row = static_cast<int>(found - shown_.begin());
    }
    if (QAccessible::isActive()) {
        QAccessibleTableModelChangeEvent reset(this, QAccessibleTableModelChangeEvent::ModelReset);
        QAccessible::updateAccessibility(&reset);
    }
    announcedRows_ = RowCount();
    widest_ = 0;
    SetItemIndex(row);
}
