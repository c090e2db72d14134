#include "signalled.h"

#include "errorhandler.h"
#include "serialport.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPainter>

#include <algorithm>

TSignalLed::TSignalLed(QWidget *parent) : QWidget(parent)
{
    resize(25, 25);
    link_.ConnectionChanged = [this](bool on) { SignalChanged(on); };
    ringTimer_.setSingleShot(true);
    connect(&ringTimer_, &QTimer::timeout, this, [this] {
        Guarded([this] {
            ringTimer_.stop();
            AssignState(lsOff);
        });
    });
}

TSignalLed::~TSignalLed()
{
    ringTimer_.stop();
    if (port_) {
        port_->RemoveFreeNotification(this);
        Guarded([this] { port_->DetachLink(&link_); });
    }
}

void TSignalLed::SetSerialPort(TCustomSerialPort *port)
{
    if (port == port_)
        return;
    if (port_) {
        port_->RemoveFreeNotification(this);
        port_->DetachLink(&link_);
        port_ = nullptr;
    }
    if (!port) {
        AssignState(lsOff);
        return;
    }
    port->AttachLink(&link_);
    port_ = port;
    port->AddFreeNotification(this, [this] { ForgetPort(); });
    if (!port->Connected() || loading_)
        return;
    bool on = false;
    switch (signal_) {
    case lsConn: on = true; break;
    case lsCTS: on = port->ModemSignals() & msCTS; break;
    case lsDSR: on = port->ModemSignals() & msDSR; break;
    case lsRLSD: on = port->ModemSignals() & msRLSD; break;
    case lsRing:
    case lsRx:
    case lsTx: break;
    }
    AssignState(on ? lsOn : lsOff);
}

void TSignalLed::ForgetPort()
{
    // The port is being destroyed; it drops its links itself.
    port_ = nullptr;
    ringTimer_.stop();
    AssignState(lsOff);
}

void TSignalLed::SetLedSignal(TLedSignal signal)
{
    if (signal == signal_)
        return;
    signal_ = signal;
    link_.ConnectionChanged = nullptr;
    link_.CtsChanged = nullptr;
    link_.DsrChanged = nullptr;
    link_.RlsdChanged = nullptr;
    link_.RxActivity = nullptr;
    link_.TxActivity = nullptr;
    link_.RingOccurred = nullptr;
    auto handler = [this](bool on) { SignalChanged(on); };
    switch (signal) {
    case lsConn: link_.ConnectionChanged = handler; break;
    case lsCTS: link_.CtsChanged = handler; break;
    case lsDSR: link_.DsrChanged = handler; break;
    case lsRLSD: link_.RlsdChanged = handler; break;
    case lsRx: link_.RxActivity = handler; break;
    case lsTx: link_.TxActivity = handler; break;
    case lsRing: link_.RingOccurred = [this] { RingOccurred(); }; break;
    }
}

void TSignalLed::SetKind(TLedKind kind)
{
    if (kind == kind_)
        return;
    kind_ = kind;
    glyphOn_ = TransparentLedPixmap(LedPicture(kind, true));
    glyphOff_ = TransparentLedPixmap(LedPicture(kind, false));
    update();
}

void TSignalLed::SetGlyphOn(const QImage &image)
{
    if (kind_ != lkCustom)
        return;
    glyphOn_ = TransparentLedPixmap(image);
    update();
}

void TSignalLed::SetGlyphOff(const QImage &image)
{
    if (kind_ != lkCustom)
        return;
    glyphOff_ = TransparentLedPixmap(image);
    update();
}

void TSignalLed::SetState(TLedState state)
{
    if (port_)
        RaiseSerialError(SerialError::LampStateWithPort);
    AssignState(state);
}

void TSignalLed::AssignState(TLedState state)
{
    state_ = state;
    if (!loading_ && OnChange)
        OnChange(*this, state);
    update();
}

void TSignalLed::SignalChanged(bool on)
{
    AssignState(on ? lsOn : lsOff);
    // Show the change now, even while a long operation holds the UI thread.
    QCoreApplication::processEvents();
}

void TSignalLed::RingOccurred()
{
    ringTimer_.start(ringDuration_);
    AssignState(lsOn);
}

void TSignalLed::LoadPictures()
{
    if (!glyphOn_.isNull() && !glyphOff_.isNull())
        return;
    if (kind_ == lkCustom)
        return;
    glyphOn_ = TransparentLedPixmap(LedPicture(kind_, true));
    glyphOff_ = TransparentLedPixmap(LedPicture(kind_, false));
}

const QPixmap &TSignalLed::CurrentPicture()
{
    LoadPictures();
    return state_ == lsOn && isEnabled() ? glyphOn_ : glyphOff_;
}

void TSignalLed::paintEvent(QPaintEvent *)
{
    const QPixmap &picture = CurrentPicture();
    if (picture.isNull())
        return;
    const QRect area = contentsRect();
    // Centred; a picture larger than the lamp starts at the top-left corner.
    const int left = area.left() + std::max(0, (area.width() - picture.width()) / 2);
    const int top = area.top() + std::max(0, (area.height() - picture.height()) / 2);
    QPainter painter(this);
    painter.drawPixmap(left, top, LedPixmapForRatio(picture, devicePixelRatioF()));
}

void TSignalLed::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::EnabledChange)
        update();
    QWidget::changeEvent(event);
}
