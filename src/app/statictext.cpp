#include "statictext.h"

#include "displaytext.h"

#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QToolTip>

TStaticText::TStaticText(const QString &text, QWidget *parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setText(text);
}

QString TStaticText::DisplayedText() const
{
    const QString shown = BoundForDisplay(text());
    return elided_ ? fontMetrics().elidedText(shown, Qt::ElideRight, TextArea().width()) : shown;
}

void TStaticText::SetElided(bool elided)
{
    elided_ = elided;
    update();
}

QRect TStaticText::TextArea() const
{
    return contentsRect().adjusted(margin(), margin(), -margin(), -margin());
}

bool TStaticText::event(QEvent *event)
{
    if (event->type() == QEvent::ToolTip && elided_) {
        const QString whole = BoundForDisplay(text());
        if (DisplayedText() != whole)
            QToolTip::showText(static_cast<QHelpEvent *>(event)->globalPos(), whole, this);
        else
            QToolTip::hideText();
        return true;
    }
    return QLabel::event(event);
}

QSize TStaticText::sizeHint() const
{
    const QRect bounds = fontMetrics().boundingRect(QRect(), Qt::TextSingleLine, DisplayedText());
    const QMargins margins = contentsMargins();
    return bounds.size().grownBy(margins) + QSize(2 * margin(), 2 * margin());
}

QSize TStaticText::minimumSizeHint() const { return sizeHint(); }

void TStaticText::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    drawFrame(&painter);
    style()->drawItemText(&painter, TextArea(), QStyle::visualAlignment(layoutDirection(), alignment()), palette(),
                          isEnabled(), DisplayedText(), foregroundRole());
}
