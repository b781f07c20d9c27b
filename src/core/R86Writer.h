#pragma once

#include "base/DeviceKind.h"

#include <QByteArray>
#include <QChar>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

struct ImageState;

// Remote-update (R86) files: a 40-character "File-ID" header, the CRC-16 of the data, the
// first and end sector bytes, the load address, the operating-system signature word and the
// flash data from the start of the image's region to its end.
namespace R86Writer {

constexpr qsizetype HeaderLength = 40;
constexpr qsizetype DataOffset = 50;

// The signature word of an operating-system image (no retain values, first sector 0, word at
// 0x200 is 0x5555, 0xA55A or 0xA5A5, else the word at 0x4200 is 0x5252); false otherwise.
// Only these images may be saved as R86.
[[nodiscard]] bool operatingSystemSignature(const ImageState &image, quint16 *signature);

// The region an R86 file of this image carries.
struct Range
{
    qint32 start = 0;
    qint32 end = 0; // exclusive
    qint32 endSector = 0; // the end-sector byte written to the file
};
Range dataRange(const ImageState &image, DeviceKind deviceType);

// The 40-character header for a CRC and a time stamp. Separators are the system's date and
// time separators; anything that is not a single character falls back to "." and ":".
QByteArray header(quint16 crc, const QDateTime &when, QChar dateSeparator, QChar timeSeparator);
QChar systemDateSeparator();
QChar systemTimeSeparator();

struct Result
{
    bool ok = false; // false: the region runs past the end of the buffer
    QByteArray file; // the whole file
    Range range;
};

// Assembles the file in memory. Does not change the image.
[[nodiscard]] Result build(const ImageState &image, DeviceKind deviceType, quint16 signature,
                           const QDateTime &when, QChar dateSeparator, QChar timeSeparator);

} // namespace R86Writer
