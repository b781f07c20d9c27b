#include "transfer/TransferMachine.h"

#include "comm/KTCANDongle.h"
#include "comm/KTComm.h"

namespace {

QString hex2(quint8 b)
{
    return QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
}

} // namespace

TransferMachine::TransferMachine(BootRules rules, int initialWaitMs)
    : m_rules(std::move(rules)), m_initialWaitMs(initialWaitMs)
{
    m_watchdog.waitMs = initialWaitMs;
}

void TransferMachine::bootConfirmed(MachineStep &step)
{
    // Bytes from before this session (a late answer, an aborted transfer) would be taken
    // for the identification.
    step.discardInput();
    enter(BootState::WaitTargetId);
    step.phase(TransferPhase::Identification);
    step.sendByte(Bootstrap::BootByte);
}

void TransferMachine::serialRead(QByteArrayView bytes, MachineStep &step)
{
    if (takeRead(bytes, step))
        takeAnswers(bytes, step);
}

bool TransferMachine::takeRead(QByteArrayView bytes, MachineStep &step)
{
    if (idle() || inCanPhase())
        return false;
    if (bytes.isEmpty()) {
        step.arm();
        return false;
    }
    return true;
}

void TransferMachine::takeAnswers(QByteArrayView bytes, MachineStep &step)
{
    bool answered = false;
    bool sent = false;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (idle() || inCanPhase()) {
            m_bytes.afterEnd += bytes.size() - i;
            break;
        }
        if (sent) {
            ++m_bytes.ignored;
            continue;
        }
        const quint8 b = quint8(bytes.at(i));
        if (!isAnswer(b)) {
            // It cannot stand for an answer, and it does not put the wait off.
            ++m_bytes.ignored;
            continue;
        }
        m_here = bytes.sliced(i);
        m_rest = bytes.sliced(i + 1);
        m_restAnswersNothing = false;
        m_keepWaiting = false;
        m_skip = 0;
        const int before = step.transmissions();
        const qsizetype mark = step.actions().size();
        const MachineWatchdog was = m_watchdog;
        step.stop();
        answer(b, step);
        if (m_keepWaiting) {
            // Not even the stop: the session's watchdog runs on untouched.
            step.takeBack(mark, was);
            if (m_watchdog.deadline < 0)
                step.arm();
        }
        m_bytes.taken += 1 + m_skip;
        i += m_skip;
        answered = true;
        sent = step.transmissions() != before || m_restAnswersNothing;
    }
    m_here = {};
    m_rest = {};
    if (!answered && !idle())
        step.arm();
}

void TransferMachine::answer(quint8 b, MachineStep &step)
{
    bootAnswer(b, step);
}

int TransferMachine::laterAnswer(std::initializer_list<quint8> answers) const
{
    for (char c : m_rest) {
        for (quint8 a : answers) {
            if (quint8(c) == a)
                return a;
        }
    }
    return -1;
}

bool TransferMachine::bootAnswer(quint8 b, MachineStep &step)
{
    // The bootstrap's answers are one byte each: what follows in the read came before the next
    // request, right or wrong.
    const BootState state = bootState();
    m_restAnswersNothing
        = state != BootState::Idle && state != BootState::Ended && state != BootState::Protocol;
    switch (state) {
    case BootState::WaitTargetId:
        if (b != Bootstrap::TargetIdC5 && b != Bootstrap::TargetIdD5) {
            const QString line = QStringLiteral("Invalid Target-ID: %1").arg(hex2(b));
            step.log(line);
            setResult(TransferOutcome::Aborted, abortedPrefix() + line);
            endNow(step);
            return true;
        }
        step.log(QStringLiteral("Target-ID: %1").arg(hex2(b)));
        step.loadTarget(TargetProgram::Loader);
        return true;
    case BootState::WaitLoaderStarted:
        if (b != Bootstrap::LoaderStarted) {
            wrongBootAnswer(m_rules.shortWaitOnWrongLoaderAnswer, step);
            return true;
        }
        step.log(QStringLiteral("%1 Byte transmitted").arg(m_loaderSize));
        step.log(QStringLiteral("Loader started..."));
        step.setWait(m_rules.programStartTimeoutMs);
        step.loadTarget(TargetProgram::Program);
        return true;
    case BootState::WaitProgramStarted:
        if (b != Bootstrap::ProgramStarted) {
            wrongBootAnswer(m_rules.shortWaitOnWrongProgramAnswer, step);
            return true;
        }
        logProgramStarted(step);
        programRunning(step);
        return true;
    case BootState::Idle:
    case BootState::Ended:
    case BootState::Protocol:
        break;
    }
    return false;
}

void TransferMachine::targetFileRead(TargetProgram which, const QByteArray &bytes,
                                     const QString &error, MachineStep &step)
{
    const bool loader = which == TargetProgram::Loader;
    const QString &name = loader ? m_rules.loaderName : m_rules.programName;
    if (!error.isEmpty()) {
        // It was there at the start; now it cannot be read.
        step.log(error);
        setResult(TransferOutcome::Aborted,
                  abortedPrefix() + QStringLiteral("Cannot read file: %1").arg(name));
        endNow(step);
        return;
    }
    (loader ? m_loaderSize : m_programSize) = int(bytes.size());
    if (loader)
        enter(BootState::WaitLoaderStarted);
    else if (m_rules.programAnsweredByProtocol)
        programSent(step);
    else
        enter(BootState::WaitProgramStarted);
    step.phase(loader ? TransferPhase::Loader : TransferPhase::Program);
    step.log(QStringLiteral("Transmitting %1...").arg(name));
    step.send(bytes);
}

void TransferMachine::programSent(MachineStep &step)
{
    Q_UNUSED(step);
}

void TransferMachine::wrongBootAnswer(bool shortWait, MachineStep &step)
{
    // A right answer in the wait still counts; more wrong ones do not put its end off.
    const bool shortWaitRuns
        = m_outcome == TransferOutcome::Aborted && m_watchdog.waitMs == MachineStep::AbortDelayMs;
    setOutcome(TransferOutcome::Aborted);
    if (shortWait && !shortWaitRuns)
        step.endSoon();
    else
        keepWaiting();
}

void TransferMachine::logProgramStarted(MachineStep &step)
{
    step.log(QStringLiteral("%1 Byte transmitted").arg(m_programSize));
    step.log(QStringLiteral("Brasvik started..."));
}

void TransferMachine::succeed(MachineStep &step, const QString &finishedLine, const QString &text)
{
    if (!dataComplete()) {
        endWithError(step, shortfallText(), TransferOutcome::Failed);
        return;
    }
    step.log(finishedLine);
    setResult(TransferOutcome::Success, text);
    endNow(step);
}

void TransferMachine::endWithError(MachineStep &step, const QString &line, TransferOutcome outcome,
                                   const QString &text)
{
    step.log(line);
    setResult(outcome, text.isEmpty() ? abortedPrefix() + line : text);
    endNow(step);
}

void TransferMachine::stopAll()
{
    if (!ended())
        enter(BootState::Idle);
}

void TransferMachine::endNow(MachineStep &step)
{
    enter(BootState::Ended);
    step.finish();
}

void TransferMachine::canFrame(const TCANMsg &frame, MachineStep &step)
{
    Q_UNUSED(frame);
    Q_UNUSED(step);
}

void TransferMachine::canError(quint32 code, MachineStep &step)
{
    if (idle())
        return;
    step.closeDongle();
    step.stop();
    endWithError(step, QStringLiteral("CAN Dongle error: ") + CANErrorText(code),
                 TransferOutcome::Failed);
}

void TransferMachine::canPhaseStart(MachineStep &step)
{
    Q_UNUSED(step);
}

void TransferMachine::timeout(QByteArrayView late, MachineStep &step)
{
    Q_UNUSED(late);
    if (ended())
        return;
    // The transfer ends here: whatever the device still says is no answer.
    step.log(QStringLiteral("TIMEOUT"));
    endNow(step);
}

void TransferMachine::userBreak(MachineStep &step)
{
    // A transfer that has ended keeps its outcome and report.
    if (ended())
        return;
    // The ports are closed: nothing more can come.
    stopAll();
    m_resultText = abortedPrefix() + QStringLiteral("User break!");
    step.endSoon();
}

void TransferMachine::lineError(const LineError &error, MachineStep &step)
{
    if (idle())
        return;
    step.stop();
    if (!error.flagsRead) {
        QString text = error.systemText;
        if (text.trimmed().isEmpty())
            text = QStringLiteral("Unknown Error!");
        setResultText(abortedPrefix() + QStringLiteral("System error:\r\n") + text);
    } else if (error.flags != 0) {
        setResultText(abortedPrefix() + QStringLiteral("COM error:\r\n")
                      + CommErrorText(error.flags));
    }
    if (m_rules.lineErrorStopsProtocol)
        stopAll();
    step.endSoon();
}
