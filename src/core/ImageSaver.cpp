#include "core/ImageSaver.h"

#include "core/ImageState.h"
#include "core/OutputFile.h"
#include "core/R86Writer.h"

#include <QDir>
#include <QFileInfo>

namespace ImageSaver {

namespace {

Result failed(Outcome outcome, const QString &text)
{
    Result result;
    result.outcome = outcome;
    result.message.text = text;
    result.message.icon = UserMessage::Icon::Error;
    return result;
}

QString hexNumber(qint64 n)
{
    return QStringLiteral("0x")
        + QString::number(n, 16).toUpper().rightJustified(5, QLatin1Char('0'));
}

Result writeFile(const QString &path, QByteArrayView data, Outcome success)
{
    QString error;
    if (!writeFileAtomically(path, data, &error))
        return failed(Outcome::WriteFailed,
                      QStringLiteral("Cannot write the file \"%1\":\n%2")
                          .arg(QDir::toNativeSeparators(path), error));
    Result result;
    result.outcome = success;
    return result;
}

Result saveB86(const ImageState &image, const QString &path)
{
    return writeFile(path, image.ImageBuffer, Outcome::WroteB86);
}

Result saveR86(ImageState &image, DeviceKind deviceType, quint16 signature, const QString &path,
               const QDateTime &now)
{
    const R86Writer::Result r86
        = R86Writer::build(image, deviceType, signature, now, R86Writer::systemDateSeparator(),
                           R86Writer::systemTimeSeparator());
    if (!r86.ok)
        return failed(Outcome::Refused,
                      QStringLiteral("The image is too short for a remote update file: its region "
                                     "ends at %1, but the image holds only %2 bytes. Nothing was "
                                     "written.")
                          .arg(hexNumber(r86.range.end), hexNumber(image.ImageBuffer.size())));
    Result result = writeFile(path, r86.file, Outcome::WroteR86);
    // The end sector of an image from an H86 file is worked out afresh for every R86 file.
    if (result.ok() && deviceType == DeviceKind::Device46xx && !image.BinaryImage)
        image.EndSector = 0;
    return result;
}

} // namespace

QString baseName(const ImageState &image)
{
    const QString suffix = QFileInfo(image.FileName).suffix();
    if (suffix.isEmpty())
        return image.FileName;
    return image.FileName.left(image.FileName.size() - suffix.size() - 1);
}

bool offersR86(const ImageState &image)
{
    return R86Writer::operatingSystemSignature(image, nullptr);
}

Result SaveImageFile(ImageState &image, DeviceKind deviceType, const QString &path,
                     const QDateTime &now)
{
    quint16 signature = 0;
    if (!R86Writer::operatingSystemSignature(image, &signature)) {
        Result result = saveB86(image, path);
        if (result.ok())
            image.FileName = path;
        return result;
    }

    const QString extension = QFileInfo(path).suffix().toUpper();
    if (extension == QLatin1String("B86")) {
        Result result = saveB86(image, path);
        if (result.ok()) {
            image.FileName = path;
            image.BinaryImage = true;
        }
        return result;
    }
    if (extension == QLatin1String("R86"))
        return saveR86(image, deviceType, signature, path, now);
    return {};
}

bool writeFileAtomically(const QString &path, QByteArrayView data, QString *errorText)
{
    OutputFile file(path);
    if (file.commit(data))
        return true;
    if (errorText)
        *errorText = file.errorString();
    return false;
}

} // namespace ImageSaver
