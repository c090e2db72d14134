#pragma once

#include <QLabel>

// A static text field (version fields, the status line): plain text, never
// markup, and a bounded display. text() keeps the whole text; painting and
// size hints use at most DisplayTextLimit characters of it, so a reply of
// megabytes neither stalls the window nor fills memory with its layout.
class TStaticText : public QLabel {
    Q_OBJECT
public:
    explicit TStaticText(const QString &text = {}, QWidget *parent = nullptr);

    // What the field draws.
    QString DisplayedText() const;

    // A text wider than the field ends in "…" and shows whole as the
    // field's tooltip (the status line); off by default.
    void SetElided(bool elided);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    bool event(QEvent *event) override;

private:
    QRect TextArea() const;
    bool elided_ = false;
};
