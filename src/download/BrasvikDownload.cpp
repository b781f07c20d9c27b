#include "download/BrasvikDownload.h"

#include "core/ImageState.h"
#include "download/DownloadTransfer.h"

#include <QFileInfo>

TBKDownloadForm::TBKDownloadForm(QWidget *owner, TKTSerial &serial, const ImageState &image,
                                 quint8 deviceType, const TSettings &settings,
                                 std::function<void(const QString &)> showBaudrate,
                                 const TransferLinks &links)
    : TransferForm(owner, serial, QStringLiteral("TBKDownloadForm"), QStringLiteral("Close COM"),
                   links)
{
    setWindowTitle(QStringLiteral("Download - ") + QFileInfo(image.FileName).fileName());
    m_transfer = std::make_unique<DownloadTransfer>(
        link(), canLinks(), DownloadRequest::fromImage(image, deviceType, settings));
    present(*m_transfer, std::move(showBaudrate));
}

TBKDownloadForm::~TBKDownloadForm()
{
    // The transfer closes the ports and removes its serial handlers before the link goes.
    release();
    m_transfer.reset();
}
