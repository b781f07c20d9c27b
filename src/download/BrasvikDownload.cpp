#include "BrasvikDownload.h"

#include "DownloadTransfer.h"
#include "ImageState.h"
#include "KTCanLink.h"
#include "KTSerialLink.h"
#include "ModalResult.h"

#include <QFileInfo>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

TBKDownloadForm::TBKDownloadForm(QWidget *owner, TKTSerial &serial, const ImageState &image,
                                 quint8 deviceType, const TSettings &settings,
                                 std::function<void(const QString &)> showBaudrate)
    : QDialog(owner,
              Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
                  | Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(QStringLiteral("TBKDownloadForm"));
    setWindowTitle(QStringLiteral("Download - ") + QFileInfo(image.FileName).fileName());
    setFixedSize(401, 244);

    auto *toolBar = new QToolBar(this);
    toolBar->setIconSize(QSize(32, 32));
    ButtonCloseCOM = new QToolButton(toolBar);
    ButtonCloseCOM->setObjectName(QStringLiteral("ButtonCloseCOM"));
    ButtonCloseCOM->setToolTip(QStringLiteral("Close COM"));
    ButtonCloseCOM->setAutoRaise(true);
    ButtonCloseCOM->setIcon(style()->standardIcon(QStyle::SP_BrowserStop));
    ButtonCloseCOM->setIconSize(QSize(32, 32));
    ButtonCloseCOM->setEnabled(false);
    toolBar->addWidget(ButtonCloseCOM);

    ResultMemo = new QPlainTextEdit(this);
    ResultMemo->setObjectName(QStringLiteral("ResultMemo"));
    ResultMemo->setReadOnly(true);
    ResultMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    ResultMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    ResultMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    ResultMemo->viewport()->setCursor(Qt::ArrowCursor);

    ProgressBar = new QProgressBar(this);
    ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
    ProgressBar->setTextVisible(false);
    ProgressBar->setFixedHeight(16);

    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName(QStringLiteral("StatusBar"));
    StatusBar->setSizeGripEnabled(false);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(toolBar);
    layout->addWidget(ResultMemo, 1);
    layout->addWidget(ProgressBar);
    layout->addWidget(StatusBar);

    DownloadRequest request;
    request.image = image.ImageBuffer;
    request.fileName = image.FileName;
    request.firstSector = image.FirstSector;
    request.endSector = image.EndSector;
    request.dataEnd = image.DataEnd;
    request.retainData = image.RetainData;
    request.deviceType = deviceType;
    request.settings = settings;

    m_link = std::make_unique<KTSerialLink>(serial);
    m_transfer = std::make_unique<DownloadTransfer>(
        *m_link, [] { return std::make_unique<KTCanLink>(); }, std::move(request));

    ProgressBar->setRange(int(m_transfer->progressMinimum()),
                          int(qMax(m_transfer->progressMinimum(), m_transfer->progressMaximum())));
    ProgressBar->setValue(ProgressBar->minimum());

    DownloadTransfer *t = m_transfer.get();
    connect(t, &TransferBase::logLine, ResultMemo, &QPlainTextEdit::appendPlainText);
    connect(t, &TransferBase::progress, ProgressBar, [this](qint64 position) {
        // The combined 4610 image sends its NV part to the image end, past DataEnd.
        ProgressBar->setValue(
            int(qBound(qint64(ProgressBar->minimum()), position, qint64(ProgressBar->maximum()))));
    });
    connect(t, &TransferBase::statusText, StatusBar,
            [this](const QString &text) { StatusBar->showMessage(text); });
    connect(t, &TransferBase::breakAvailable, ButtonCloseCOM, &QToolButton::setEnabled);
    connect(t, &TransferBase::errorBox, this, &TBKDownloadForm::showErrorBox);
    connect(t, &TransferBase::bootPromptRequested, this, &TBKDownloadForm::showBootPrompt);
    connect(t, &TransferBase::finished, this,
            [this](const TransferBase::Report &report, bool showReport) {
                transferFinished(report.resultCode, report.resultText, showReport);
            });
    if (showBaudrate)
        connect(t, &TransferBase::baudrateChanged, this, std::move(showBaudrate));
    connect(ButtonCloseCOM, &QToolButton::clicked, this, &TBKDownloadForm::ButtonCloseCOMClick);

    m_transfer->start();
}

TBKDownloadForm::~TBKDownloadForm()
{
    // The transfer closes the ports and removes its serial handlers before the link goes.
    m_transfer.reset();
}

void TBKDownloadForm::ButtonCloseCOMClick()
{
    m_transfer->userBreak();
}

void TBKDownloadForm::reject()
{
    m_transfer->closedByUser();
    done(mrCancel);
}

void TBKDownloadForm::showErrorBox(const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Critical, title, TransferBase::plainText(text), QMessageBox::Ok,
                    this);
    box.exec();
}

void TBKDownloadForm::showBootPrompt(const QString &text)
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Brasvik"), TransferBase::plainText(text),
                    QMessageBox::Ok | QMessageBox::Cancel, this);
    box.setObjectName(QStringLiteral("BootPrompt"));
    const bool confirmed = box.exec() == QMessageBox::Ok;
    m_transfer->answerBootPrompt(confirmed);
}

void TBKDownloadForm::transferFinished(int resultCode, const QString &resultText, bool showReport)
{
    if (showReport) {
        QMessageBox box(QMessageBox::Information, QStringLiteral("Brasvik"),
                        TransferBase::plainText(resultText), QMessageBox::Ok, this);
        box.setObjectName(QStringLiteral("ResultBox"));
        box.exec();
    }
    done(resultCode);
}
