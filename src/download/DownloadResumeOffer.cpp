#include "download/DownloadResumeOffer.h"

#include "base/SettingsStore.h"
#include "download/DownloadTransfer.h"
#include "transfer/ResumePoint.h"

#include <QMessageBox>

namespace DownloadResumeOffer {

namespace {

Answer askWithBox(QWidget *owner, const QString &text)
{
    QMessageBox box(QMessageBox::Question, QStringLiteral("Brasvik"), text,
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, owner);
    box.setObjectName(QStringLiteral("ResumePrompt"));
    box.setDefaultButton(QMessageBox::Yes);
    switch (box.exec()) {
    case QMessageBox::Yes:
        return Answer::Yes;
    case QMessageBox::No:
        return Answer::No;
    default:
        return Answer::Cancel; // also the close box and Esc
    }
}

} // namespace

QString questionText(qint32 sector)
{
    return QStringLiteral("The last download of this image stopped in sector %1. "
                          "Resume from there?")
        .arg(sector);
}

Choice offer(QWidget *owner, const DownloadRequest &request, int portIndex,
             const QString &recordPath, const Ask &ask)
{
    Choice choice;
    if (!DownloadTransfer::canResumeAt(request, request.firstSector))
        return choice; // retain values, the 4610 board: always whole
    const ResumePoint::Decision decision
        = ResumePoint::lookup(recordPath, SettingsStore::comPortDevicePath(portIndex),
                              DownloadTransfer::imageFingerprint(request), request.deviceType);
    if (!decision.canResume() || !DownloadTransfer::canResumeAt(request, decision.sector))
        return choice;
    const Answer answer = (ask ? ask : Ask(askWithBox))(owner, questionText(decision.sector));
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
