#include "AppIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

QPixmap draw(int side)
{
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(side / 64.0, side / 64.0);

    // Chip body with pins.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(70, 80, 90));
    for (int i = 0; i < 5; ++i) {
        p.drawRect(QRectF(6, 14 + i * 8, 8, 4));
        p.drawRect(QRectF(50, 14 + i * 8, 8, 4));
    }
    p.setBrush(QColor(38, 50, 64));
    p.drawRoundedRect(QRectF(12, 8, 40, 48), 4, 4);
    p.setBrush(QColor(110, 125, 140));
    p.drawEllipse(QRectF(16, 12, 5, 5));

    // Arrow into the chip.
    QPainterPath arrow;
    arrow.moveTo(27, 16);
    arrow.lineTo(37, 16);
    arrow.lineTo(37, 32);
    arrow.lineTo(45, 32);
    arrow.lineTo(32, 48);
    arrow.lineTo(19, 32);
    arrow.lineTo(27, 32);
    arrow.closeSubpath();
    p.setBrush(QColor(255, 190, 40));
    p.drawPath(arrow);
    return pixmap;
}

} // namespace

QIcon BrasvikAppIcon()
{
    QIcon icon;
    for (int side : {16, 24, 32, 48, 64, 128})
        icon.addPixmap(draw(side));
    return icon;
}
