#include "core/HexRecord.h"

#include "core/SectorMap.h"

#include <array>

namespace HexRecord {

namespace {

// HexDigitValue as a table: the reader converts every digit of a file through it.
constexpr std::array<quint8, 256> makeDigitTable()
{
    std::array<quint8, 256> t {};
    for (int c = 0; c < 256; ++c)
        t[c] = quint8(HexDigitValue(char(c)));
    return t;
}

constexpr std::array<quint8, 256> digit = makeDigitTable();

// Digit values for the strict check: NotHex marks every character that is not a hex digit.
constexpr quint8 NotHex = 0x10;

constexpr std::array<quint8, 256> makeStrictTable()
{
    std::array<quint8, 256> t {};
    for (int c = 0; c < 256; ++c) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
        t[c] = hex ? quint8(HexDigitValue(char(c))) : NotHex;
    }
    return t;
}

constexpr std::array<quint8, 256> strictDigit = makeStrictTable();

} // namespace

Check check(QByteArrayView line)
{
    Check result;
    if (line.size() < MinRecordLength) {
        result.defect = Defect::TooShort;
        return result;
    }
    if (line[0] != ':') {
        result.defect = Defect::NoStartCode;
        result.column = 1;
        return result;
    }
    // One pass over the digit pairs: validity and the byte sum together (this runs for every
    // record of a 1 MiB image).
    const uchar *const text = reinterpret_cast<const uchar *>(line.data());
    const qsizetype size = line.size();
    quint8 sum = 0;
    qsizetype i = 1;
    for (; i + 1 < size; i += 2) {
        const quint8 hi = strictDigit[text[i]];
        const quint8 lo = strictDigit[text[i + 1]];
        if ((hi | lo) & NotHex) {
            result.defect = Defect::NotHexDigit;
            result.column = (hi & NotHex) ? i + 1 : i + 2;
            return result;
        }
        sum += quint8(hi << 4 | lo);
    }
    if (i < size && (strictDigit[text[i]] & NotHex)) {
        result.defect = Defect::NotHexDigit;
        result.column = i + 1;
        return result;
    }
    // Count, offset (two bytes), type, data and checksum as digit pairs after the start code.
    const qsizetype digits = size - 1;
    const quint8 count = quint8(strictDigit[text[1]] << 4 | strictDigit[text[2]]);
    if (digits % 2 != 0 || digits / 2 != qsizetype(count) + 5) {
        result.defect = Defect::LengthMismatch;
        return result;
    }
    if (sum != 0)
        result.defect = Defect::BadChecksum;
    return result;
}

const char *defectText(Defect defect)
{
    switch (defect) {
    case Defect::None:
        return "no defect";
    case Defect::TooShort:
        return "it is too short for a record";
    case Defect::NoStartCode:
        return "it does not begin with ':'";
    case Defect::NotHexDigit:
        return "it holds a character that is not a hexadecimal digit";
    case Defect::LengthMismatch:
        return "its byte count does not match its length";
    case Defect::BadChecksum:
        return "its checksum is wrong";
    }
    return "";
}

Type type(QByteArrayView line)
{
    Q_ASSERT(line.size() >= MinLength);
    const char hi = line[7];
    const char lo = line[8];
    if (hi != '0')
        return Type::Other;
    switch (lo) {
    case '0':
        return Type::Data;
    case '4':
        return Type::ExtendedLinear;
    case '2':
        return Type::ExtendedSegment;
    default:
        return Type::Other;
    }
}

quint16 loadOffset(QByteArrayView line)
{
    Q_ASSERT(line.size() >= MinLength);
    return quint16(HexDigitValue(line[3]) << 12 | HexDigitValue(line[4]) << 8
                   | HexDigitValue(line[5]) << 4 | HexDigitValue(line[6]));
}

quint16 upperAddressWord(QByteArrayView line)
{
    Q_ASSERT(line.size() >= MinExtendedLinearLength);
    return quint16(HexDigitValue(line[9]) << 12 | HexDigitValue(line[10]) << 8
                   | HexDigitValue(line[11]) << 4 | HexDigitValue(line[12]));
}

qsizetype dataLength(QByteArrayView line)
{
    // The data field runs from index 9 up to the two checksum characters.
    const qsizetype digits = line.size() - DataStart - 2;
    return digits > 0 ? digits / 2 : 0;
}

quint8 dataByte(QByteArrayView line, qsizetype i)
{
    const qsizetype at = DataStart + 2 * i;
    return quint8(digit[uchar(line[at])] << 4 | digit[uchar(line[at + 1])]);
}

void appendData(QByteArrayView line, QByteArray &out)
{
    const qsizetype n = dataLength(line);
    const qsizetype base = out.size();
    out.resize(base + n);
    char *dst = out.data() + base;
    for (qsizetype i = 0; i < n; ++i)
        dst[i] = char(dataByte(line, i));
}

} // namespace HexRecord
