#include "launcher/HeaderGlyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

constexpr int Side = 16;

void drawRefresh(QPainter& p, const QColor& ink) {
    p.setPen(QPen(ink, 2, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(QRectF(3, 3, 10, 10), 60 * 16, 280 * 16);
    QPainterPath head;
    head.moveTo(9.5, 1.5);
    head.lineTo(13.5, 4.0);
    head.lineTo(9.0, 6.5);
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawPath(head);
}

void drawLogin(QPainter& p, const QColor& ink, const QColor& fill) {
    p.setPen(QPen(ink, 1));
    p.setBrush(fill);
    p.drawEllipse(QRectF(5, 1.5, 6, 6));
    p.drawRoundedRect(QRectF(2.5, 9, 11, 6), 3, 3);
}

void drawExpand(QPainter& p, const QColor& ink) {
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    for (int top : {3, 9}) {
        QPainterPath arrow;
        arrow.moveTo(3, top);
        arrow.lineTo(13, top);
        arrow.lineTo(8, top + 5);
        arrow.closeSubpath();
        p.drawPath(arrow);
    }
}

void drawConfigure(QPainter& p, const QColor& ink, const QColor& fill) {
    p.setPen(QPen(ink, 1));
    p.setBrush(fill);
    for (int i = 0; i < 3; ++i) {
        p.drawRect(QRectF(1.5 + 5 * i, 5.5, 4, 4));
    }
    p.drawLine(QPointF(1.5, 12.5), QPointF(14.5, 12.5));
}

void drawPassword(QPainter& p, const QColor& ink, const QColor& fill) {
    p.setPen(QPen(ink, 1.5));
    p.setBrush(fill);
    p.drawEllipse(QRectF(1.5, 4.5, 6, 6));
    p.drawLine(QPointF(7.5, 7.5), QPointF(14.5, 7.5));
    p.drawLine(QPointF(12.5, 7.5), QPointF(12.5, 10.5));
    p.drawLine(QPointF(14.5, 7.5), QPointF(14.5, 10.5));
}

// Drawn at the pixel density of the screen it is for, so a 2x screen gets a picture of twice the
// pixels rather than a 16-pixel one blown up.
QPixmap draw(HeaderGlyph glyph, bool enabled, int scale) {
    QPixmap pixmap(Side * scale, Side * scale);
    pixmap.setDevicePixelRatio(scale);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor ink = enabled ? QColor(0, 0, 128) : QColor(128, 128, 128);
    const QColor fill = enabled ? QColor(255, 255, 128) : QColor(212, 212, 212);
    switch (glyph) {
    case HeaderGlyph::Refresh:
        drawRefresh(p, enabled ? QColor(0, 128, 0) : ink);
        break;
    case HeaderGlyph::Login:
        drawLogin(p, ink, fill);
        break;
    case HeaderGlyph::Expand:
        drawExpand(p, ink);
        break;
    case HeaderGlyph::ConfigureToolbar:
        drawConfigure(p, ink, fill);
        break;
    case HeaderGlyph::PasswordChange:
        drawPassword(p, enabled ? QColor(128, 0, 0) : ink, fill);
        break;
    }
    return pixmap;
}

} // namespace

QIcon headerGlyph(HeaderGlyph glyph) {
    QIcon icon;
    for (int scale : {1, 2}) {
        icon.addPixmap(draw(glyph, true, scale), QIcon::Normal);
        icon.addPixmap(draw(glyph, false, scale), QIcon::Disabled);
    }
    return icon;
}
