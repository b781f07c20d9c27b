#include "download/DownloadMachine.h"

#include "download/DownloadFrames.h"

namespace {

QString hex6(qint64 v)
{
    return QStringLiteral("%1").arg(v, 6, 16, QLatin1Char('0')).toUpper();
}

} // namespace

DownloadMachine::DownloadMachine(DownloadJob job, BootRules rules)
    : TransferMachine(std::move(rules), TargetIdTimeoutMs), m_job(std::move(job))
{
    m_retainPart = m_job.retainData;
    m_position = m_job.startPosition;
    m_tally.resumeSector = m_job.resumeSector;
    setResultText(abortedPrefix() + QStringLiteral("TIMEOUT"));
}

void DownloadMachine::bootConfirmed(MachineStep &step)
{
    if (!m_job.resumeNote.isEmpty())
        step.log(m_job.resumeNote);
    TransferMachine::bootConfirmed(step);
}

QString DownloadMachine::abortedPrefix() const
{
    return m_retainPart ? QStringLiteral("Retain values programming aborted:\r\n\r\n")
                        : QStringLiteral("Flash programming aborted:\r\n\r\n");
}

TransferMachine::Place DownloadMachine::failurePlace() const
{
    if (m_retainPart)
        return {-1, m_blockStart};
    return {m_blockSector, m_blockStart};
}

bool DownloadMachine::dataComplete() const
{
    // The device confirms the end marker only; every block before it must have been answered.
    return m_endSent && m_inFlight == 0 && m_acknowledged == m_job.plannedBytes;
}

QString DownloadMachine::shortfallText() const
{
    return QStringLiteral("The device reported the end of programming after %1 of %2 bytes.")
        .arg(m_acknowledged)
        .arg(m_job.plannedBytes);
}

void DownloadMachine::blockAcknowledged()
{
    m_acknowledged += m_inFlight;
    m_inFlight = 0;
}

void DownloadMachine::sendEndMarker(MachineStep &step, quint8 marker)
{
    m_endSent = true;
    // Sent again, as a data frame is, when the device asks for it.
    m_lastFrame = QByteArray(1, char(marker));
    step.send(m_lastFrame);
}

void DownloadMachine::showProgrammed(MachineStep &step)
{
    m_tally.bytes = m_bytesProgrammed;
    step.status(QStringLiteral("%1 bytes programmed").arg(m_bytesProgrammed));
}

QByteArray DownloadMachine::nextRetainBytes(int count, MachineStep &step)
{
    showProgrammed(step);
    QByteArray data;
    if (m_position < m_job.image.size()) {
        m_blockStart = qint32(m_position);
        data = m_job.image.mid(m_position, count);
        m_position += data.size();
    }
    step.progress(m_position);
    if (!data.isEmpty())
        ++m_tally.blocks;
    return data;
}

void DownloadMachine::sendRetainFrame(MachineStep &step)
{
    const QByteArray data = nextRetainBytes(DownloadFrames::RetainFrameBytes, step);
    if (data.isEmpty()) {
        sendEndMarker(step, DownloadFrames::EndOfData);
        return;
    }
    m_bytesProgrammed += int(data.size());
    m_inFlight = data.size();
    m_lastFrame = DownloadFrames::retainBlockFrame(data);
    step.send(m_lastFrame);
}

void DownloadMachine::sendNextFrame(MachineStep &step)
{
    sendRetainFrame(step);
}

void DownloadMachine::frameAnswer(quint8 b, MachineStep &step)
{
    switch (b) {
    case BlockOk:
        blockAcknowledged();
        sendNextFrame(step);
        break;
    case CompareError:
        // A flash block's refusal names its sector and range; a retain frame has none.
        endWithError(step, QStringLiteral("Compare error!"), TransferOutcome::Failed,
                     m_retainPart ? QString() : compareErrorText());
        stopAll();
        break;
    case Refused:
        // The whole frame again, checksum included.
        ++m_tally.blocksResent;
        step.send(m_lastFrame);
        break;
    case Acknowledge:
        succeedProgramming(step);
        break;
    default:
        step.arm();
        break;
    }
}

void DownloadMachine::succeedProgramming(MachineStep &step)
{
    if (dataComplete())
        m_tally.bytes = m_bytesProgrammed;
    const QString heading = m_retainPart ? QStringLiteral("Retain values programming successful:")
                                         : QStringLiteral("Flash programming successful:");
    succeed(step,
            m_retainPart ? QStringLiteral("Retain values programming finished!")
                         : QStringLiteral("Flash programming finished!"),
            heading
                + QStringLiteral("\r\n\r\n%1 bytes programmed\r\n\r\nUsed time: %2 ms")
                      .arg(m_bytesProgrammed)
                      .arg(step.elapsedMs()));
}

QString DownloadMachine::compareErrorText() const
{
    return abortedPrefix()
        + QStringLiteral("Compare error!\r\n\r\nSector: %1\r\nRange:  %2h to %3h")
              .arg(m_blockSector)
              .arg(hex6(m_blockStart), hex6(m_position));
}

QString DownloadMachine::erasingLine() const
{
    if (m_job.endSector == m_job.firstSector)
        return QStringLiteral("Erasing all flash sectors...");
    return QStringLiteral("Erasing flash sectors %1 up to %2...")
        .arg(m_job.firstSector)
        .arg(m_job.endSector - 1);
}

void DownloadMachine::sectorsErased(MachineStep &step, bool whole)
{
    if (whole)
        step.log(QStringLiteral("Flash erased"));
    else
        step.log(QStringLiteral("Flash sectors %1 up to %2 erased")
                     .arg(m_job.firstSector)
                     .arg(m_job.endSector - 1));
    step.log(QStringLiteral("Start flash programming..."));
    step.phase(TransferPhase::Data);
}
