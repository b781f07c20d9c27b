#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

// One line of an H86 (Intel HEX) file as this system reads it. 0-based indices:
//   0      start code ':'
//   1..2   byte count
//   3..6   16-bit load offset, most significant digit first
//   7..8   record type: "00" data, "04" extended linear address, "02" extended segment address
//   9..len-3  data, two digits per byte; for type 04 index 12 is the upper address digit
//   last two  checksum: the two's complement of the sum of all bytes before it
//
// The accessors read leniently, the way target programs are read: the start code, byte count
// and checksum are ignored, the data length follows from the line length and non-hex
// characters read as the digit 0. Those files come from the device maker and only their data
// records are taken. Image files must pass `check` first, record by record.
namespace HexRecord {

enum class Type {
    Data, // "00"
    ExtendedLinear, // "04"
    ExtendedSegment, // "02"
    Other, // any other type: skipped
};

// What makes a line unfit as a record of an image file.
enum class Defect {
    None,
    TooShort, // fewer characters than start code, byte count, offset, type and checksum
    NoStartCode, // the first character is not ':'
    NotHexDigit, // a character after the start code is not a hex digit
    LengthMismatch, // the byte count does not match the number of digits in the line
    BadChecksum,
};

struct Check
{
    Defect defect = Defect::None;
    qsizetype column = 0; // 1-based column of a NoStartCode or NotHexDigit defect

    bool ok() const { return defect == Defect::None; }
};

// Shortest line that holds the record type, and the shortest type-04 line.
constexpr qsizetype MinLength = 9;
// Shortest complete record: ':', byte count, offset, type and checksum.
constexpr qsizetype MinRecordLength = 11;
constexpr qsizetype MinExtendedLinearLength = 13;
constexpr qsizetype DataStart = 9;

// The strict test of one line of an image file.
[[nodiscard]] Check check(QByteArrayView line);
// A short English description of a defect ("the checksum is wrong").
const char *defectText(Defect defect);

// The record type; the line must hold at least MinLength characters.
Type type(QByteArrayView line);
// The 16-bit load offset of a line of at least MinLength characters.
quint16 loadOffset(QByteArrayView line);
// The upper address word of a type-04 line of at least MinExtendedLinearLength characters
// (the upper address is this word times 0x10000).
quint16 upperAddressWord(QByteArrayView line);
// Number of whole data bytes in the line (a trailing lone digit is dropped).
qsizetype dataLength(QByteArrayView line);
// Data byte i (< dataLength) of the line.
quint8 dataByte(QByteArrayView line, qsizetype i);
// Appends the line's data bytes to out.
void appendData(QByteArrayView line, QByteArray &out);

} // namespace HexRecord
