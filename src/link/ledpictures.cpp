// The lamp artwork: 15x15 pictures drawn pixel by pixel from a palette of
// under 16 colours, on a key colour that the lower-left pixel carries.
#include "signalled.h"

#include <QBitmap>
#include <QImage>

#include <cmath>

namespace {

const QRgb kKey = qRgb(255, 0, 255);
const QRgb kOutline = qRgb(56, 56, 56);

QRgb Scaled(QRgb c, double f)
{
    auto s = [f](int v) { return std::clamp(static_cast<int>(v * f), 0, 255); };
    return qRgb(s(qRed(c)), s(qGreen(c)), s(qBlue(c)));
}

QRgb Mixed(QRgb a, QRgb b, double t)
{
    auto m = [t](int x, int y) { return static_cast<int>(x + (y - x) * t); };
    return qRgb(m(qRed(a), qRed(b)), m(qGreen(a), qGreen(b)), m(qBlue(a), qBlue(b)));
}

// Shade of a round glass body: brighter towards the highlight at the
// upper left, darker towards the rim.
QRgb GlassShade(QRgb body, bool lit, double distFromHighlight, double distFromCentre, double radius)
{
    const QRgb base = lit ? body : Scaled(body, 0.38);
    if (distFromHighlight < 1.3)
        return lit ? Mixed(body, qRgb(255, 255, 255), 0.8) : Mixed(base, qRgb(255, 255, 255), 0.35);
    if (distFromHighlight < 3.0)
        return lit ? Mixed(body, qRgb(255, 255, 255), 0.35) : Scaled(base, 1.25);
    if (distFromCentre > radius - 1.5)
        return Scaled(base, 0.7);
    return base;
}

QImage Round(QRgb body, bool lit)
{
    QImage image(15, 15, QImage::Format_RGB32);
    for (int y = 0; y < 15; ++y)
        for (int x = 0; x < 15; ++x) {
            const double d = std::hypot(x - 7.0, y - 7.0);
            const double h = std::hypot(x - 5.0, y - 5.0);
            QRgb c = kKey;
            if (d <= 6.0)
                c = GlassShade(body, lit, h, d, 6.0);
            else if (d <= 7.2)
                c = kOutline;
            image.setPixel(x, y, c);
        }
    return image;
}

QImage Bulb(bool lit)
{
    const QRgb glass = lit ? qRgb(255, 236, 120) : qRgb(150, 150, 140);
    QImage image(15, 15, QImage::Format_RGB32);
    for (int y = 0; y < 15; ++y)
        for (int x = 0; x < 15; ++x) {
            const double d = std::hypot(x - 7.0, y - 5.5);
            const double h = std::hypot(x - 5.5, y - 3.5);
            QRgb c = kKey;
            if (y >= 10 && x >= 5 && x <= 9) // screw base
                c = (y % 2 == 0) ? qRgb(120, 120, 120) : qRgb(180, 180, 180);
            else if (d <= 4.6)
                c = GlassShade(glass, lit, h, d, 4.6);
            else if (d <= 5.6 && y < 10)
                c = kOutline;
            image.setPixel(x, y, c);
        }
    return image;
}

} // namespace

QImage LedPicture(TLedKind kind, bool lit)
{
    switch (kind) {
    case lkRedLight: return Round(qRgb(230, 30, 30), lit);
    case lkGreenLight: return Round(qRgb(40, 200, 50), lit);
    case lkBlueLight: return Round(qRgb(40, 100, 240), lit);
    case lkYellowLight: return Round(qRgb(245, 215, 30), lit);
    case lkPurpleLight: return Round(qRgb(175, 60, 210), lit);
    case lkBulb: return Bulb(lit);
    case lkCustom: break;
    }
    return {};
}

QPixmap TransparentLedPixmap(const QImage &image)
{
    if (image.isNull())
        return {};
    QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    const QRgb key = argb.pixel(0, argb.height() - 1);
    for (int y = 0; y < argb.height(); ++y)
        for (int x = 0; x < argb.width(); ++x)
            if ((argb.pixel(x, y) & 0x00FFFFFF) == (key & 0x00FFFFFF))
                argb.setPixel(x, y, 0);
    return QPixmap::fromImage(argb);
}

QPixmap LedPixmapForRatio(const QPixmap &picture, qreal ratio)
{
    if (picture.isNull() || ratio <= 1.0)
        return picture;
    const QSize device = (QSizeF(picture.size()) * ratio).toSize();
    QPixmap sharp = QPixmap::fromImage(picture.toImage().scaled(device, Qt::IgnoreAspectRatio, Qt::FastTransformation));
    sharp.setDevicePixelRatio(ratio);
    return sharp;
}
