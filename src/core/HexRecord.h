#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

// One line of an H86 (Intel HEX) file as this system reads it. 0-based indices:
//   0      start code, not checked
//   1..2   byte count, not read: the data length follows from the line length
//   3..6   16-bit load offset, most significant digit first
//   7..8   record type: "00" data, "04" extended linear address, "02" extended segment address
//   9..len-3  data, two digits per byte; for type 04 index 12 is the upper address digit
//   last two  checksum, neither read nor verified
// Non-hex characters read as the digit 0.
namespace HexRecord {

enum class Type {
    Data, // "00"
    ExtendedLinear, // "04"
    ExtendedSegment, // "02"
    Other, // any other type: skipped
};

// Shortest line that holds the record type, and the shortest type-04 line.
constexpr qsizetype MinLength = 9;
constexpr qsizetype MinExtendedLinearLength = 13;
constexpr qsizetype DataStart = 9;

// The record type; the line must hold at least MinLength characters.
Type type(QByteArrayView line);
// The 16-bit load offset of a line of at least MinLength characters.
quint16 loadOffset(QByteArrayView line);
// Upper address set by a type-04 line of at least MinExtendedLinearLength characters: only
// the fourth digit of the address word counts, so the result is 0x00000..0xF0000.
qint32 upperAddress(QByteArrayView line);
// Number of whole data bytes in the line (a trailing lone digit is dropped).
qsizetype dataLength(QByteArrayView line);
// Data byte i (< dataLength) of the line.
quint8 dataByte(QByteArrayView line, qsizetype i);
// Appends the line's data bytes to out.
void appendData(QByteArrayView line, QByteArray &out);

} // namespace HexRecord
