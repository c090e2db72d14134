#pragma once

#include "seriallink.h"

#include <QPixmap>
#include <QTimer>
#include <QWidget>

#include <functional>

class TCustomSerialPort;

enum TLedSignal { lsConn, lsCTS, lsDSR, lsRLSD, lsRing, lsRx, lsTx };
enum TLedKind { lkRedLight, lkGreenLight, lkBlueLight, lkYellowLight, lkPurpleLight, lkBulb, lkCustom };
enum TLedState { lsOff, lsOn };

// The built-in 15x15 pictures of a kind (null images for lkCustom).
QImage LedPicture(TLedKind kind, bool lit);
// Makes every pixel of the lower-left pixel's colour transparent.
QPixmap TransparentLedPixmap(const QImage &image);
// The picture enlarged pixel by pixel for a screen's device pixel ratio:
// pixel art stays sharp instead of being smoothed by the painter.
QPixmap LedPixmapForRatio(const QPixmap &picture, qreal ratio);

// A lamp that lights while a chosen signal of a port is active.
class TSignalLed : public QWidget {
    Q_OBJECT
public:
    explicit TSignalLed(QWidget *parent = nullptr);
    ~TSignalLed() override;

    TCustomSerialPort *SerialPort() const { return port_; }
    // Follows the port from now on; an open port sets the state at once
    // (CTS, DSR and RLSD lamps query the lines: ESerialPort 11 may pass on).
    void SetSerialPort(TCustomSerialPort *port);

    TLedSignal LedSignal() const { return signal_; }
    void SetLedSignal(TLedSignal signal);

    TLedKind Kind() const { return kind_; }
    void SetKind(TLedKind kind);

    const QPixmap &GlyphOn() const { return glyphOn_; }
    const QPixmap &GlyphOff() const { return glyphOff_; }
    // Taken only with lkCustom; ignored for the built-in kinds.
    void SetGlyphOn(const QImage &image);
    void SetGlyphOff(const QImage &image);

    TLedState State() const { return state_; }
    // By hand only while no port is attached (ESerialPort 19 otherwise).
    void SetState(TLedState state);

    int RingDuration() const { return ringDuration_; }
    void SetRingDuration(int milliseconds) { ringDuration_ = milliseconds; }

    // While loading, state changes raise no OnChange.
    void SetLoading(bool loading) { loading_ = loading; }

    // The picture painting uses now: the dark one while disabled.
    const QPixmap &CurrentPicture();

    std::function<void(TSignalLed &sender, TLedState state)> OnChange;

    QSize sizeHint() const override { return {25, 25}; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void AssignState(TLedState state);
    void SignalChanged(bool on);
    void RingOccurred();
    void LoadPictures();
    void ForgetPort();

    TCustomSerialPort *port_ = nullptr;
    TSerialLink link_;
    TLedSignal signal_ = lsConn;
    TLedKind kind_ = lkRedLight;
    TLedState state_ = lsOff;
    QPixmap glyphOn_;
    QPixmap glyphOff_;
    int ringDuration_ = 1000;
    bool loading_ = false;
    QTimer ringTimer_;
};
