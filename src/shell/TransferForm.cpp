#include "shell/TransferForm.h"

#include "base/ModalResult.h"
#include "base/SettingsStore.h"
#include "comm/KTComm.h"
#include "comm/KTSerial.h"
#include "transfer/ServiceRecordListener.h"
#include "transfer/TransferSession.h"
#include "transfer/TransferMessages.h"
#include "transfer/TransferOutcome.h"
#include "transfer/TargetFiles.h"
#include "transfer/TransferRate.h"

#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

// The rate label changes at most this often: a figure that flickers per block is unreadable.
constexpr qint64 RateRedrawMs = 250;
// Without progress the rate is looked at this often, so that a stall shows.
constexpr int RateStallCheckMs = 1000;

} // namespace

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

    RateLabel = new QLabel(this);
    RateLabel->setObjectName(QStringLiteral("RateLabel"));
    RateLabel->setFixedHeight(16);
    RateLabel->setContentsMargins(4, 0, 4, 0);
    m_rate = std::make_unique<TransferRate>();
    m_rateTimer = new QTimer(this);
    m_rateTimer->setInterval(RateStallCheckMs);
    connect(m_rateTimer, &QTimer::timeout, this, [this] {
        if (m_rate->bytes() > 0)
            m_rate->update(m_rate->bytes());
        showRate();
    });

    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName(QStringLiteral("StatusBar"));
    StatusBar->setSizeGripEnabled(false);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(toolBar);
    layout->addWidget(ResultMemo, 1);
    layout->addWidget(ProgressBar);
    layout->addWidget(RateLabel);
    layout->addWidget(StatusBar);

    connect(ButtonCloseCOM, &QToolButton::clicked, this, &TransferForm::ButtonCloseCOMClick);
}

TransferForm::~TransferForm() = default;

TransferSetup TransferForm::transferSetup() const
{
    const int port = int(m_serial.PortName());
    TransferSetup setup;
    setup.portName = CommPortDeviceName(TPort(port));
    setup.portPath = SettingsStore::comPortDevicePath(port);
    setup.bootLines = SettingsStore::comPortBootLines(port);
    setup.bootLinesOrigin = QStringLiteral("Ports/") + SettingsStore::bootLinesKey(port);
    setup.canBus = SettingsStore::canBus();
    setup.targetDirectory = TargetFiles::directory();
    setup.targetSearchPath = TargetFiles::searchPath();
    return setup;
}

void TransferForm::present(TransferSession &transfer,
                           std::function<void(const QString &)> showBaudrate)
{
    m_transfer = &transfer;
    m_ended = false;
    const qint64 minimum = transfer.record().startAddress;
    const qint64 maximum = transfer.record().endAddress;
    ProgressBar->setRange(int(minimum), int(qMax(minimum, maximum)));
    ProgressBar->setValue(ProgressBar->minimum());
    RateLabel->clear();

    // The record's listener comes first: its end line is in the file before the window
    // reacts to the end (and it stays connected past release(), for a transfer freed early).
    delete m_record;
    m_record = new ServiceRecordListener(ServiceRecordWriter(), this);
    connect(m_record, &ServiceRecordListener::recordError, this,
            [this](const QString &message) { ResultMemo->appendPlainText(message); });
    connect(&transfer, &TransferSession::event, m_record, &ServiceRecordListener::onEvent);

    // Every connection has this window as its context, so that release() ends them all.
    connect(&transfer, &TransferSession::event, this, &TransferForm::onTransferEvent);
    connect(&transfer, &TransferSession::statusText, this,
            [this](const QString &text) { StatusBar->showMessage(text); });
    connect(&transfer, &TransferSession::breakAvailable, this,
            [this](bool available) { ButtonCloseCOM->setEnabled(available); });
    connect(&transfer, &TransferSession::errorBox, this, &TransferForm::showErrorBox);
    connect(&transfer, &TransferSession::bootPromptRequested, this, &TransferForm::showBootPrompt);
    connect(&transfer, &TransferSession::finalReport, this, &TransferForm::showReport);
    if (showBaudrate)
        connect(&transfer, &TransferSession::baudrateChanged, this, std::move(showBaudrate));

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
        followRate(event);
        // Some transfers run past the end of their range (the NV part of the combined 4610
        // image, the 4610 board's last reading).
        ProgressBar->setValue(int(qBound(qint64(ProgressBar->minimum()), event.position,
                                         qint64(ProgressBar->maximum()))));
        break;
    case TransferEvent::Kind::Finished:
        m_ended = true;
        m_rateTimer->stop();
        transferFinished(event.record);
        break;
    case TransferEvent::Kind::Started:
        followRate(event);
        break;
    case TransferEvent::Kind::Phase:
        break;
    }
}

void TransferForm::followRate(const TransferEvent &event)
{
    if (event.kind == TransferEvent::Kind::Started) {
        m_rate->restart(event.total);
        m_rateShown.invalidate();
        m_rateTimer->start();
        return;
    }
    if (event.total != m_rate->total())
        m_rate->setTotal(event.total);
    // Counted from the first data byte, as the JSON feed does: the loader and the erase before
    // it are no part of the rate.
    if (m_rate->bytes() == 0 && event.bytes > 0)
        m_rate->restart(event.total, event.bytes);
    else
        m_rate->update(event.bytes);
    if (!m_rateShown.isValid() || m_rateShown.elapsed() >= RateRedrawMs)
        showRate();
}

void TransferForm::showRate()
{
    m_rateShown.start();
    // Before the first data byte the loader and the erase run: no rate to speak of yet.
    RateLabel->setText(m_rate->bytes() > 0 ? m_rate->text() : QString());
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

void TransferForm::showErrorBox(const QString &title, const QString &text, const QString &hint)
{
    QMessageBox box(QMessageBox::Critical, title,
                    TransferSession::plainText(TransferMessages::withHint(text, hint)),
                    QMessageBox::Ok, this);
    box.exec();
}

void TransferForm::showBootPrompt(const QString &text)
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Brasvik"), TransferSession::plainText(text),
                    QMessageBox::Ok | QMessageBox::Cancel, this);
    box.setObjectName(QStringLiteral("BootPrompt"));
    const bool confirmed = box.exec() == QMessageBox::Ok;
    if (m_transfer)
        m_transfer->answerBootPrompt(confirmed);
}

void TransferForm::showReport(const QString &resultText)
{
    QMessageBox box(QMessageBox::Information, QStringLiteral("Brasvik"),
                    TransferSession::plainText(resultText), QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("ResultBox"));
    box.exec();
}
