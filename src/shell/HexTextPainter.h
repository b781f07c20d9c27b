#pragma once

#include <QColor>
#include <QFont>
#include <QHash>
#include <QRawFont>
#include <QVector>

#include <array>

class QPainter;
class QPointF;

// Draws the viewer's fixed-pitch lines as glyph runs: every character in its own cell, without
// shaping the text anew on every repaint. Characters the font lacks fall back to drawText.
class THexTextPainter
{
public:
    explicit THexTextPainter(const QFont &font);

    // Draws `line` with its baseline starting at `origin`, in the painter's pen; the cells set
    // in `markedCells` (bit n for cell n) in `markedColor` instead, and those set in
    // `currentCells` in `currentColor`.
    void draw(QPainter &painter, const QPointF &origin, const QString &line,
              quint64 markedCells = 0, const QColor &markedColor = {}, quint64 currentCells = 0,
              const QColor &currentColor = {});
    qreal cellWidth() const { return m_cellWidth; }

private:
    // 0 when the font has no glyph for the character.
    quint32 glyphFor(char16_t c);

    QFont m_font;
    QRawFont m_raw;
    qreal m_cellWidth = 0;
    QHash<char16_t, quint32> m_glyphs;
    // Plain, marked and current cells.
    std::array<QVector<quint32>, 3> m_indexes;
    std::array<QVector<QPointF>, 3> m_positions;
};
