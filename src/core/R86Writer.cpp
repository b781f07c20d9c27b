#include "core/R86Writer.h"

#include "core/Crc16.h"
#include "core/ImageState.h"
#include "core/SectorMap.h"

#include <QLocale>
#include <QtEndian>

namespace R86Writer {

namespace {

constexpr qint32 SignatureOffset = 0x200;
constexpr qint32 AlternativeSignatureOffset = 0x4200;
constexpr quint16 AlternativeSignature = 0x5252;
constexpr qint32 LoadAddress46xx = 0x100000;
// A 4610 image carries its NV parameters up to here when it came from a B86 file or an upload.
constexpr qint32 DataEnd4610WithNv = 0x50804;

bool wordAt(const QByteArray &buffer, qint32 offset, quint16 *word)
{
    if (buffer.size() < offset + 2)
        return false;
    *word = qFromLittleEndian<quint16>(buffer.constData() + offset);
    return true;
}

// The first character of a locale format that separates its fields.
QChar separatorOf(const QString &format, QChar fallback)
{
    for (QChar c : format) {
        if (!c.isLetter())
            return c.isSpace() || c == QLatin1Char('\'') || c.unicode() > 0xFF ? fallback : c;
    }
    return fallback;
}

QByteArray twoDigits(int n)
{
    return QByteArray::number(n).rightJustified(2, '0');
}

} // namespace

bool operatingSystemSignature(const ImageState &image, quint16 *signature)
{
    if (image.RetainData || image.FirstSector != 0)
        return false;
    quint16 word = 0;
    bool found = false;
    if (wordAt(image.ImageBuffer, SignatureOffset, &word))
        found = word == 0x5555 || word == 0xA55A || word == 0xA5A5;
    if (!found && wordAt(image.ImageBuffer, AlternativeSignatureOffset, &word))
        found = word == AlternativeSignature;
    if (found && signature)
        *signature = word;
    return found;
}

Range dataRange(const ImageState &image, DeviceKind deviceType)
{
    Range range;
    if (deviceType == DeviceKind::Device46xx) {
        range.endSector = image.BinaryImage ? image.EndSector : LastSectorBelow(image.DataEnd) + 1;
        range.start = SectorStart(image.FirstSector);
        range.end = EndSectorAddress(range.endSector);
    } else {
        range.endSector = image.EndSector;
        range.start = 0;
        range.end = image.BinaryImage ? DataEnd4610WithNv : FlashSize4610;
    }
    return range;
}

QByteArray header(quint16 crc, const QDateTime &when, QChar dateSeparator, QChar timeSeparator)
{
    const auto latin1 = [](QChar c, char fallback) {
        return c.unicode() > 0 && c.unicode() <= 0xFF ? char(c.unicode()) : fallback;
    };
    const char ds = latin1(dateSeparator, '.');
    const char ts = latin1(timeSeparator, ':');
    const QDate date = when.date();
    const QTime time = when.time();
    QByteArray text = QByteArrayLiteral("File-ID: <0x");
    text += QByteArray::number(crc, 16).toUpper().rightJustified(4, '0');
    text += '@';
    text += twoDigits(date.day()) + ds + twoDigits(date.month()) + ds
        + QByteArray::number(qBound(0, date.year(), 9999)).rightJustified(4, '0');
    text += '/';
    text += twoDigits(time.hour()) + ts + twoDigits(time.minute()) + ts + twoDigits(time.second());
    text += "> * ";
    Q_ASSERT(text.size() == HeaderLength);
    return text;
}

QChar systemDateSeparator()
{
    return separatorOf(QLocale::system().dateFormat(QLocale::ShortFormat), QLatin1Char('.'));
}

QChar systemTimeSeparator()
{
    return separatorOf(QLocale::system().timeFormat(QLocale::ShortFormat), QLatin1Char(':'));
}

Result build(const ImageState &image, DeviceKind deviceType, quint16 signature,
             const QDateTime &when, QChar dateSeparator, QChar timeSeparator)
{
    Result result;
    result.range = dataRange(image, deviceType);
    const Range &range = result.range;
    if (range.start > range.end || range.end > image.ImageBuffer.size())
        return result;

    const qint32 loadAddress = deviceType == DeviceKind::Device46xx
        ? SectorStart(image.FirstSector) + LoadAddress46xx
        : 0;
    const QByteArrayView data(image.ImageBuffer.constData() + range.start, range.end - range.start);

    QByteArray &file = result.file;
    file.reserve(DataOffset + data.size());
    file += QByteArrayLiteral("File-ID: <0x0000/xx.xx.xxxx/xx:xx:xx> * ");
    file += "\xFF\xFF";
    file += char(image.FirstSector & 0xFF);
    file += char(range.endSector & 0xFF);
    char field[4];
    qToLittleEndian<qint32>(loadAddress, field);
    file.append(field, 4);
    qToLittleEndian<quint16>(signature, field);
    file.append(field, 2);
    file += data;

    const quint16 crc = Crc16::compute(data);
    file.replace(0, HeaderLength, header(crc, when, dateSeparator, timeSeparator));
    file[HeaderLength] = char(crc & 0xFF);
    file[HeaderLength + 1] = char(crc >> 8);
    result.ok = true;
    return result;
}

} // namespace R86Writer
