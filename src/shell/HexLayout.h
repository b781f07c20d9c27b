#pragma once

#include "base/DeviceKind.h"

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QtGlobal>

// The hex viewer's arithmetic without a widget: scroll positions (in pixels, one line of 16
// bytes per line height), the text of each column and the sector jumps of the arrow keys.
namespace HexLayout {

constexpr int BytesPerLine = 16;
constexpr int AddressChars = 6;
constexpr int DataChars = 47;
constexpr int AsciiChars = 16;
// Blank lines overwrite whatever a column showed before.
constexpr int AddressBlankChars = 6;
constexpr int DataBlankChars = 48;
constexpr int AsciiBlankChars = 16;
// Bytes past the end of the buffer show as this value.
constexpr quint8 MissingByte = 0x20;
// A scroll bar's steps are limited to this.
constexpr int MaxStep = 32767;

// Position at which the last page of a view of `viewSize` bytes is shown: its last line at the
// bottom of a column that holds `pageLines` whole lines (at the top for one line).
int scrollMaximum(qint32 viewSize, int lineHeight, int pageLines = 1);
// Page step: the whole lines that fit into the column's height, at least one line.
int largeStep(int clientHeight, int lineHeight);
// Address of the first visible line at a scroll position.
qint32 firstLineAddress(int position, int lineHeight);
// Scroll position that shows the line holding `address` at the top.
int positionOf(qint32 address, int lineHeight);
// Number of lines (image lines plus blank ones) painted into a column of this height.
int visibleLines(int clientHeight, int lineHeight);

// The 16 bytes of the line at `address` (fewer at the end of the buffer, none beyond it).
QByteArrayView lineBytes(QByteArrayView buffer, qint32 address);
// "%6.6x"
QString addressText(qint32 address);
// Sixteen "%2.2x" values separated by blanks; missing bytes show as 20.
QString dataText(QByteArrayView bytes);
// The bytes as characters of the ANSI code page, 0x00 as a blank, missing bytes as blanks.
QString asciiText(QByteArrayView bytes);
// Character of the ANSI code page (Windows-1252) for a byte.
QChar ansiChar(quint8 byte);

// Bytes the viewer marks (a compare's differences): [start, end).
struct MarkRun
{
    qint32 start = 0;
    qint32 end = 0;
};

// The marked bytes of the line at `address`, bit i for the byte at address + i. `runs` are
// sorted and do not overlap.
quint16 lineMarks(const QList<MarkRun> &runs, qint32 address);
// The character cells of a data-column line (two digits a byte) or a character-column line that
// the marked bytes take, bit n for cell n.
quint64 dataCells(quint16 marks);
quint64 asciiCells(quint16 marks);

// Arrow-key jumps between sector starts. `position` is the current scroll position; the
// result is the new one, before the scroll bar limits it to its range.
int rightTarget(int position, int lineHeight, DeviceKind deviceType, qint64 bufferLength);
int leftTarget(int position, int lineHeight, DeviceKind deviceType);

} // namespace HexLayout
