#include "download/DownloadResumeOffer.h"

#include "core/SectorMap.h"
#include "download/DownloadFrames.h"
#include "download/DownloadTransfer.h"

namespace DownloadResumeOffer {

QString questionText(qint32 sector)
{
    return QStringLiteral("The last download of this image stopped in sector %1. "
                          "Resume from there? No programs the whole image.")
        .arg(sector);
}

Choice offer(QWidget *owner, const DownloadRequest &request, const QString &portPath, const Ask &ask,
             const QString &recordPath)
{
    Choice choice;
    if (!DownloadTransfer::canResumeAt(request, request.firstSector))
        return choice; // retain values, the 4610 board: always whole
    const ResumePoint::Decision decision
        = ResumePoint::lookup(recordPath, portPath, DownloadTransfer::imageFingerprint(request),
                              request.deviceType, dataBytes(request));
    if (!decision.canResume() || !DownloadTransfer::canResumeAt(request, decision.sector))
        return choice;
    const Answer answer = ask(owner, questionText(decision.sector));
    if (answer == Answer::Cancel) {
        choice.kind = Choice::Kind::Cancel;
    } else if (answer == Answer::Yes) {
        choice.kind = Choice::Kind::Resume;
        choice.sector = decision.sector;
        choice.note = ResumePoint::resumingText(decision);
    }
    return choice;
}

ResumePoint::DataBytes dataBytes(const DownloadRequest &request)
{
    // Only the flash of a 46xx device is ever resumed, so the board's limit plays no part.
    return [image = request.image, dataEnd = request.dataEnd](qint32 from, qint32 to) {
        qint64 bytes = 0;
        const qint64 end = SectorStart(qMin(to, SectorCount));
        qint64 position = SectorStart(from);
        while (position < end) {
            const DownloadFrames::FlashBlock block
                = DownloadFrames::nextFlashBlock(image, position, dataEnd, false);
            if (block.data.isEmpty() || block.start >= end)
                break;
            bytes += block.data.size();
            position = block.nextPosition;
        }
        return bytes;
    };
}

void apply(const Choice &choice, DownloadRequest *request)
{
    if (choice.kind != Choice::Kind::Resume)
        return;
    request->resumeSector = choice.sector;
    request->resumeNote = choice.note;
}

} // namespace DownloadResumeOffer
