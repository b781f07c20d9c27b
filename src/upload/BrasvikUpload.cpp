#include "upload/BrasvikUpload.h"

#include "core/ImageState.h"
#include "transfer/KTCanLink.h"
#include "transfer/KTSerialLink.h"
#include "base/ModalResult.h"
#include "upload/UploadTransfer.h"

#include <QMessageBox>

TBKUploadForm::TBKUploadForm(QWidget *owner, TKTSerial &serial, ImageState &image,
                             quint8 deviceType, const TSettings &settings,
                             std::function<void(const QString &)> showBaudrate)
    : TransferForm(owner, serial, QStringLiteral("TBKUploadForm"),
                   QStringLiteral("Close interface"))
    , m_image(image)
{
    setWindowFlag(Qt::WindowSystemMenuHint);
    m_transfer
        = std::make_unique<UploadTransfer>(UploadSetup::fromSelections(image, deviceType, settings),
                                           link(), [] { return std::make_unique<KTCanLink>(); });
    setWindowTitle(m_transfer->caption());

    const UploadRegion region = m_transfer->region();
    present(*m_transfer, region.start, region.end, std::move(showBaudrate));
}

TBKUploadForm::~TBKUploadForm()
{
    // The transfer closes the interfaces and removes its serial handlers before the link goes.
    m_transfer.reset();
}

void TBKUploadForm::transferFinished(int resultCode, const QString &resultText, bool withReport)
{
    if (withReport)
        showReport(resultText);
    if (resultCode == mrOk) {
        if (m_transfer->setup().CompareMode) {
            // The image is only read; whatever the outcome, it stays as it is.
            const CompareResult compared = m_transfer->compare(m_image.ImageBuffer);
            QMessageBox box(compared.equal() ? QMessageBox::Information : QMessageBox::Critical,
                            compared.title(), TransferBase::plainText(compared.resultText),
                            QMessageBox::Ok, this);
            box.setObjectName(QStringLiteral("CompareBox"));
            box.exec();
        } else {
            m_image.ImageBuffer = m_transfer->uploadData();
        }
    }
    done(resultCode);
}
