#include "download/DownloadMachine.h"

#include "download/DownloadFrames.h"

namespace {

QString hex6(qint64 v)
{
    return QStringLiteral("%1").arg(v, 6, 16, QLatin1Char('0')).toUpper();
}

QString hex2(quint8 b)
{
    return QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
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
    return m_frame == Frame::End && m_inFlight == 0 && m_acknowledged == m_job.plannedBytes;
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
    if (m_frame == Frame::FlashBlock)
        m_previousSector = m_blockSector;
}

void DownloadMachine::sendFrame(Frame kind, const QByteArray &frame, MachineStep &step)
{
    m_frame = kind;
    m_repeats = 0;
    m_lastFrame = frame;
    step.send(m_lastFrame);
}

void DownloadMachine::sendEndMarker(MachineStep &step, quint8 marker)
{
    // Sent again, as a data frame is, when the device asks for it.
    sendFrame(Frame::End, QByteArray(1, char(marker)), step);
}

QString DownloadMachine::frameText() const
{
    switch (m_frame) {
    case Frame::FlashBlock:
        return QStringLiteral("the block at %1h (sector %2)")
            .arg(hex6(m_blockStart))
            .arg(m_blockSector);
    case Frame::RetainBlock:
        return QStringLiteral("the retain values block at %1h").arg(hex6(m_blockStart));
    case Frame::Switch:
        return QStringLiteral("the switch to the retain values");
    case Frame::End:
        return QStringLiteral("the end of data");
    case Frame::None:
        break;
    }
    return QStringLiteral("the erase");
}

bool DownloadMachine::inStep(quint8 b, MachineStep &step)
{
    const int later = laterAnswer({BlockOk, CompareError, Refused, Acknowledge});
    if (later < 0)
        return true;
    answersOutOfStep(QStringLiteral("%1h came after the answer %2h to %3.")
                         .arg(hex2(quint8(later)), hex2(b), frameText()),
                     step);
    return false;
}

void DownloadMachine::answersOutOfStep(const QString &text, MachineStep &step)
{
    // Which of the answers was meant for which block cannot be known: from the block answered
    // before the one in flight on, nothing is known to be programmed.
    if (!m_retainPart && m_tally.resumeSector >= 0 && m_previousSector >= 0)
        m_tally.resumeSector = qMin(m_tally.resumeSector, m_previousSector);
    endWithError(step, QStringLiteral("The answers are out of step: ") + text,
                 TransferOutcome::Failed);
}

void DownloadMachine::refusedTooOften(MachineStep &step)
{
    const QString line
        = QStringLiteral("The device refused %1 %2 times.").arg(frameText()).arg(m_repeats + 1);
    endWithError(step, line, TransferOutcome::Failed);
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
    sendFrame(Frame::RetainBlock, DownloadFrames::retainBlockFrame(data), step);
}

void DownloadMachine::sendNextFrame(MachineStep &step)
{
    sendRetainFrame(step);
}

void DownloadMachine::frameAnswer(quint8 b, MachineStep &step)
{
    switch (b) {
    case BlockOk:
        if (m_frame == Frame::End) {
            // Only the end marker's own answer ends the data; sending it again would loop.
            answersOutOfStep(QStringLiteral("55h answered %1.").arg(frameText()), step);
            return;
        }
        if (!inStep(b, step))
            return;
        blockAcknowledged();
        sendNextFrame(step);
        return;
    case CompareError:
        // A flash block's refusal names its sector and range; a retain frame has none.
        endWithError(step, QStringLiteral("Compare error!"), TransferOutcome::Failed,
                     m_retainPart ? QString() : compareErrorText());
        return;
    case Refused:
        if (!inStep(b, step))
            return;
        if (m_repeats >= MaxRepeats) {
            refusedTooOften(step);
            return;
        }
        // The whole frame again, checksum included.
        ++m_repeats;
        ++m_tally.blocksResent;
        step.send(m_lastFrame);
        return;
    case Acknowledge:
        succeedProgramming(step);
        return;
    default:
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
