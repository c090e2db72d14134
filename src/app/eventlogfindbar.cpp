#include "eventlogfindbar.h"

#include "eventlogcontent.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

EventLogFindBar::EventLogFindBar(QWidget *parent, const EventLogContent &content, EventLogFindTarget &target)
    : QWidget(parent), content_(content), target_(target)
{
    setObjectName(QStringLiteral("LogFindBar"));
    setAutoFillBackground(true);
    setFont(QApplication::font());
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 1, 2, 1);
    layout->setSpacing(2);
    layout->addWidget(new QLabel(QStringLiteral("Suchen:"), this));
    findEdit_ = new QLineEdit(this);
    findEdit_->setObjectName(QStringLiteral("LogFindEdit"));
    layout->addWidget(findEdit_, 1);
    auto button = [this, layout](const char *name, const char *tip) {
        auto *b = new QToolButton(this);
        b->setObjectName(QString::fromLatin1(name));
        b->setToolTip(QString::fromUtf8(tip));
        b->setAccessibleName(QString::fromUtf8(tip));
        b->setAutoRaise(true);
        layout->addWidget(b);
        return b;
    };
    QToolButton *previous = button("LogFindPrevious", "Vorheriger Treffer");
    previous->setArrowType(Qt::UpArrow);
    connect(previous, &QToolButton::clicked, this, [this] { FindPrevious(); });
    QToolButton *next = button("LogFindNext", "Nächster Treffer");
    next->setArrowType(Qt::DownArrow);
    connect(next, &QToolButton::clicked, this, [this] { FindNext(); });
    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("LogFindStatus"));
    layout->addWidget(status_);
    layout->addWidget(new QLabel(QStringLiteral("Filter:"), this));
    filterEdit_ = new QLineEdit(this);
    filterEdit_->setObjectName(QStringLiteral("LogFilterEdit"));
    filterEdit_->setToolTip(QStringLiteral("Nur Telegramme mit dieser Kennung (8 Zeichen), diesem Status oder dieser "
                                           "Richtung (FZ->LS, FZ<-LS) anzeigen"));
    filterEdit_->setAccessibleName(QStringLiteral("Filter"));
    filterEdit_->setClearButtonEnabled(true);
    filterEdit_->setFixedWidth(filterEdit_->fontMetrics().horizontalAdvance(QStringLiteral("MMMMMMMMMM")) + 24);
    layout->addWidget(filterEdit_);
    connect(filterEdit_, &QLineEdit::textChanged, this, &EventLogFindBar::FilterEdited);
    QToolButton *close = button("LogFindClose", "Suche schließen");
    close->setText(QString(QChar(0x00D7)));
    connect(close, &QToolButton::clicked, this, &EventLogFindBar::Close);
    connect(findEdit_, &QLineEdit::returnPressed, this, [this] {
        if (QApplication::keyboardModifiers() & Qt::ShiftModifier)
            FindPrevious();
        else
            FindNext();
    });
    connect(findEdit_, &QLineEdit::textChanged, this, [this] {
        status_->clear();
        target_.FindBarChanged();
    });
    hide();
}

void EventLogFindBar::Open()
{
    show();
    target_.FindBarChanged();
    findEdit_->setFocus();
    findEdit_->selectAll();
}

void EventLogFindBar::Close()
{
    filterEdit_->clear();
    hide();
    target_.FindBarChanged();
}

QString EventLogFindBar::Needle() const { return isHidden() ? QString() : findEdit_->text(); }

bool EventLogFindBar::Find(int step)
{
    const QString needle = findEdit_->text();
    const int count = content_.RowCount();
    if (needle.isEmpty() || count == 0)
        return false;
    const int current = target_.ItemIndex();
    const int start = current >= 0 ? current : (step > 0 ? -1 : count);
    for (int i = 1; i <= count; ++i) {
        const int row = ((start + step * i) % count + count) % count;
        if (content_.LineMatches(content_.LineOf(row), needle)) {
            target_.ShowFound(row);
            status_->clear();
            return true;
        }
    }
    status_->setText(QStringLiteral("Nicht gefunden"));
    return false;
}

void EventLogFindBar::FilterEdited()
{
    std::optional<TelegramFilter> filter = TelegramFilter::Parse(filterEdit_->text().toStdString());
    // Half-typed or mistyped, the filter holds nothing back: say so rather than seem to match all.
    status_->setText(filter || filterEdit_->text().trimmed().isEmpty() ? QString()
                                                                       : QStringLiteral("Filter unvollständig"));
    target_.ShowFilter(std::move(filter));
}
