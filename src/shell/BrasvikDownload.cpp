#include "shell/BrasvikDownload.h"

#include "base/ModalResult.h"
#include "core/ImageState.h"
#include "download/DownloadTransfer.h"
#include "production/ProductionRun.h"
#include "transfer/ServiceRecordListener.h"
#include "transfer/TransferOutcome.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QToolBar>

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

    // Only the flash of a 46xx device can be read back; elsewhere the box stays off.
    const bool readable = DownloadTransfer::canResumeAt(request, request.firstSector);
    CBVerify = new QCheckBox(QStringLiteral("Verify"), this);
    CBVerify->setObjectName(QStringLiteral("CBVerify"));
    CBVerify->setToolTip(QStringLiteral("Read the programmed sectors back and compare them"));
    CBVerify->setChecked(readable && Settings.DownloadVerify);
    CBVerify->setEnabled(readable);
    if (auto *toolBar = findChild<QToolBar *>())
        toolBar->addWidget(CBVerify);
    connect(CBVerify, &QCheckBox::toggled, this, [this](bool on) {
        Settings.DownloadVerify = on;
        if (m_run)
            m_run->setVerify(on);
    });

    const bool resumes = request.resumeSector > request.firstSector;
    if (!readable || (!resumes && !CBVerify->isChecked())) {
        m_transfer = std::make_unique<DownloadTransfer>(link(), canLinks(), std::move(request),
                                                        transferSetup());
        present(*m_transfer, std::move(showBaudrate));
        return;
    }
    // The run writes the record; each of its transfers is shown here in turn.
    m_recordsTransfer = false;
    ProductionOptions options;
    options.verify = CBVerify->isChecked();
    m_run = std::make_unique<ProductionRun>(link(), canLinks(), std::move(request), options,
                                            transferSetup());
    m_runRecord = new ServiceRecordListener(ServiceRecordWriter(), this);
    connect(m_runRecord, &ServiceRecordListener::recordError, this,
            [this](const QString &message) { ResultMemo->appendPlainText(message); });
    connect(m_run.get(), &ProductionRun::event, m_runRecord, &ServiceRecordListener::onEvent);
    connect(m_run.get(), &ProductionRun::log, this,
            [this](const QString &line) { ResultMemo->appendPlainText(line); });
    connect(m_run.get(), &ProductionRun::sessionStarted, this,
            [this, showBaudrate](TransferSession &session, ProductionRun::Step step) {
                m_reportsTransfer = step == ProductionRun::Step::Download;
                if (step != ProductionRun::Step::Download)
                    CBVerify->setEnabled(false);
                present(session, showBaudrate);
            });
    connect(m_run.get(), &ProductionRun::sessionEnded, this, [this] { release(); });
    connect(m_run.get(), &ProductionRun::finished, this, &TBKDownloadForm::runFinished);
    m_run->start();
}

void TBKDownloadForm::transferFinished(const TransferRecord &record)
{
    // A run goes on with its next transfer; it closes the window when it has finished.
    if (!m_run)
        TransferForm::transferFinished(record);
}

void TBKDownloadForm::runFinished()
{
    const ProductionRun::Result &result = m_run->result();
    // The download's own report has been shown; what the run found after it is said here.
    if (!result.closing.isEmpty()) {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Brasvik"), result.closing,
                        QMessageBox::Ok, this);
        box.setObjectName(QStringLiteral("ResultBox"));
        box.exec();
    }
    done(result.refusal.isEmpty() ? TransferOutcomes::modalResult(result.record.outcome)
                                  : int(mrAbort));
}

TBKDownloadForm::~TBKDownloadForm()
{
    // The transfer closes the ports and removes its serial handlers before the link goes.
    release();
    m_run.reset();
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
