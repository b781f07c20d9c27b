#include "shell/TransferForm.h"

#include "base/ModalResult.h"
#include "base/SettingsStore.h"
#include "comm/KTComm.h"
#include "comm/KTSerial.h"
#include "comm/PortDiagnosis.h"
#include "transfer/ServiceRecordListener.h"
#include "transfer/TargetFiles.h"
#include "transfer/TransferMessages.h"
#include "transfer/TransferOutcome.h"
#include "transfer/TransferRate.h"
#include "transfer/TransferSession.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
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
constexpr int FormWidth = 401;
constexpr int FormHeight = 244;
// What the window frame takes from the title bar besides the title: icon and buttons.
constexpr int TitleFrameWidth = 140;
constexpr int MaxBoxTextWidth = 900;

QRect availableScreen(const QWidget *widget)
{
    const QScreen *on = widget->screen() ? widget->screen() : QGuiApplication::primaryScreen();
    return on ? on->availableGeometry() : QRect(0, 0, 1024, 768);
}

// The widest text a message box shows whole on its screen. A box grows no wider than its
// screen less 480 pixels (the whole screen up to 1024 pixels, never more than 1000); a text
// wider than what that leaves beside the icon is cut off at the right or broken anywhere.
int boxTextLimit(const QMessageBox &box)
{
    const int screen = availableScreen(&box).width();
    const int boxLimit = screen <= 1024 ? screen : qMin(screen - 480, 1000);
    int beside = 0;
    if (const auto *icon = box.findChild<QLabel *>(QStringLiteral("qt_msgboxex_icon_label")))
        beside += icon->sizeHint().width();
    if (const auto *grid = qobject_cast<QGridLayout *>(box.layout())) {
        const QMargins margins = grid->contentsMargins();
        beside += margins.left() + margins.right() + qMax(0, grid->horizontalSpacing());
    }
    // Room for the label's own margins and rounding.
    constexpr int Slack = 16;
    return qBound(0, boxLimit - beside - Slack, MaxBoxTextWidth);
}

} // namespace

TransferForm::TransferForm(QWidget *owner, TKTSerial &serial, const QString &objectName,
                           const QString &closeHint, const TransferLinks &links)
    : QDialog(owner,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
                  | Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint)
    , m_serial(serial)
    , m_link(links.makeSerial(serial))
    , m_canLinks(links.canFactory())
{
    setObjectName(objectName);
    setFixedSize(FormWidth, FormHeight);

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
    ButtonClose = new QPushButton(tr("Close"), StatusBar);
    ButtonClose->setObjectName(QStringLiteral("ButtonClose"));
    ButtonClose->setVisible(false);
    StatusBar->addPermanentWidget(ButtonClose);
    connect(ButtonClose, &QPushButton::clicked, this, &TransferForm::closeWindow);

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
    setup.frontEnd = TargetDiagnosis::FrontEnd::Window;
    return setup;
}

void TransferForm::present(TransferSession &transfer,
                           std::function<void(const QString &)> showBaudrate)
{
    m_transfer = &transfer;
    m_ended = false;
    m_report.clear();
    const qint64 minimum = transfer.record().startAddress;
    const qint64 maximum = transfer.record().endAddress;
    ProgressBar->setRange(int(minimum), int(qMax(minimum, maximum)));
    ProgressBar->setValue(ProgressBar->minimum());
    RateLabel->clear();

    // The record's listener comes first: its end line is in the file before the window
    // reacts to the end (and it stays connected past release(), for a transfer freed early).
    if (m_recordsTransfer) {
        delete m_record;
        m_record = new ServiceRecordListener(ServiceRecordWriter(), this);
        connect(m_record, &ServiceRecordListener::recordError, this,
                [this](const QString &message) { ResultMemo->appendPlainText(message); });
        connect(&transfer, &TransferSession::event, m_record, &ServiceRecordListener::onEvent);
    }

    // Every connection has this window as its context, so that release() ends them all.
    connect(&transfer, &TransferSession::event, this, &TransferForm::onTransferEvent);
    connect(&transfer, &TransferSession::statusText, this,
            [this](const QString &text) { StatusBar->showMessage(text); });
    connect(&transfer, &TransferSession::breakAvailable, this,
            [this](bool available) { ButtonCloseCOM->setEnabled(available); });
    connect(&transfer, &TransferSession::errorBox, this, &TransferForm::showErrorBox);
    connect(&transfer, &TransferSession::bootPromptRequested, this, &TransferForm::showBootPrompt);
    // Shown with the Finished event, when the record says how the transfer went.
    connect(&transfer, &TransferSession::finalReport, this,
            [this](const QString &text) { m_report = text; });
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
        settleRate(event.record.outcome == TransferOutcome::Success);
        if (!m_report.isEmpty() && m_reportsTransfer)
            showReport(event.record);
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
    // Every byte has moved: what follows (the end, a compare) is no part of the rate.
    if (event.total > 0 && event.bytes >= event.total) {
        m_rateTimer->stop();
        RateLabel->clear();
        return;
    }
    if (!m_rateShown.isValid() || m_rateShown.elapsed() >= RateRedrawMs)
        showRate();
}

void TransferForm::showRate()
{
    m_rateShown.start();
    // Before the first data byte the loader and the erase run: no rate to speak of yet.
    RateLabel->setText(m_rate->bytes() > 0 ? m_rate->text() : QString());
}

void TransferForm::settleRate(bool success)
{
    RateLabel->setText(m_rate->averageText(success));
}

void TransferForm::fitTitle()
{
    // A window manager cuts a title that does not fit in the middle, where the upload's choice
    // is; the window grows instead.
    const int needed = fontMetrics().horizontalAdvance(windowTitle()) + TitleFrameWidth;
    // No wider than the screen, where a window manager would cut it anyway.
    setFixedSize(qMax(FormWidth, qMin(needed, availableScreen(this).width())), FormHeight);
}

void TransferForm::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::WindowTitleChange)
        fitTitle();
    QDialog::changeEvent(event);
}

void TransferForm::transferFinished(const TransferRecord &record)
{
    m_result = TransferOutcomes::modalResult(record.outcome);
    // Without a report (a missing file, a cancelled prompt) the log holds nothing to read.
    if (m_report.isEmpty()) {
        closeWindow();
        return;
    }
    ButtonClose->setVisible(true);
    ButtonClose->setDefault(true);
    ButtonClose->setFocus();
}

void TransferForm::closeWindow()
{
    done(m_result);
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
    // A click or Space on the focused button: both ask, as the close box does.
    if (stopNeedsAnswer())
        askToStop();
    else
        breakTransfer();
}

bool TransferForm::stopNeedsAnswer() const
{
    return m_transfer && !m_ended && m_transfer->phase() != TransferPhase::Starting
        && m_transfer->phase() != TransferPhase::BootPrompt;
}

void TransferForm::askToStop()
{
    if (m_asking)
        return;
    QMessageBox box(QMessageBox::Question, QStringLiteral("Brasvik"),
                    TransferMessages::stopQuestion(m_transfer->record()),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setObjectName(QStringLiteral("StopPrompt"));
    box.setDefaultButton(QMessageBox::No);
    m_asking = true;
    const bool stop = box.exec() == QMessageBox::Yes;
    m_asking = false;
    // The transfer may have ended while the question was open.
    if (stop && m_transfer && !m_ended)
        breakTransfer();
}

void TransferForm::breakTransfer()
{
    // One break is enough: a second one would only restart its short wait for the end.
    ButtonCloseCOM->setEnabled(false);
    if (m_transfer)
        m_transfer->userBreak();
}

void TransferForm::reject()
{
    if (m_asking)
        return;
    if (m_ended) {
        closeWindow();
        return;
    }
    if (stopNeedsAnswer()) {
        askToStop();
        return;
    }
    // A running transfer ends with its Finished event, which closes the window.
    if (m_transfer)
        m_transfer->closedByUser();
    if (!m_ended)
        done(mrCancel);
}

void TransferForm::showErrorBox(const QString &title, const QString &text, const QString &hint)
{
    const QString shown = TransferSession::plainText(
        TransferMessages::withHint(text, PortDiagnosis::windowHint(hint)));
    QMessageBox box(QMessageBox::Critical, title, shown, QMessageBox::Ok, this);
    // Folders and device paths are read whole: the text is as wide as its longest line (up to
    // a limit), so that word wrapping never breaks a path in two.
    int widest = 0;
    for (const QString &line : shown.split(u'\n'))
        widest = qMax(widest, box.fontMetrics().horizontalAdvance(line));
    box.setStyleSheet(QStringLiteral("QLabel#qt_msgbox_label { min-width: %1px; }")
                          .arg(qMin(widest, boxTextLimit(box))));
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

void TransferForm::showReport(const TransferRecord &record)
{
    // Under the report's own lines: the step that got no answer when it was the boot byte or a
    // block of a reading, or where a resumed download began.
    QString note = record.outcome == TransferOutcome::Success
        ? TransferMessages::resumedNote(record)
        : TransferMessages::noAnswerText(record.failedPhase, m_report);
    // A reading that fell silent says where, as a download says where it can resume.
    if (note.isEmpty())
        note = TransferMessages::readingStoppedText(record);
    const QString text = TransferMessages::withHint(m_report, note);
    QMessageBox box(record.outcome == TransferOutcome::Success ? QMessageBox::Information
                                                               : QMessageBox::Warning,
                    QStringLiteral("Brasvik"), TransferSession::plainText(text), QMessageBox::Ok,
                    this);
    box.setObjectName(QStringLiteral("ResultBox"));
    box.exec();
}
