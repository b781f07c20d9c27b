#include "transfer/TransferBase.h"

#include "base/IdleSlot.h"
#include "base/SettingsStore.h"
#include "comm/CanBusSetting.h"
#include "comm/CanDongleLibrary.h"
#include "comm/KTComm.h"
#include "comm/PortDiagnosis.h"
#include "transfer/LoaderFile.h"
#include "transfer/TargetDiagnosis.h"
#include "transfer/TargetFiles.h"
#include "transfer/TransferMessages.h"
#include "transfer/TransferOutcome.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QPointer>
#include <QUuid>

Q_LOGGING_CATEGORY(lcTransfer, "brasvik.transfer", QtWarningMsg)

namespace {

constexpr int InitialWatchdogMs = 2000;

} // namespace

TransferBase::TransferBase(SerialLink &serial, CanLinkFactory canFactory, QObject *parent,
                           TimerSource &timers)
    : QObject(parent)
    , m_serial(serial)
    , m_canFactory(std::move(canFactory))
    , m_timers(timers)
    , m_watchdog(timers.createTimer([this] { onTimeout(); }))
{
    m_watchdog->setInterval(InitialWatchdogMs);
    // Installed while the port is closed, so that the port reports all three kinds of event.
    SerialLink::Handlers handlers;
    handlers.rxChar = [this] {
        onSerialRx();
    };
    handlers.txEmpty = [this] {
        onSerialTxEmpty();
    };
    handlers.error = [this] {
        onSerialError();
    };
    m_serial.setHandlers(std::move(handlers));
}

TransferBase::~TransferBase()
{
    // The subclass has finished the record in its shutdown(); only the ports are left.
    m_serial.clearHandlers();
    closePorts();
    IdleSlot::release(this);
}

void TransferBase::shutdown()
{
    // Handlers first: closing must not find a handler that still points here.
    m_serial.clearHandlers();
    closePorts();
    // Destroyed before its end: the record still gets its end, with the outcome decided so far.
    if (m_started && !m_finished)
        finish(false, m_phase, failurePlace());
}

void TransferBase::describePort(int portIndex)
{
    m_record.portName = CommPortDeviceName(TPort(portIndex));
    m_record.portPath = SettingsStore::comPortDevicePath(portIndex);
    setBootLines(SettingsStore::comPortBootLines(portIndex),
                 QStringLiteral("Ports/") + SettingsStore::bootLinesKey(portIndex));
}

void TransferBase::start()
{
    if (m_started || m_finished)
        return;
    m_started = true;
    m_record.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    m_record.toolVersion = QStringLiteral(BRASVIK_VERSION);
    m_record.interfaceName = !m_useCan ? QStringLiteral("rs232")
        : m_comInterface == 2          ? QStringLiteral("can2")
                                       : QStringLiteral("can1");
    m_record.lineRate = BaudrateValue(TBaudrate(m_baudrateOrdinal));
    m_record.canBitRate = m_useCan
        ? CANBitrateFromBTR0BTR1(CANBusTimingForCode(m_canParams.bitrateCode)) / 1000
        : 0;
    m_record.loaderFile = m_loaderFile;
    m_record.programFile = m_programFile;
    m_record.started = m_timers.now();
    m_record.outcome = TransferOutcome::Running;
    m_record.modalResult = 0;

    TransferEvent started;
    started.kind = TransferEvent::Kind::Started;
    started.phase = m_phase;
    started.total = m_record.totalBytes;
    started.record = m_record;
    emit event(started);
    postIdle(&TransferBase::startTransfer);
}

void TransferBase::postIdle(void (TransferBase::*action)())
{
    // The slot outlives the transfer; a guard drops an action whose transfer is gone.
    QPointer<TransferBase> guard(this);
    // A slot of its own: the idle actions of transfers running side by side must not replace
    // each other's.
    IdleSlot::post(
        m_timers,
        [guard, action] {
            if (guard)
                (guard.data()->*action)();
        },
        this);
}

void TransferBase::scheduleFinish()
{
    postIdle(&TransferBase::finishTransfer);
}

void TransferBase::scheduleCanPhase()
{
    postIdle(&TransferBase::onStartCanPhase);
}

void TransferBase::startTransfer()
{
    if (m_finished)
        return;
    for (const QString &file : {m_loaderFile, m_programFile}) {
        if (!QFileInfo(file).isFile()) {
            emit errorBox(QStringLiteral("Brasvik"),
                          TransferMessages::missingTargetFile(file, m_operationWord,
                                                              TargetFiles::searchPath()),
                          TargetDiagnosis::hintForFile(file));
            endWithoutReport();
            return;
        }
    }
    if (!bootLinesAccepted()) {
        endWithoutReport();
        return;
    }
    if (!openPorts()) {
        closePorts();
        endWithoutReport();
        return;
    }
    if (startBootLines())
        return;
    enterPhase(TransferPhase::BootPrompt);
    m_bootPromptPending = true;
    emit bootPromptRequested(
        QStringLiteral("Please press the boot pushbutton\r\nand restart your hardware now!"));
}

bool TransferBase::openPorts()
{
    if (m_useCan) {
        // A setting that names no bus is the user's to mend, not the dongle's failure.
        const QString busProblem = CanBusSettingProblem(SettingsStore::canBus());
        if (!busProblem.isEmpty()) {
            emit errorBox(TransferMessages::canBusSettingTitle(), busProblem);
            return false;
        }
        m_can = m_canFactory ? m_canFactory() : nullptr;
        if (!m_can) {
            emit errorBox(QStringLiteral("Open PEAK-CAN-Dongle error"),
                          CANErrorText(CAN_ERR_ILLHW));
            return false;
        }
        QPointer<TransferBase> guard(this);
        const quint32 result = m_can->open(
            m_canParams,
            [guard](const TCANMsg &msg) {
                if (guard)
                    guard->onCanResult(msg);
            },
            [guard](quint32 code) {
                if (guard)
                    guard->onCanError(code);
            });
        if (result != 0) {
            emit errorBox(QStringLiteral("Open PEAK-CAN-Dongle error"), CANErrorText(result));
            return false;
        }
    }
    m_serial.setBaudrate(m_baudrateOrdinal);
    emit baudrateChanged(baudrateText(m_baudrateOrdinal));
    const SerialLink::OpenResult opened = m_serial.open();
    if (opened.status == SerialLink::OpenStatus::Opened && m_serial.isActive())
        return true;
    // A port that refuses to open ends the transfer like one that did not become active.
    const QString text = opened.status == SerialLink::OpenStatus::Raised ? opened.message
                                                                         : m_serial.lastErrorText();
    emit errorBox(QStringLiteral("Open COM error"),
                  TransferMessages::openComError(text, m_record.portName, m_record.portPath),
                  m_record.portPath.isEmpty()
                      ? QString()
                      : PortDiagnosis::hintFor(m_record.portPath, m_record.portName));
    return false;
}

void TransferBase::closePorts()
{
    stopBootLines();
    m_watchdog->stop();
    if (m_serial.isActive())
        m_serial.close();
    if (m_can) {
        m_can->stop();
        m_can.reset();
    }
}

void TransferBase::answerBootPrompt(bool confirmed)
{
    if (!m_bootPromptPending || m_finished)
        return;
    m_bootPromptPending = false;
    if (!confirmed) {
        closePorts();
        endWithoutReport();
        return;
    }
    emit breakAvailable(true);
    m_startMs = m_timers.monotonicMs();
    onBootConfirmed();
}

void TransferBase::userBreak()
{
    if (m_finished)
        return;
    if (m_bootPromptPending) {
        answerBootPrompt(false);
        return;
    }
    // A break during boot entry is like a declined prompt: nothing was sent yet.
    if (stopBootLines()) {
        closePorts();
        endWithoutReport();
        return;
    }
    closePorts();
    m_resultText = abortedPrefix() + QStringLiteral("User break!");
    onUserBreak();
    endSoon();
}

void TransferBase::closedByUser()
{
    if (m_finished)
        return;
    closePorts();
    if (!m_started) {
        m_finished = true;
        return;
    }
    // The window returns its cancel result, without a report.
    m_outcome = TransferOutcome::Failed;
    finish(false, m_phase, failurePlace());
}

void TransferBase::endWithoutReport()
{
    m_outcome = TransferOutcome::Aborted;
    finish(false, m_phase, failurePlace());
}

void TransferBase::finishTransfer()
{
    if (m_finished)
        return;
    closePorts();
    // What the failure struck is taken before the end's own phase.
    const TransferPhase struck = m_phase;
    const Place place = failurePlace();
    enterPhase(TransferPhase::Finishing);
    emit finalReport(finalReportText());
    if (m_finished)
        return; // the presenter was closed while it showed the report
    onReported();
    finish(true, struck, place);
}

void TransferBase::finish(bool reported, TransferPhase struck, Place place)
{
    if (m_finished)
        return;
    m_finished = true;
    m_bootPromptPending = false;
    emit breakAvailable(false);
    m_record.outcome = m_outcome;
    m_record.modalResult = TransferOutcomes::modalResult(m_outcome);
    m_record.reportText = reported ? plainText(m_resultText) : QString();
    m_record.hasFailure = m_outcome != TransferOutcome::Success;
    m_record.failedPhase = m_record.hasFailure ? struck : TransferPhase::Ended;
    const bool located = m_record.hasFailure && struck == TransferPhase::Data;
    m_record.failedSector = located ? place.sector : -1;
    m_record.failedAddress = located ? place.address : -1;
    m_record.ended = m_timers.now();
    m_phase = TransferPhase::Ended;

    TransferEvent finished;
    finished.kind = TransferEvent::Kind::Finished;
    finished.phase = TransferPhase::Ended;
    finished.bytes = m_record.bytes;
    finished.total = m_record.totalBytes;
    finished.record = m_record;
    emit event(finished);
}

void TransferBase::onTimeout()
{
    log(QStringLiteral("TIMEOUT"));
    scheduleFinish();
}

void TransferBase::onSerialTxEmpty()
{
    if (m_serial.isActive())
        armWatchdog();
}

void TransferBase::sendSerial(const QByteArray &bytes)
{
    m_txBuffer = bytes;
    // Armed whatever the write reports: output the driver took but never sends (flow control
    // held off, a stalled adapter) brings no transmit-empty event to arm it later.
    m_serial.write(m_txBuffer);
    armWatchdog();
}

void TransferBase::sendByte(quint8 byte)
{
    sendSerial(QByteArray(1, char(byte)));
}

void TransferBase::sendCan(const TCANMsg &msg)
{
    if (m_can)
        m_can->writeMessage(msg);
}

void TransferBase::armWatchdog()
{
    if (!m_watchdog->isActive())
        m_watchdog->start();
}

void TransferBase::stopWatchdog()
{
    m_watchdog->stop();
}

void TransferBase::setWatchdogInterval(int ms)
{
    if (m_watchdog->interval() != ms)
        m_watchdog->setInterval(ms);
}

void TransferBase::endSoon()
{
    setWatchdogInterval(AbortDelayMs);
    armWatchdog();
}

void TransferBase::log(const QString &line)
{
    qCDebug(lcTransfer) << line;
    TransferEvent logged;
    logged.kind = TransferEvent::Kind::Log;
    logged.phase = m_phase;
    logged.text = line;
    emit event(logged);
}

void TransferBase::enterPhase(TransferPhase phase)
{
    if (phase == m_phase)
        return;
    m_phase = phase;
    TransferEvent entered;
    entered.kind = TransferEvent::Kind::Phase;
    entered.phase = phase;
    emit event(entered);
}

void TransferBase::reportProgress(qint64 position)
{
    TransferEvent progress;
    progress.kind = TransferEvent::Kind::Progress;
    progress.phase = m_phase;
    progress.bytes = m_record.bytes;
    progress.total = m_record.totalBytes;
    progress.position = position;
    emit event(progress);
}

void TransferBase::setResult(TransferOutcome outcome, const QString &text)
{
    m_outcome = outcome;
    m_resultText = text;
}

qint64 TransferBase::elapsedMs() const
{
    return m_startMs >= 0 ? m_timers.monotonicMs() - m_startMs : 0;
}

bool TransferBase::loadProgram(const QString &path, QByteArray *bytes)
{
    QStringList lines;
    QString error;
    if (!LoaderFile::readLines(path, &lines, &error)) {
        log(error);
        return false;
    }
    *bytes = ConvertLoaderFile(lines);
    return true;
}

QString TransferBase::plainText(const QString &text)
{
    QString plain = text;
    plain.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return plain;
}

QString TransferBase::baudrateText(int ordinal)
{
    switch (ordinal) {
    case 4:
        return QStringLiteral("19200 bit/s");
    case 6:
        return QStringLiteral("38400 bit/s");
    case 7:
        return QStringLiteral("57600 bit/s");
    case 8:
        return QStringLiteral("115200 bit/s");
    default:
        return QStringLiteral("9600 bit/s");
    }
}
