#include "download/DownloadResumeOffer.h"

#include "download/DownloadTransfer.h"
#include "transfer/ResumePoint.h"

namespace DownloadResumeOffer {

QString questionText(qint32 sector)
{
    return QStringLiteral("The last download of this image stopped in sector %1. "
                          "Resume from there?")
        .arg(sector);
}

Choice offer(QWidget *owner, const DownloadRequest &request, const QString &portPath, const Ask &ask,
             const QString &recordPath)
{
    Choice choice;
    if (!DownloadTransfer::canResumeAt(request, request.firstSector))
        return choice; // retain values, the 4610 board: always whole
    const ResumePoint::Decision decision
        = ResumePoint::lookup(recordPath, portPath,
                              DownloadTransfer::imageFingerprint(request), request.deviceType);
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

void apply(const Choice &choice, DownloadRequest *request)
{
    if (choice.kind != Choice::Kind::Resume)
        return;
    request->resumeSector = choice.sector;
    request->resumeNote = choice.note;
}

} // namespace DownloadResumeOffer
