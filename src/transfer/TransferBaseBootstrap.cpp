#include "transfer/TransferBase.h"

#include "comm/KTComm.h"

#include <QFileInfo>

// The bootstrap phase, the same in every transfer: the boot byte, the target's identification,
// the loader and the program; and the serial line errors, which end every protocol alike.

namespace {

QString bareName(const QString &path)
{
    return QFileInfo(path).fileName();
}

QString hex2(quint8 b)
{
    return QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
}

} // namespace

void TransferBase::sendBootByte()
{
    // Bytes from before this session (a late answer, an aborted transfer) would be taken
    // for the identification.
    m_serial.discardInput();
    m_state = quint8(BootState::WaitTargetId);
    enterPhase(TransferPhase::Identification);
    sendByte(Bootstrap::BootByte);
}

bool TransferBase::bootstrapAnswer(quint8 b)
{
    switch (BootState(m_state)) {
    case BootState::WaitTargetId:
        if (b != Bootstrap::TargetIdC5 && b != Bootstrap::TargetIdD5) {
            const QString line = QStringLiteral("Invalid Target-ID: %1").arg(hex2(b));
            log(line);
            setResult(TransferOutcome::Aborted, abortedPrefix() + line);
            m_state = quint8(BootState::Idle);
            scheduleFinish();
            return true;
        }
        log(QStringLiteral("Target-ID: %1").arg(hex2(b)));
        sendTargetFile(m_loaderFile, &m_loaderSize, TransferPhase::Loader,
                       quint8(BootState::WaitLoaderStarted));
        return true;
    case BootState::WaitLoaderStarted:
        if (b != Bootstrap::LoaderStarted) {
            wrongBootstrapAnswer(m_bootstrapRules.shortWaitOnWrongLoaderAnswer);
            return true;
        }
        log(QStringLiteral("%1 Byte transmitted").arg(m_loaderSize));
        log(QStringLiteral("Loader started..."));
        setWatchdogInterval(m_bootstrapRules.programStartTimeoutMs);
        sendTargetFile(m_programFile, &m_programSize, TransferPhase::Program,
                       m_bootstrapRules.stateAfterLoader);
        return true;
    case BootState::WaitProgramStarted:
        if (b != Bootstrap::ProgramStarted) {
            wrongBootstrapAnswer(m_bootstrapRules.shortWaitOnWrongProgramAnswer);
            return true;
        }
        if (programStarted())
            onProgramRunning();
        return true;
    case BootState::Idle:
        break;
    }
    return false;
}

void TransferBase::sendTargetFile(const QString &path, int *size, TransferPhase phase,
                                  quint8 nextState)
{
    QByteArray bytes;
    if (!loadProgram(path, &bytes)) {
        // It was there at the start; now it cannot be read.
        setResult(TransferOutcome::Aborted,
                  abortedPrefix() + QStringLiteral("Cannot read file: %1").arg(bareName(path)));
        m_state = quint8(BootState::Idle);
        scheduleFinish();
        return;
    }
    *size = int(bytes.size());
    m_state = nextState;
    enterPhase(phase);
    log(QStringLiteral("Transmitting %1...").arg(bareName(path)));
    sendSerial(bytes);
}

void TransferBase::wrongBootstrapAnswer(bool shortWait)
{
    setOutcome(TransferOutcome::Aborted);
    if (shortWait)
        endSoon();
    else
        armWatchdog();
}

bool TransferBase::programStarted()
{
    log(QStringLiteral("%1 Byte transmitted").arg(m_programSize));
    log(QStringLiteral("Brasvik started..."));
    if (!m_useCan)
        return true;
    // The watchdog stays stopped until the CAN phase arms it.
    m_canPhase = true;
    scheduleCanPhase();
    return false;
}

void TransferBase::onSerialError()
{
    if (isIdle())
        return;
    stopWatchdog();
    quint32 flags = 0;
    if (!m_serial.takeLineErrors(&flags)) {
        QString text = m_serial.lastErrorText();
        if (text.trimmed().isEmpty())
            text = QStringLiteral("Unknown Error!");
        setResultText(abortedPrefix() + QStringLiteral("System error:\r\n") + text);
    } else if (flags != 0) {
        setResultText(abortedPrefix() + QStringLiteral("COM error:\r\n") + CommErrorText(flags));
    }
    if (m_bootstrapRules.lineErrorStopsProtocol)
        m_state = quint8(BootState::Idle);
    endSoon();
}
