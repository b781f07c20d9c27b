#include "shell/BrasvikUpload.h"

#include "core/ImageState.h"
#include "shell/BrasvikMain.h"
#include "shell/DifferencesForm.h"
#include "upload/UploadTransfer.h"

#include <QMessageBox>
#include <QPushButton>

TBKUploadForm::TBKUploadForm(QWidget *owner, TKTSerial &serial, ImageState &image,
                             DeviceKind deviceType, const TSettings &settings,
                             std::function<void(const QString &)> showBaudrate,
                             const TransferLinks &links)
    : TransferForm(owner, serial, QStringLiteral("TBKUploadForm"),
                   QStringLiteral("Close interface"), links)
    , m_image(image)
{
    setWindowFlag(Qt::WindowSystemMenuHint);
    m_transfer = std::make_unique<UploadTransfer>(
        UploadSetup::fromSelections(image, deviceType, settings), link(), canLinks(),
        transferSetup());
    setWindowTitle(m_transfer->caption());

    present(*m_transfer, std::move(showBaudrate));
}

TBKUploadForm::~TBKUploadForm()
{
    // The transfer closes the interfaces and removes its serial handlers before the link goes.
    release();
    m_transfer.reset();
}

void TBKUploadForm::showDifferences(const CompareResult &compared)
{
    // The list lives beside the main window, after this window has closed.
    auto *main = qobject_cast<TBKMainForm *>(parentWidget());
    if (!main)
        return;
    const UploadSetup &setup = m_transfer->setup();
    QList<HexLayout::MarkRun> marks;
    for (const CompareRange &run :
         compared.differingRuns(setup.compareImage, m_transfer->uploadData()))
        marks.append({run.start, run.end + 1});
    main->showDifferences(compared.ranges, compared.bytesDiffering, std::move(marks),
                          imageWithDeviceBytes(setup.compareImage, m_transfer->uploadData(),
                                               m_transfer->region().start,
                                               m_transfer->region().end));
}

void TBKUploadForm::transferFinished(const TransferRecord &record)
{
    if (record.compared) {
        // The image is only read; whatever the outcome, it stays as it is.
        const CompareResult &compared = m_transfer->compareResult();
        // The first difference alone does not say how much differs: the count follows it.
        QString text = record.compareText;
        if (!compared.ranges.isEmpty())
            text += QStringLiteral("\n\n")
                + TDifferencesForm::summaryText(compared.bytesDiffering, compared.ranges.size())
                + u'.';
        QMessageBox box(record.compareEqual ? QMessageBox::Information : QMessageBox::Critical,
                        compared.title(), text, QMessageBox::Ok, this);
        box.setObjectName(QStringLiteral("CompareBox"));
        QPushButton *show = nullptr;
        if (!compared.ranges.isEmpty())
            show = box.addButton(QStringLiteral("Show differences"), QMessageBox::ActionRole);
        box.exec();
        if (show && box.clickedButton() == show) {
            // The user goes on to the differences: the list takes the place of this window,
            // which would otherwise keep it from the keys while it stays open for its log.
            TransferForm::transferFinished(record);
            closeWindow();
            showDifferences(compared);
            return;
        }
    } else if (record.outcome == TransferOutcome::Success) {
        m_image.ImageBuffer = m_transfer->uploadData();
    }
    TransferForm::transferFinished(record);
}
