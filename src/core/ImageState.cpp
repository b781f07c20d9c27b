#include "core/ImageState.h"

#include "core/B86Format.h"
#include "core/ContentText.h"

#include <QDir>
#include <QFileInfo>

void ImageState::reset()
{
    RetainData = false;
    ViewSize = FlashSize46xx;
    ImageBuffer.clear();
    FileName.clear();
}

bool ImageState::hasDataToDownload() const
{
    if (!hasImage())
        return false;
    const qint64 start = RetainData ? 0 : SectorStart(FirstSector);
    const qint64 end = qMin<qint64>(DataEnd, ImageBuffer.size());
    return start < end;
}

QString ImageState::noDataToDownloadText() const
{
    if (!hasImage())
        return QStringLiteral("There is no image to download.");
    return QStringLiteral("The image \"%1\" holds no data to program. Nothing was downloaded.")
        .arg(QDir::toNativeSeparators(FileName));
}

QString ImageState::caption() const
{
    if (FileName.isEmpty())
        return QStringLiteral("BrasvikV6");
    return QStringLiteral("BrasvikV6 - ") + QFileInfo(FileName).fileName();
}

QString ImageState::applyUploadedImage(DeviceKind deviceType)
{
    BinaryImage = true;
    FileName = UploadChoiceText + QStringLiteral(".b86");
    const QString content = ContentText(*this, deviceType);
    FirstSector = 0;
    EndSector = 0;
    if (RetainData) {
        ViewSize = DataEnd = deviceType == DeviceKind::Device46xx
            ? qint32(B86Format::LengthRetain46xx)
            : qint32(B86Format::LengthRetain4610);
    } else if (deviceType == DeviceKind::Device46xx) {
        B86Format::Trailer trailer;
        if (B86Format::readTrailer(ImageBuffer, &trailer)) {
            FirstSector = trailer.firstSector;
            EndSector = trailer.endSector;
        }
        DataEnd = EndSectorAddress(EndSector);
        ViewSize = FlashSize46xx;
    } else if (ImageBuffer.size() == B86Format::Length4610WithNv) {
        ViewSize = qint32(B86Format::Length4610WithNv);
        DataEnd = B86Format::DataEnd4610WithNv;
    }
    return content;
}

void ImageState::prepareCompare(DeviceKind deviceType, const QString &contentText)
{
    CompareMode = true;
    UploadChoiceText = contentText;
    if (!BinaryImage)
        EndSector
            = deviceType == DeviceKind::Device46xx ? LastSectorBelow(DataEnd) + 1 : EndSector4610;
}
