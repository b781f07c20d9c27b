#include "transfer/TransferForm.h"

#include "base/ModalResult.h"
#include "comm/KTSerial.h"
#include "transfer/TransferBase.h"
#include "transfer/TransferOutcome.h"

#include <QKeyEvent>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

TransferForm::TransferForm(QWidget *owner, TKTSerial &serial, const QString &objectName,
                           const QString &closeHint, const TransferLinks &links)
    : QDialog(owner,
              Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
                  | Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint)
    , m_serial(serial)
    , m_link(links.makeSerial(serial))
    , m_canLinks(links.canFactory())
{
    setObjectName(objectName);
    setFixedSize(401, 244);

    auto *toolBar = new QToolBar(this);
    toolBar->setIconSize(QSize(32, 32));
    ButtonCloseCOM = new QToolButton(toolBar);
    ButtonCloseCOM->setObjectName(QStringLiteral("ButtonCloseCOM"));
    ButtonCloseCOM->setToolTip(closeHint);
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

    connect(ButtonCloseCOM, &QToolButton::clicked, this, &TransferForm::ButtonCloseCOMClick);
}

TransferForm::~TransferForm() = default;

void TransferForm::present(TransferBase &transfer,
                           std::function<void(const QString &)> showBaudrate)
{
    m_transfer = &transfer;
    m_ended = false;
    transfer.describePort(int(m_serial.PortName()));
    const qint64 minimum = transfer.record().startAddress;
    const qint64 maximum = transfer.record().endAddress;
    ProgressBar->setRange(int(minimum), int(qMax(minimum, maximum)));
    ProgressBar->setValue(ProgressBar->minimum());

    // Every connection has this window as its context, so that release() ends them all.
    connect(&transfer, &TransferBase::event, this, &TransferForm::onTransferEvent);
    connect(&transfer, &TransferBase::statusText, this,
            [this](const QString &text) { StatusBar->showMessage(text); });
    connect(&transfer, &TransferBase::breakAvailable, this,
            [this](bool available) { ButtonCloseCOM->setEnabled(available); });
    connect(&transfer, &TransferBase::errorBox, this, &TransferForm::showErrorBox);
    connect(&transfer, &TransferBase::bootPromptRequested, this, &TransferForm::showBootPrompt);
    connect(&transfer, &TransferBase::finalReport, this, &TransferForm::showReport);
    if (showBaudrate)
        connect(&transfer, &TransferBase::baudrateChanged, this, std::move(showBaudrate));

    transfer.start();
}

void TransferForm::release()
{
    if (m_transfer)
        disconnect(m_transfer, nullptr, this, nullptr);
    m_transfer = nullptr;
}

void TransferForm::onTransferEvent(const TransferEvent &event)
{
    switch (event.kind) {
    case TransferEvent::Kind::Log:
        ResultMemo->appendPlainText(event.text);
        break;
    case TransferEvent::Kind::Progress:
        // Some transfers run past the end of their range (the NV part of the combined 4610
        // image, the 4610 board's last reading).
        ProgressBar->setValue(int(qBound(qint64(ProgressBar->minimum()), event.position,
                                         qint64(ProgressBar->maximum()))));
        break;
    case TransferEvent::Kind::Finished:
        m_ended = true;
        transferFinished(event.record);
        break;
    case TransferEvent::Kind::Started:
    case TransferEvent::Kind::Phase:
        break;
    }
}

void TransferForm::transferFinished(const TransferRecord &record)
{
    done(TransferOutcomes::modalResult(record.outcome));
}

void TransferForm::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Cancel) && m_transfer && !m_ended) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TransferForm::ButtonCloseCOMClick()
{
    // One break is enough: a second one would only restart its short wait for the end.
    ButtonCloseCOM->setEnabled(false);
    if (m_transfer)
        m_transfer->userBreak();
}

void TransferForm::reject()
{
    // A running transfer ends with its Finished event, which closes the window.
    if (m_transfer && !m_ended)
        m_transfer->closedByUser();
    if (!m_ended)
        done(mrCancel);
}

void TransferForm::showErrorBox(const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Critical, title, TransferBase::plainText(text), QMessageBox::Ok,
                    this);
    box.exec();
}

void TransferForm::showBootPrompt(const QString &text)
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Brasvik"), TransferBase::plainText(text),
                    QMessageBox::Ok | QMessageBox::Cancel, this);
    box.setObjectName(QStringLiteral("BootPrompt"));
    const bool confirmed = box.exec() == QMessageBox::Ok;
    if (m_transfer)
        m_transfer->answerBootPrompt(confirmed);
}

void TransferForm::showReport(const QString &resultText)
{
    QMessageBox box(QMessageBox::Information, QStringLiteral("Brasvik"),
                    TransferBase::plainText(resultText), QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("ResultBox"));
    box.exec();
}
