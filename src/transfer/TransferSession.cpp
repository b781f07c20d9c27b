#include "transfer/TransferSession.h"

#include "base/IdleSlot.h"
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

#include <algorithm>

Q_LOGGING_CATEGORY(lcTransfer, "brasvik.transfer", QtWarningMsg)

TransferSession::TransferSession(SerialLink &serial, CanLinkFactory canFactory,
                                 const TransferSetup &setup, QObject *parent)
    : QObject(parent)
    , m_setup(setup)
    , m_serial(serial)
    , m_canFactory(std::move(canFactory))
    , m_timers(setup.clock ? *setup.clock : TimerSource::system())
    , m_watchdog(m_timers.createTimer([this] { onTimeout(); }))
{
    m_record.portName = setup.portName;
    m_record.portPath = setup.portPath;
    m_record.unitId = setup.unitId;
    m_bootLinesText = setup.bootLines;
    m_bootLinesOrigin = setup.bootLinesOrigin;
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

TransferSession::~TransferSession()
{
    // The subclass has finished the record in its shutdown(); only the ports are left.
    m_serial.clearHandlers();
    closePorts();
    IdleSlot::release(this);
}

void TransferSession::setMachine(std::unique_ptr<TransferMachine> machine)
{
    m_machine = std::move(machine);
    m_machine->setTargetNames(QFileInfo(m_loaderFile).fileName(),
                              QFileInfo(m_programFile).fileName());
    m_watchdog->setInterval(m_machine->initialWaitMs());
}

void TransferSession::shutdown()
{
    // Handlers first: closing must not find a handler that still points here.
    m_serial.clearHandlers();
    closePorts();
    // Destroyed before its end: the record still gets its end, with the outcome decided so far.
    if (m_started && !m_finished)
        finish(false, m_phase, m_machine->failurePlace());
}

void TransferSession::start()
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
    postIdle(&TransferSession::startTransfer);
}

void TransferSession::postIdle(void (TransferSession::*action)())
{
    // The slot outlives the session; a guard drops an action whose session is gone.
    QPointer<TransferSession> guard(this);
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

void TransferSession::showError(const QString &title, const QString &text, const QString &hint)
{
    m_shownError = hint.isEmpty() ? text : text + QStringLiteral("\r\n\r\n") + hint;
    emit errorBox(title, text, hint);
}

void TransferSession::startTransfer()
{
    if (m_finished)
        return;
    for (const QString &file : {m_loaderFile, m_programFile}) {
        if (!QFileInfo(file).isFile()) {
            showError(
                QStringLiteral("Brasvik"),
                TransferMessages::missingTargetFile(file, m_operationWord,
                                                    m_setup.targetSearchPath),
                TargetDiagnosis::hintForFile(file, m_setup.targetSearchPath, m_setup.frontEnd));
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

bool TransferSession::openPorts()
{
    if (m_useCan) {
        // A setting that names no bus is the user's to mend, not the dongle's failure.
        const QString busProblem = CanBusSettingProblem(m_setup.canBus);
        if (!busProblem.isEmpty()) {
            showError(TransferMessages::canBusSettingTitle(), busProblem);
            return false;
        }
        m_can = m_canFactory ? m_canFactory() : nullptr;
        if (!m_can) {
            showError(QStringLiteral("Open PEAK-CAN-Dongle error"), CANErrorText(CAN_ERR_ILLHW));
            return false;
        }
        QPointer<TransferSession> guard(this);
        CanLink::Params params = m_canParams;
        params.bus = m_setup.canBus;
        const quint32 result = m_can->open(
            params,
            [guard](const TCANMsg &msg) {
                if (guard)
                    guard->drive(
                        [&msg](TransferMachine &m, MachineStep &s) { m.canFrame(msg, s); });
            },
            [guard](quint32 code) {
                if (guard)
                    guard->drive(
                        [code](TransferMachine &m, MachineStep &s) { m.canError(code, s); });
            });
        if (result != 0) {
            showError(QStringLiteral("Open PEAK-CAN-Dongle error"), CANErrorText(result));
            return false;
        }
    }
    m_serial.setBaudrate(m_baudrateOrdinal);
    if (!m_setup.portPath.isEmpty())
        m_serial.setDevicePath(m_setup.portPath);
    emit baudrateChanged(baudrateText(m_baudrateOrdinal));
    const SerialLink::OpenResult opened = m_serial.open();
    if (opened.status == SerialLink::OpenStatus::Opened && m_serial.isActive())
        return true;
    // A port that refuses to open ends the transfer like one that did not become active.
    const QString text = opened.status == SerialLink::OpenStatus::Raised ? opened.message
                                                                         : m_serial.lastErrorText();
    showError(QStringLiteral("Open COM error"),
              TransferMessages::openComError(text, m_record.portName, m_record.portPath),
              m_record.portPath.isEmpty()
                  ? QString()
                  : PortDiagnosis::hintFor(m_record.portPath, m_record.portName));
    return false;
}

void TransferSession::closePorts()
{
    stopBootLines();
    m_watchdog->stop();
    m_watchdogDeadline = -1;
    if (m_machine)
        m_machine->watchdog()->deadline = -1;
    if (m_serial.isActive())
        m_serial.close();
    if (m_can) {
        m_can->stop();
        m_can.reset();
    }
}

void TransferSession::answerBootPrompt(bool confirmed)
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
    bootEntered();
}

void TransferSession::bootEntered()
{
    m_startMs = m_timers.monotonicMs();
    drive([](TransferMachine &m, MachineStep &s) { m.bootConfirmed(s); });
}

void TransferSession::userBreak()
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
    drive([](TransferMachine &m, MachineStep &s) { m.userBreak(s); });
}

void TransferSession::closedByUser()
{
    if (m_finished)
        return;
    closePorts();
    if (!m_started) {
        m_finished = true;
        return;
    }
    // The window returns its cancel result, without a report.
    m_sessionOutcome = TransferOutcome::Failed;
    finish(false, m_phase, m_machine->failurePlace());
}

void TransferSession::endWithoutReport()
{
    m_sessionOutcome = TransferOutcome::Aborted;
    finish(false, m_phase, m_machine->failurePlace());
}

void TransferSession::finishTransfer()
{
    if (m_finished)
        return;
    closePorts();
    // What the failure struck is taken before the end's own phase.
    const TransferPhase struck = m_phase;
    const TransferMachine::Place place = m_machine->failurePlace();
    enterPhase(TransferPhase::Finishing);
    emit finalReport(finalReportText());
    if (m_finished)
        return; // the presenter was closed while it showed the report
    onReported();
    finish(true, struck, place);
}

void TransferSession::finish(bool reported, TransferPhase struck, TransferMachine::Place place)
{
    if (m_finished)
        return;
    m_finished = true;
    m_bootPromptPending = false;
    emit breakAvailable(false);
    syncTally();
    const TransferOutcome outcome
        = TransferOutcomes::settled(m_sessionOutcome.value_or(m_machine->outcome()), m_record);
    m_record.outcome = outcome;
    m_record.modalResult = TransferOutcomes::modalResult(outcome);
    m_record.reportText = plainText(reported ? finalReportText() : m_shownError);
    m_record.hasFailure
        = outcome != TransferOutcome::Success && outcome != TransferOutcome::Different;
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

void TransferSession::drive(const std::function<void(TransferMachine &, MachineStep &)> &input)
{
    MachineStep step(elapsedMs(), m_machine->watchdog());
    input(*m_machine, step);
    carryOut(step);
}

void TransferSession::carryOut(const MachineStep &step)
{
    for (const MachineAction &action : step.actions()) {
        switch (action.kind) {
        case MachineAction::Kind::Send:
            m_txBuffer = action.bytes;
            m_serial.write(m_txBuffer);
            break;
        case MachineAction::Kind::SendCan:
            if (m_can)
                m_can->writeMessage(action.frame);
            break;
        case MachineAction::Kind::Log:
            log(action.text);
            break;
        case MachineAction::Kind::Phase:
            enterPhase(action.phase);
            break;
        case MachineAction::Kind::Progress:
            syncTally();
            reportProgress(action.value);
            break;
        case MachineAction::Kind::Status:
            emit statusText(action.text);
            break;
        case MachineAction::Kind::DiscardInput:
            m_serial.discardInput();
            break;
        case MachineAction::Kind::LoadTarget:
            loadTarget(TargetProgram(action.value));
            break;
        case MachineAction::Kind::StartCanPhase:
            postIdle(&TransferSession::startCanPhase);
            break;
        case MachineAction::Kind::Finish:
            postIdle(&TransferSession::finishTransfer);
            break;
        case MachineAction::Kind::CloseDongle:
            if (m_can)
                m_can->closeDongle();
            break;
        }
    }
    syncWatchdog();
    syncTally();
}

void TransferSession::syncWatchdog()
{
    // The timer runs out at the machine's deadline: it starts anew whenever that moves.
    const qint64 deadline = m_machine->deadline();
    const int wait = m_machine->waitMs();
    if (deadline == m_watchdogDeadline) {
        if (deadline < 0 && m_watchdog->interval() != wait)
            m_watchdog->setInterval(wait);
        return;
    }
    m_watchdogDeadline = deadline;
    m_watchdog->stop();
    if (m_watchdog->interval() != wait)
        m_watchdog->setInterval(wait);
    if (deadline >= 0)
        m_watchdog->start();
}

void TransferSession::loadTarget(TargetProgram which)
{
    const QString &path = which == TargetProgram::Loader ? m_loaderFile : m_programFile;
    QStringList lines;
    QString error;
    QByteArray bytes;
    if (LoaderFile::readLines(path, &lines, &error))
        bytes = ConvertLoaderFile(lines);
    else if (error.isEmpty())
        error = QStringLiteral("Cannot read file: %1").arg(path);
    drive([&](TransferMachine &m, MachineStep &s) { m.targetFileRead(which, bytes, error, s); });
}

QByteArrayView TransferSession::readInput(qint64 limit)
{
    const qint64 waiting = m_serial.inputCount();
    if (waiting <= 0)
        return {};
    const qint64 n = m_serial.read(m_rx.data(), std::min({waiting, limit, qint64(m_rx.size())}));
    return n > 0 ? QByteArrayView(m_rx.data(), n) : QByteArrayView();
}

void TransferSession::syncTally()
{
    const TransferMachine::Tally &tally = m_machine->tally();
    m_record.bytes = tally.bytes;
    m_record.blocks = tally.blocks;
    m_record.blocksResent = tally.blocksResent;
    m_record.resumeSector = tally.resumeSector;
    if (!tally.sha256.isEmpty())
        m_record.imageSha256 = tally.sha256;
}

void TransferSession::onSerialRx()
{
    if (m_machine->idle() || m_machine->inCanPhase()) {
        // Nothing expected: read away and dropped. The watchdog is left alone: after a line
        // error or a break it is what ends the transfer, and during the CAN phase it guards the
        // CAN replies.
        while (!readInput(qint64(m_rx.size())).isEmpty()) { }
        return;
    }
    const QByteArrayView bytes = readInput(m_machine->readLimit());
    drive([bytes](TransferMachine &m, MachineStep &s) { m.serialRead(bytes, s); });
}

void TransferSession::onSerialTxEmpty()
{
    // The transmit queue has drained: the answer is due from now on.
    if (m_serial.isActive() && m_machine->deadline() < 0) {
        MachineStep step(elapsedMs(), m_machine->watchdog());
        step.arm();
        syncWatchdog();
    }
}

void TransferSession::onSerialError()
{
    if (m_machine->idle())
        return;
    TransferMachine::LineError error;
    quint32 flags = 0;
    error.flagsRead = m_serial.takeLineErrors(&flags);
    error.flags = flags;
    if (!error.flagsRead)
        error.systemText = m_serial.lastErrorText();
    drive([&error](TransferMachine &m, MachineStep &s) { m.lineError(error, s); });
}

void TransferSession::onTimeout()
{
    m_machine->watchdog()->deadline = -1;
    const QByteArrayView late
        = m_machine->takesLateBytes() ? readInput(m_machine->readLimit()) : QByteArrayView();
    drive([late](TransferMachine &m, MachineStep &s) { m.timeout(late, s); });
}

void TransferSession::startCanPhase()
{
    // A user break or a line error since it was asked for has closed the ports and is ending
    // the transfer through its short wait: that wait must stay.
    if (m_finished || !m_can)
        return;
    drive([](TransferMachine &m, MachineStep &s) { m.canPhaseStart(s); });
}

void TransferSession::log(const QString &line)
{
    qCDebug(lcTransfer) << line;
    TransferEvent logged;
    logged.kind = TransferEvent::Kind::Log;
    logged.phase = m_phase;
    logged.text = line;
    emit event(logged);
}

void TransferSession::enterPhase(TransferPhase phase)
{
    if (phase == m_phase)
        return;
    m_phase = phase;
    TransferEvent entered;
    entered.kind = TransferEvent::Kind::Phase;
    entered.phase = phase;
    emit event(entered);
}

void TransferSession::reportProgress(qint64 position)
{
    TransferEvent progress;
    progress.kind = TransferEvent::Kind::Progress;
    progress.phase = m_phase;
    progress.bytes = m_record.bytes;
    progress.total = m_record.totalBytes;
    progress.position = position;
    emit event(progress);
}

qint64 TransferSession::elapsedMs() const
{
    return m_startMs >= 0 ? m_timers.monotonicMs() - m_startMs : 0;
}

QString TransferSession::plainText(const QString &text)
{
    QString plain = text;
    plain.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return plain;
}

QString TransferSession::baudrateText(int ordinal)
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
