#include "core/ImageLoader.h"

#include "core/B86Format.h"
#include "core/ContentText.h"
#include "core/H86Reader.h"
#include "core/HexRecord.h"
#include "core/ImageState.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <algorithm>

Q_LOGGING_CATEGORY(lcImage, "brasvik.image", QtWarningMsg)

namespace ImageLoader {

namespace {

// A full 1 MiB image with one data byte per record is about 15 MB of text; anything far
// beyond that is not an image and is refused before it is read into memory.
constexpr qint64 MaxH86FileSize = 256 * 1024 * 1024;

Result failure(Error error, const QString &text)
{
    Result result;
    result.error = error;
    result.message.text = text;
    result.message.icon = UserMessage::Icon::Error;
    return result;
}

QString shownName(const QString &displayName)
{
    return displayName.isEmpty() ? QStringLiteral("(data)") : QDir::toNativeSeparators(displayName);
}

// "the 1 MiB flash of the VMC 46xx": the flash a type-04 record was measured against.
QString flashOf(DeviceKind deviceType)
{
    return deviceType == DeviceKind::Board4610
        ? QStringLiteral("the %1 KiB flash of the VMC 4610 board").arg(FlashSize4610 / 1024)
        : QStringLiteral("the %1 MiB flash of the VMC 46xx").arg(FlashSize46xx / 0x100000);
}

Result h86Failure(const H86Reader::Result &read, DeviceKind deviceType, const QString &displayName)
{
    const QString name = shownName(displayName);
    switch (read.error) {
    case H86Reader::Error::InvalidHexFileType:
        return failure(Error::InvalidHexFileType, TextInvalidHexFileType);
    case H86Reader::Error::DeviceMismatch:
        return failure(Error::DeviceMismatch, TextDeviceMismatch);
    case H86Reader::Error::LineTooShort:
        return failure(Error::LineTooShort,
                       QStringLiteral("Line %1 of the file \"%2\" is too short for an H86 record.")
                           .arg(read.line)
                           .arg(name));
    case H86Reader::Error::NotText:
        return failure(
            Error::NotText,
            QStringLiteral("The file \"%1\" is not a text file (binary data in line %2).")
                .arg(name)
                .arg(read.line));
    case H86Reader::Error::InvalidRecord: {
        QString where = QString::number(read.line);
        if (read.record.column > 0)
            where += QStringLiteral(", column %1").arg(read.record.column);
        return failure(
            Error::InvalidRecord,
            QStringLiteral("Line %1 of the file \"%2\" is not a valid H86 record: %3.")
                .arg(where, name, QLatin1String(HexRecord::defectText(read.record.defect))));
    }
    case H86Reader::Error::NoData:
        return failure(Error::NoData,
                       QStringLiteral("The file \"%1\" holds no data records.").arg(name));
    case H86Reader::Error::UpperAddressBeyondFlash:
        return failure(
            Error::UpperAddressBeyondFlash,
            QStringLiteral("Line %1 of the file \"%2\" sets the upper address %3h, beyond %4.")
                .arg(QString::number(read.line), name,
                     QStringLiteral("%1").arg(read.upperAddress, 8, 16, QLatin1Char('0')).toUpper(),
                     flashOf(deviceType)));
    case H86Reader::Error::None:
        break;
    }
    Q_UNREACHABLE();
    return {};
}

// Opens a regular file for reading; a failure result otherwise.
Result openForReading(QFile &file)
{
    const QString name = QDir::toNativeSeparators(file.fileName());
    const QFileInfo info(file.fileName());
    if (info.exists() && !info.isFile())
        return failure(
            Error::CannotOpen,
            QStringLiteral("Cannot open the file \"%1\": it is not a regular file.").arg(name));
    if (!file.open(QIODevice::ReadOnly))
        return failure(
            Error::CannotOpen,
            QStringLiteral("Cannot open the file \"%1\":\n%2").arg(name, file.errorString()));
    return {};
}

Result readFailure(const QFile &file, const QString &reason)
{
    return failure(Error::CannotRead,
                   QStringLiteral("Cannot read the file \"%1\":\n%2")
                       .arg(QDir::toNativeSeparators(file.fileName()), reason));
}

// Reads exactly `size` bytes; false with the reason when a read fails or the file ends early
// (it shrank after its size was taken).
bool readExactly(QFile &file, qint64 size, QByteArray *data, QString *reason)
{
    data->resize(size);
    qint64 done = 0;
    while (done < size) {
        const qint64 n = file.read(data->data() + done, size - done);
        if (n < 0) {
            *reason = file.errorString();
            return false;
        }
        if (n == 0) {
            *reason = QStringLiteral("The file ended after %1 of its %2 bytes; it was changed "
                                     "while it was read.")
                          .arg(done)
                          .arg(size);
            return false;
        }
        done += n;
    }
    return true;
}

Result readH86File(ImageState &image, const QString &path, DeviceKind deviceType)
{
    QFile file(path);
    if (Result opened = openForReading(file); !opened.ok())
        return opened;
    const qint64 size = file.size();
    if (size > MaxH86FileSize)
        return failure(Error::CannotRead,
                       QStringLiteral("The file \"%1\" is too large for an H86 image.")
                           .arg(QDir::toNativeSeparators(path)));
    QByteArray text;
    QString reason;
    if (!readExactly(file, size, &text, &reason))
        return readFailure(file, reason);
    return LoadH86Data(image, text, deviceType, path);
}

Result readB86File(ImageState &image, const QString &path, DeviceKind &deviceType)
{
    QFile file(path);
    if (Result opened = openForReading(file); !opened.ok())
        return opened;
    // The length decides the kind, so a file of any other length is refused unread.
    const qint64 size = file.size();
    if (B86Format::kindOfLength(size) == B86Format::Kind::Invalid)
        return failure(Error::InvalidFileType, TextInvalidFileType);
    QByteArray data;
    QString reason;
    if (!readExactly(file, size, &data, &reason))
        return readFailure(file, reason);
    return LoadB86Data(image, data, deviceType, path);
}

} // namespace

Result LoadH86Data(ImageState &image, QByteArrayView text, DeviceKind deviceType,
                   const QString &displayName)
{
    image.BinaryImage = false;
    image.RetainData = false;
    const qint32 size = deviceType == DeviceKind::Board4610 ? FlashSize4610 : FlashSize46xx;
    image.ImageBuffer = QByteArray(size, char(0xFF));
    image.ViewSize = size;
    image.FirstSector = 0;
    image.DataEnd = 0;

    const H86Reader::Result read = H86Reader::read(text, image.ImageBuffer);
    if (!read.ok()) {
        qCDebug(lcImage) << "H86 reading failed in line" << read.line;
        image.reset();
        return h86Failure(read, deviceType, displayName);
    }
    image.DataEnd = read.dataEnd;
    if (deviceType == DeviceKind::Device46xx) {
        image.EndSector = LastSectorBelow(image.DataEnd) + 1;
        // The trailer marks a saved image as an operating-system image. Stored files and peers
        // expect the operating-system range there; data past it widens the range to the one a
        // download of this image uses, or a B86 saved from it would leave that data behind.
        B86Format::appendTrailer(
            image.ImageBuffer,
            {image.FirstSector, std::max(OperatingSystemEndSector, image.EndSector)});
    } else {
        image.EndSector = 0;
    }
    Result result;
    result.contentText = ContentText(image, deviceType);
    return result;
}

Result LoadB86Data(ImageState &image, QByteArrayView data, DeviceKind &deviceType,
                   const QString &displayName)
{
    Q_UNUSED(displayName);
    const B86Format::Kind kind = B86Format::kindOfLength(data.size());
    B86Format::Trailer trailer;
    bool valid = kind != B86Format::Kind::Invalid;
    // A trailer with a nonsense sector range would send the device a nonsense range to erase.
    if (kind == B86Format::Kind::FlashWithTrailer)
        valid = B86Format::readTrailer(data, &trailer) && trailer.isValid();
    if (!valid) {
        image.reset();
        return failure(Error::InvalidFileType, TextInvalidFileType);
    }

    image.BinaryImage = true;
    image.ImageBuffer = data.toByteArray();
    image.FirstSector = 0;
    image.EndSector = 0;
    image.RetainData = false;
    image.ViewSize = FlashSize46xx;
    switch (kind) {
    case B86Format::Kind::Retain46xx:
        image.ViewSize = image.DataEnd = qint32(B86Format::LengthRetain46xx);
        image.RetainData = true;
        deviceType = DeviceKind::Device46xx;
        break;
    case B86Format::Kind::Retain4610:
        image.ViewSize = image.DataEnd = qint32(B86Format::LengthRetain4610);
        image.RetainData = true;
        deviceType = DeviceKind::Board4610;
        break;
    case B86Format::Kind::Firmware4610WithNv:
        image.ViewSize = qint32(B86Format::Length4610WithNv);
        image.DataEnd = B86Format::DataEnd4610WithNv;
        deviceType = DeviceKind::Board4610;
        break;
    case B86Format::Kind::Flash46xx:
        image.DataEnd = FlashSize46xx;
        deviceType = DeviceKind::Device46xx;
        break;
    case B86Format::Kind::FlashWithTrailer:
        image.FirstSector = trailer.firstSector;
        image.EndSector = trailer.endSector;
        image.DataEnd = EndSectorAddress(image.EndSector);
        deviceType = DeviceKind::Device46xx;
        break;
    case B86Format::Kind::Invalid:
        Q_UNREACHABLE();
    }
    Result result;
    result.contentText = ContentText(image, deviceType);
    return result;
}

bool isH86Path(const QString &path)
{
    // .hex and .ihx are what other toolchains call the same Intel HEX files.
    const QString suffix = QFileInfo(path).suffix();
    for (const auto extension :
         {QLatin1String("h86"), QLatin1String("hex"), QLatin1String("ihx")}) {
        if (suffix.compare(extension, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

Result LoadImageFile(ImageState &image, const QString &path, DeviceKind &deviceType,
                     const AskDeviceType &askDeviceType)
{
    const bool h86 = isH86Path(path);
    const DeviceKind previous = deviceType;
    if (h86) {
        deviceType = DeviceKind::None;
        if (!askDeviceType || !askDeviceType(deviceType)) {
            deviceType = previous;
            Result cancelled;
            cancelled.error = Error::Cancelled;
            return cancelled;
        }
    }

    // Read into a copy (it shares no bytes once reset), so that a refusal which keeps the
    // previous image has it intact.
    ImageState loaded = image;
    loaded.reset();
    Result result;
    if (h86)
        result = readH86File(loaded, path, deviceType);
    else if (QFileInfo(path).suffix().compare(QLatin1String("b86"), Qt::CaseInsensitive) == 0)
        result = readB86File(loaded, path, deviceType);
    else
        result = failure(Error::InvalidFileType, TextInvalidFileType);

    if (!result.ok()) {
        qCDebug(lcImage) << "loading" << path << "failed:" << result.message.text;
        if (result.imageKept())
            deviceType = previous;
        else
            image.reset();
        return result;
    }
    loaded.FileName = path;
    image = std::move(loaded);
    return result;
}

} // namespace ImageLoader
