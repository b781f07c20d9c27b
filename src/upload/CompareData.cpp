#include "upload/CompareData.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr qint32 RelocatedStart = 0x6000;
constexpr qint32 RelocatedEnd = 0x6D00;
constexpr qint32 RelocatedShift = 0x6000;
constexpr qint32 BlankedStart = 0xC000;
constexpr qint32 BlankedEnd = 0xCD00;
constexpr qint32 ProgressStep = 256;

enum class Source { Image, ShiftedImage, Erased };

QString hexAddress(qint32 address)
{
    return QStringLiteral("%1").arg(address, 6, 16, QLatin1Char('0')).toUpper() + QLatin1Char('h');
}

} // namespace

bool imageIsRelocated(QByteArrayView image)
{
    if (image.size() < RelocatedStart + 4)
        return false;
    for (qint32 i = 0; i < 4; ++i) {
        if (quint8(image[RelocatedStart + i]) != 0xFF)
            return false;
    }
    return true;
}

CompareResult CompareData(QByteArrayView image, QByteArrayView uploaded, qint32 start, qint32 end,
                          bool relocationRule, const CompareProgress &progress)
{
    const bool relocated = relocationRule && imageIsRelocated(image);
    const qint64 imageSize = image.size();
    const qint64 uploadedSize = uploaded.size();
    const auto *img = reinterpret_cast<const quint8 *>(image.data());
    const auto *dev = reinterpret_cast<const quint8 *>(uploaded.data());

    CompareResult result;
    result.end = end;
    qint32 p = std::max(start, 0);
    if (progress)
        progress(p);

    // Works in runs that share one source of the expected bytes and end at the next multiple
    // of 256, so the progress report keeps its rhythm while the bytes are compared in bulk.
    while (p < end) {
        qint32 runEnd = std::min<qint32>(end, (p / ProgressStep + 1) * ProgressStep);
        Source source = Source::Image;
        if (relocated) {
            for (qint32 boundary : {RelocatedStart, RelocatedEnd, BlankedStart, BlankedEnd}) {
                if (p < boundary && boundary < runEnd)
                    runEnd = boundary;
            }
            if (p >= RelocatedStart && p < RelocatedEnd)
                source = Source::ShiftedImage;
            else if (p >= BlankedStart && p < BlankedEnd)
                source = Source::Erased;
        }

        // The expected byte at p comes from the image at p, p + 0x6000, or nowhere (0xFF); the
        // data read must hold p itself.
        qint32 available = runEnd;
        if (source == Source::Image)
            available = qint32(std::min<qint64>(available, imageSize));
        else if (source == Source::ShiftedImage)
            available = qint32(std::min<qint64>(available, imageSize - RelocatedShift));
        const qint32 imageLimit = available;
        available = qint32(std::min<qint64>(available, uploadedSize));
        available = std::max(available, p);

        qint32 mismatch = available;
        if (source == Source::Erased) {
            for (qint32 q = p; q < available; ++q) {
                if (dev[q] != 0xFF) {
                    mismatch = q;
                    break;
                }
            }
        } else {
            const quint8 *expected = img + (source == Source::ShiftedImage ? RelocatedShift : 0);
            if (std::memcmp(expected + p, dev + p, size_t(available - p)) != 0) {
                mismatch = qint32(std::mismatch(expected + p, expected + available, dev + p).first
                                  - expected);
            }
        }

        if (mismatch < available) {
            p = mismatch + 1;
            result.outcome = CompareResult::Outcome::Different;
            result.address = mismatch;
            break;
        }
        p = available;
        if (available < runEnd) {
            result.outcome = available >= imageLimit ? CompareResult::Outcome::ImageEnded
                                                     : CompareResult::Outcome::DataEnded;
            result.address = qint32(
                result.outcome == CompareResult::Outcome::ImageEnded ? imageSize : uploadedSize);
            break;
        }
        if (progress && p % ProgressStep == 0 && p < end)
            progress(p);
    }

    if (progress)
        progress(p);
    result.compared = p - std::max(start, 0);
    result.resultText = QStringLiteral("%1 bytes have been compared.\r\n\r\n").arg(result.compared);
    switch (result.outcome) {
    case CompareResult::Outcome::Equal:
        result.memoLine = QStringLiteral("Data compare complete!");
        result.resultText += QStringLiteral("Data compare successful!");
        break;
    case CompareResult::Outcome::Different:
        result.memoLine = QStringLiteral("Data compare aborted!");
        result.resultText += QStringLiteral("Different value at address %1 found!")
                                 .arg(hexAddress(result.address));
        break;
    case CompareResult::Outcome::ImageEnded:
        result.memoLine = QStringLiteral("Data compare aborted!");
        result.resultText
            += QStringLiteral("Image ends at address %1!\r\n"
                              "Data from %2 to %3 have not been compared!")
                   .arg(hexAddress(result.address), hexAddress(p), hexAddress(end - 1));
        break;
    case CompareResult::Outcome::DataEnded:
        result.memoLine = QStringLiteral("Data compare aborted!");
        result.resultText
            += QStringLiteral("Data read end at address %1!\r\n"
                              "Data from %2 to %3 have not been compared!")
                   .arg(hexAddress(result.address), hexAddress(p), hexAddress(end - 1));
        break;
    }
    return result;
}
