#include "shell/BrasvikDownload.h"

#include "core/ImageState.h"
#include "download/DownloadTransfer.h"

#include <QFileInfo>
#include <QMessageBox>

TBKDownloadForm::TBKDownloadForm(QWidget *owner, TKTSerial &serial, const ImageState &image,
                                 DeviceKind deviceType, const TSettings &settings,
                                 std::function<void(const QString &)> showBaudrate,
                                 const DownloadResumeOffer::Choice &resume,
                                 const TransferLinks &links)
    : TransferForm(owner, serial, QStringLiteral("TBKDownloadForm"), QStringLiteral("Close COM"),
                   links)
{
    setWindowTitle(QStringLiteral("Download - ") + QFileInfo(image.FileName).fileName());
    DownloadRequest request = DownloadRequest::fromImage(image, deviceType, settings);
    request.reportResumeSector = true;
    DownloadResumeOffer::apply(resume, &request);
    m_transfer = std::make_unique<DownloadTransfer>(link(), canLinks(), std::move(request),
                                                    transferSetup());
    present(*m_transfer, std::move(showBaudrate));
}

TBKDownloadForm::~TBKDownloadForm()
{
    // The transfer closes the ports and removes its serial handlers before the link goes.
    release();
    m_transfer.reset();
}

DownloadResumeOffer::Answer TBKDownloadForm::askResume(QWidget *owner, const QString &text)
{
    QMessageBox box(QMessageBox::Question, QStringLiteral("Brasvik"), text,
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, owner);
    box.setObjectName(QStringLiteral("ResumePrompt"));
    box.setDefaultButton(QMessageBox::Yes);
    switch (box.exec()) {
    case QMessageBox::Yes:
        return DownloadResumeOffer::Answer::Yes;
    case QMessageBox::No:
        return DownloadResumeOffer::Answer::No;
    default:
        return DownloadResumeOffer::Answer::Cancel;
    }
}
