#include "shell/HexLayout.h"

#include "base/BKGlobal.h"

#include <algorithm>
#include <array>

namespace HexLayout {

namespace {

// Sector starts shared by both device kinds; which apply depends on the device and direction.
enum class Cond { Always, Board, AnyDevice };
struct Boundary
{
    qint32 address;
    Cond right;
    Cond left;
};
constexpr std::array<Boundary, 9> Boundaries {{
    {0x04000, Cond::Always, Cond::Always},
    {0x06000, Cond::Always, Cond::Always},
    {0x08000, Cond::Always, Cond::Always},
    {0x10000, Cond::Always, Cond::Always},
    {0x18000, Cond::Board, Cond::Board},
    {0x20000, Cond::Always, Cond::Always},
    {0x30000, Cond::AnyDevice, Cond::AnyDevice},
    {0x40000, Cond::AnyDevice, Cond::AnyDevice},
    {0x50000, Cond::Always, Cond::AnyDevice},
}};
// 64 KiB sectors of the 46xx devices above the shared part.
constexpr qint32 UpperFirst = 0x60000;
constexpr qint32 UpperLast = 0xF0000;
constexpr qint32 UpperStep = 0x10000;
constexpr qint32 LastLine46xx = 0xFFFF;

bool holds(Cond c, DeviceKind deviceType)
{
    switch (c) {
    case Cond::Always:
        return true;
    case Cond::Board:
        return deviceType == DeviceKind::Board4610;
    case Cond::AnyDevice:
        return deviceType == DeviceKind::Device46xx || deviceType == DeviceKind::Board4610;
    }
    return false;
}

constexpr char HexDigits[] = "0123456789abcdef";

// Windows-1252 in 0x80..0x9F; the five undefined codes stay as their Latin-1 controls.
constexpr std::array<char16_t, 32> Cp1252High {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

} // namespace

int scrollMaximum(qint32 viewSize, int lineHeight, int pageLines)
{
    return std::max(0, viewSize / BytesPerLine - std::max(1, pageLines)) * lineHeight;
}

int largeStep(int clientHeight, int lineHeight)
{
    if (lineHeight <= 0)
        return 1;
    const int lines = std::max(1, clientHeight / lineHeight);
    return std::clamp(lines * lineHeight, 1, MaxStep);
}

qint32 firstLineAddress(int position, int lineHeight)
{
    return lineHeight > 0 ? (std::max(0, position) / lineHeight) * BytesPerLine : 0;
}

int positionOf(qint32 address, int lineHeight)
{
    return (address / BytesPerLine) * lineHeight;
}

int visibleLines(int clientHeight, int lineHeight)
{
    return lineHeight > 0 ? (std::max(0, clientHeight) + lineHeight - 1) / lineHeight : 0;
}

QByteArrayView lineBytes(QByteArrayView buffer, qint32 address)
{
    if (address < 0 || address >= buffer.size())
        return {};
    return buffer.sliced(address, std::min<qsizetype>(BytesPerLine, buffer.size() - address));
}

QString addressText(qint32 address)
{
    QString s(AddressChars, u'0');
    quint32 v = quint32(address);
    for (int i = AddressChars - 1; i >= 0; --i, v >>= 4)
        s[i] = QLatin1Char(HexDigits[v & 0xF]);
    return s;
}

QString dataText(QByteArrayView bytes)
{
    QString s(DataChars, u' ');
    QChar *out = s.data();
    for (int i = 0; i < BytesPerLine; ++i) {
        const quint8 b = i < bytes.size() ? quint8(bytes[i]) : MissingByte;
        out[i * 3] = QLatin1Char(HexDigits[b >> 4]);
        out[i * 3 + 1] = QLatin1Char(HexDigits[b & 0xF]);
    }
    return s;
}

QChar ansiChar(quint8 byte)
{
    if (byte >= 0x80 && byte < 0xA0)
        return QChar(Cp1252High[byte - 0x80]);
    return QChar(char16_t(byte));
}

QString asciiText(QByteArrayView bytes)
{
    QString s(AsciiChars, u' ');
    QChar *out = s.data();
    for (int i = 0; i < BytesPerLine; ++i) {
        const quint8 b = i < bytes.size() ? quint8(bytes[i]) : MissingByte;
        out[i] = b == 0 ? QChar(u' ') : ansiChar(b);
    }
    return s;
}

int rightTarget(int position, int lineHeight, DeviceKind deviceType, qint64 bufferLength)
{
    for (const Boundary &b : Boundaries) {
        const int target = positionOf(b.address, lineHeight);
        if (target > position && holds(b.right, deviceType))
            return target;
    }
    if (deviceType == DeviceKind::Board4610)
        return int((bufferLength / BytesPerLine) - 1) * lineHeight;
    for (qint32 a = UpperFirst; a <= UpperLast; a += UpperStep) {
        const int target = positionOf(a, lineHeight);
        if (target > position)
            return target;
    }
    return LastLine46xx * lineHeight;
}

int leftTarget(int position, int lineHeight, DeviceKind deviceType)
{
    if (deviceType == DeviceKind::Device46xx) {
        for (qint32 a = UpperLast; a >= UpperFirst; a -= UpperStep) {
            const int target = positionOf(a, lineHeight);
            if (target < position)
                return target;
        }
    }
    for (auto it = Boundaries.rbegin(); it != Boundaries.rend(); ++it) {
        const int target = positionOf(it->address, lineHeight);
        if (target < position && holds(it->left, deviceType))
            return target;
    }
    return 0;
}

quint16 lineMarks(const QList<MarkRun> &runs, qint32 address)
{
    const qint32 lineEnd = address + BytesPerLine;
    // The first run that ends after the line's start.
    auto it = std::upper_bound(runs.cbegin(), runs.cend(), address,
                               [](qint32 a, const MarkRun &run) { return a < run.end; });
    quint16 marks = 0;
    for (; it != runs.cend() && it->start < lineEnd; ++it) {
        const qint32 from = std::max(it->start, address) - address;
        const qint32 to = std::min(it->end, lineEnd) - address;
        for (qint32 i = from; i < to; ++i)
            marks |= quint16(1u << i);
    }
    return marks;
}

quint64 dataCells(quint16 marks)
{
    quint64 cells = 0;
    for (int i = 0; i < BytesPerLine; ++i) {
        if (marks & (1u << i))
            cells |= quint64(3) << (3 * i);
    }
    return cells;
}

quint64 asciiCells(quint16 marks)
{
    return marks;
}

} // namespace HexLayout
