#include "shell/HexTextPainter.h"

#include <algorithm>
#include <cmath>

#include <QFontMetricsF>
#include <QGlyphRun>
#include <QPainter>
#include <QPen>

THexTextPainter::THexTextPainter(const QFont &font)
    : m_font(font)
    , m_raw(QRawFont::fromFont(font))
    // Whole-pixel cells keep the columns under the header's sections and the glyphs crisp.
    , m_cellWidth(std::max(1.0, std::round(QFontMetricsF(font).horizontalAdvance(u'0'))))
{ }

quint32 THexTextPainter::glyphFor(char16_t c)
{
    const auto it = m_glyphs.constFind(c);
    if (it != m_glyphs.cend())
        return *it;
    quint32 index = 0;
    int count = 1;
    const QChar ch(c);
    if (!m_raw.isValid() || !m_raw.glyphIndexesForChars(&ch, 1, &index, &count) || count != 1)
        index = 0;
    m_glyphs.insert(c, index);
    return index;
}

void THexTextPainter::draw(QPainter &painter, const QPointF &origin, const QString &line,
                           quint64 markedCells, const QColor &markedColor, quint64 currentCells,
                           const QColor &currentColor)
{
    for (std::size_t k = 0; k < m_indexes.size(); ++k) {
        m_indexes[k].resize(0);
        m_positions[k].resize(0);
    }
    for (qsizetype i = 0; i < line.size(); ++i) {
        const char16_t c = line.at(i).unicode();
        if (c == u' ')
            continue;
        const quint32 glyph = glyphFor(c);
        if (glyph == 0) {
            painter.setFont(m_font);
            painter.drawText(origin, line);
            return;
        }
        const bool inCell = i < 64;
        const std::size_t k = inCell && (currentCells >> i) & 1 ? 2
            : inCell && (markedCells >> i) & 1                  ? 1
                                                                : 0;
        m_indexes[k].append(glyph);
        m_positions[k].append(QPointF(origin.x() + i * m_cellWidth, origin.y()));
    }
    QGlyphRun run;
    run.setRawFont(m_raw);
    const QPen pen = painter.pen();
    const std::array<QColor, 3> colors {pen.color(), markedColor, currentColor};
    for (std::size_t k = 0; k < m_indexes.size(); ++k) {
        if (m_indexes[k].isEmpty())
            continue;
        painter.setPen(colors[k]);
        run.setGlyphIndexes(m_indexes[k]);
        run.setPositions(m_positions[k]);
        painter.drawGlyphRun(QPointF(0, 0), run);
    }
    painter.setPen(pen);
}
