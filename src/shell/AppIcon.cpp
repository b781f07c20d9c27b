#include "shell/AppIcon.h"

#include <QPainter>
#include <QPolygonF>
#include <QPixmap>

namespace {

enum class Arrow { Into, OutOf };

QPixmap draw(int side, Arrow direction, const QColor &arrowColour)
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

    // Arrow into the chip (download) or, mirrored, out of it (upload).
    if (direction == Arrow::OutOf) {
        p.translate(0, 64);
        p.scale(1, -1);
    }
    p.setBrush(arrowColour);
    p.drawPolygon(QPolygonF({{27, 16}, {37, 16}, {37, 32}, {45, 32}, {32, 48}, {19, 32}, {27, 32}}));
    return pixmap;
}

QIcon icon(Arrow direction, const QColor &arrowColour)
{
    QIcon result;
    for (int side : {16, 24, 32, 48, 64, 128})
        result.addPixmap(draw(side, direction, arrowColour));
    return result;
}

// An open folder in full colour: a theme's monochrome folder reads as a disabled button.
QPixmap drawFolder(int side)
{
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(side / 64.0, side / 64.0);
    p.setPen(QPen(QColor(150, 95, 10), 2));
    // The back with its tab, then the front leaf tilted open.
    p.setBrush(QColor(230, 160, 30));
    p.drawPolygon(QPolygonF({{6, 14}, {24, 14}, {29, 20}, {54, 20}, {54, 52}, {6, 52}}));
    p.setBrush(QColor(255, 205, 80));
    p.drawPolygon(QPolygonF({{14, 28}, {60, 28}, {52, 52}, {6, 52}}));
    return pixmap;
}

const QColor Download(255, 190, 40);
const QColor Upload(90, 200, 110);

} // namespace

QIcon BrasvikAppIcon()
{
    return icon(Arrow::Into, Download);
}

QIcon BrasvikDownloadIcon()
{
    return icon(Arrow::Into, Download);
}

QIcon BrasvikUploadIcon()
{
    return icon(Arrow::OutOf, Upload);
}

QIcon BrasvikOpenIcon()
{
    QIcon result;
    for (int side : {16, 24, 32, 48, 64, 128})
        result.addPixmap(drawFolder(side));
    return result;
}
