#include "statictext.h"

#include "displaytext.h"

#include <QPainter>
#include <QStyle>

TStaticText::TStaticText(const QString &text, QWidget *parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setText(text);
}

QString TStaticText::DisplayedText() const { return BoundForDisplay(text()); }

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
    const QRect area = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    style()->drawItemText(&painter, area, QStyle::visualAlignment(layoutDirection(), alignment()), palette(),
                          isEnabled(), DisplayedText(), foregroundRole());
}
