#include "upload/BrasvikUpload.h"

#include "core/ImageState.h"
#include "upload/UploadTransfer.h"

#include <QMessageBox>

TBKUploadForm::TBKUploadForm(QWidget *owner, TKTSerial &serial, ImageState &image,
                             DeviceKind deviceType, const TSettings &settings,
                             std::function<void(const QString &)> showBaudrate,
                             const TransferLinks &links)
    : TransferForm(owner, serial, QStringLiteral("TBKUploadForm"),
                   QStringLiteral("Close interface"), links)
    , m_image(image)
{
    setWindowFlag(Qt::WindowSystemMenuHint);
    m_transfer
        = std::make_unique<UploadTransfer>(UploadSetup::fromSelections(image, deviceType, settings),
                                           link(), canLinks(), transferSetup());
    setWindowTitle(m_transfer->caption());

    present(*m_transfer, std::move(showBaudrate));
}

TBKUploadForm::~TBKUploadForm()
{
    // The transfer closes the interfaces and removes its serial handlers before the link goes.
    release();
    m_transfer.reset();
}

void TBKUploadForm::transferFinished(const TransferRecord &record)
{
    if (record.compared) {
        // The image is only read; whatever the outcome, it stays as it is.
        const CompareResult &compared = m_transfer->compareResult();
        QMessageBox box(record.compareEqual ? QMessageBox::Information : QMessageBox::Critical,
                        compared.title(), record.compareText, QMessageBox::Ok, this);
        box.setObjectName(QStringLiteral("CompareBox"));
        box.exec();
    } else if (record.outcome == TransferOutcome::Success) {
        m_image.ImageBuffer = m_transfer->uploadData();
    }
    TransferForm::transferFinished(record);
}
