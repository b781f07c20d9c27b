#include "BrasvikUpload.h"

#include "ImageState.h"
#include "KTCanLink.h"
#include "KTSerialLink.h"
#include "ModalResult.h"
#include "UploadTransfer.h"

#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

TBKUploadForm::TBKUploadForm(QWidget *owner, TKTSerial &serial, ImageState &image,
                             quint8 deviceType, const TSettings &settings,
                             std::function<void(const QString &)> showBaudrate)
    : QDialog(owner,
              Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                  | Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint
                  | Qt::MSWindowsFixedSizeDialogHint)
    , m_image(image)
{
    setObjectName(QStringLiteral("TBKUploadForm"));
    setFixedSize(401, 244);

    auto *toolBar = new QToolBar(this);
    toolBar->setIconSize(QSize(32, 32));
    ButtonCloseCOM = new QToolButton(toolBar);
    ButtonCloseCOM->setObjectName(QStringLiteral("ButtonCloseCOM"));
    ButtonCloseCOM->setToolTip(QStringLiteral("Close interface"));
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

    m_link = std::make_unique<KTSerialLink>(serial);
    m_transfer
        = std::make_unique<UploadTransfer>(UploadSetup::fromSelections(image, deviceType, settings),
                                           *m_link, [] { return std::make_unique<KTCanLink>(); });
    setWindowTitle(m_transfer->caption());

    const UploadRegion region = m_transfer->region();
    ProgressBar->setRange(region.start, std::max(region.start, region.end));
    ProgressBar->setValue(region.start);

    UploadTransfer *t = m_transfer.get();
    connect(t, &TransferBase::logLine, ResultMemo, &QPlainTextEdit::appendPlainText);
    connect(t, &TransferBase::progress, ProgressBar,
            [this](qint64 position) {
                // The 4610 board's reading runs a little past the end of its range.
                ProgressBar->setValue(int(std::min<qint64>(position, ProgressBar->maximum())));
            });
    connect(t, &TransferBase::statusText, StatusBar,
            [this](const QString &text) { StatusBar->showMessage(text); });
    connect(t, &TransferBase::breakAvailable, ButtonCloseCOM, &QToolButton::setEnabled);
    connect(t, &TransferBase::errorBox, this, &TBKUploadForm::showErrorBox);
    connect(t, &TransferBase::bootPromptRequested, this, &TBKUploadForm::showBootPrompt);
    connect(t, &TransferBase::finished, this,
            [this](const TransferBase::Report &report, bool showReport) {
                FinishTransfer(report.resultCode, report.resultText, showReport);
            });
    if (showBaudrate)
        connect(t, &TransferBase::baudrateChanged, this, std::move(showBaudrate));
    connect(ButtonCloseCOM, &QToolButton::clicked, this, &TBKUploadForm::ButtonCloseCOMClick);

    m_transfer->start();
}

TBKUploadForm::~TBKUploadForm()
{
    // The transfer closes the interfaces and removes its serial handlers before the link goes.
    m_transfer.reset();
}

void TBKUploadForm::ButtonCloseCOMClick()
{
    // One break is enough: a second one would only restart its short wait for the end.
    ButtonCloseCOM->setEnabled(false);
    m_transfer->userBreak();
}

void TBKUploadForm::reject()
{
    m_transfer->closedByUser();
    done(mrCancel);
}

void TBKUploadForm::showErrorBox(const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Critical, title, TransferBase::plainText(text), QMessageBox::Ok,
                    this);
    box.exec();
}

void TBKUploadForm::showBootPrompt(const QString &text)
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Brasvik"), TransferBase::plainText(text),
                    QMessageBox::Ok | QMessageBox::Cancel, this);
    box.setObjectName(QStringLiteral("BootPrompt"));
    const bool confirmed = box.exec() == QMessageBox::Ok;
    m_transfer->answerBootPrompt(confirmed);
}

void TBKUploadForm::FinishTransfer(int resultCode, const QString &resultText, bool showReport)
{
    if (showReport) {
        QMessageBox box(QMessageBox::Information, QStringLiteral("Brasvik"),
                        TransferBase::plainText(resultText), QMessageBox::Ok, this);
        box.setObjectName(QStringLiteral("ResultBox"));
        box.exec();
    }
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
