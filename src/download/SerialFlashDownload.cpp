#include "download/SerialFlashDownload.h"

#include "core/SectorMap.h"
#include "download/DownloadFrames.h"

namespace {

TransferMachine::BootRules flashRules(const DownloadJob &job)
{
    TransferMachine::BootRules rules;
    rules.programStartTimeoutMs = DownloadMachine::FlashProgramStartTimeoutMs;
    // The board's flash program answers its start only after the (absent) sector bytes.
    rules.programAnsweredByProtocol = job.deviceType == DeviceKind::Board4610;
    return rules;
}

} // namespace

SerialFlashDownload::SerialFlashDownload(DownloadJob job)
    : DownloadMachine(job, flashRules(job)) { }

void SerialFlashDownload::programSent(MachineStep &step)
{
    Q_UNUSED(step);
    enter(State::WaitEndSectorAck);
}

void SerialFlashDownload::programRunning(MachineStep &step)
{
    step.phase(TransferPhase::Sectors);
    step.log(QStringLiteral("Transmitting start sector: %1...").arg(m_job.firstSector));
    step.setWait(SectorAckTimeoutMs);
    enter(State::WaitStartSectorAck);
    step.sendByte(quint8(m_job.firstSector));
}

bool SerialFlashDownload::isAnswer(quint8 b) const
{
    return (state() != State::Programming && state() != State::RetainProgramming)
        || isFrameAnswer(b);
}

void SerialFlashDownload::answer(quint8 b, MachineStep &step)
{
    if (bootAnswer(b, step))
        return;
    switch (state()) {
    case State::WaitStartSectorAck:
        if (b != Acknowledge) {
            unexpectedReply(step);
            return;
        }
        step.log(QStringLiteral("1 Byte transmitted"));
        // The log names the count, the wire carries the end sector (0 for the whole flash).
        step.log(QStringLiteral("Transmitting sector count: %1...")
                     .arg(m_job.endSector == m_job.firstSector
                              ? SectorCount
                              : m_job.endSector - m_job.firstSector));
        enter(State::WaitEndSectorAck);
        step.sendByte(quint8(m_job.endSector));
        return;
    case State::WaitEndSectorAck:
        if (b != Acknowledge)
            unexpectedReply(step);
        else
            endSectorAcknowledged(step);
        return;
    case State::WaitErase:
        eraseAnswered(b, step);
        return;
    case State::Programming:
    case State::RetainProgramming:
        frameAnswer(b, step);
        return;
    case State::Idle:
    case State::Ended:
    case State::WaitTargetId:
    case State::WaitLoaderStarted:
    case State::WaitProgramStarted:
        break;
    }
}

void SerialFlashDownload::endSectorAcknowledged(MachineStep &step)
{
    if (m_job.deviceType == DeviceKind::Board4610)
        logProgramStarted(step); // the board's program answers here that it runs
    else
        step.log(QStringLiteral("1 Byte transmitted"));
    step.log(erasingLine());
    step.phase(TransferPhase::Erase);
    enter(State::WaitErase);
    step.setWait(EraseTimeoutMs);
    step.arm();
    // The erase answer follows the acknowledgement without a request of its own; after a quick
    // erase, or when the host was busy, both come in one read, and the read goes on with it.
}

void SerialFlashDownload::eraseAnswered(quint8 b, MachineStep &step)
{
    if (b != quint8(m_job.endSector) || b == Refused) {
        endWithError(step, QStringLiteral("Flash erase error!"), TransferOutcome::Failed);
        return;
    }
    if (!inStep(b, step))
        return;
    sectorsErased(step, b == 0);
    enter(State::Programming);
    step.setWait(FlashBlockTimeoutMs);
    SendFlashBlock(step);
}

void SerialFlashDownload::sendNextFrame(MachineStep &step)
{
    // The NV part of the board's combined image follows in retain-values frames.
    if (state() == State::RetainProgramming)
        sendRetainFrame(step);
    else
        SendFlashBlock(step);
}

void SerialFlashDownload::SendFlashBlock(MachineStep &step)
{
    showProgrammed(step);
    const DownloadFrames::FlashBlock block = DownloadFrames::nextFlashBlock(
        m_job.image, m_position, m_job.dataEnd, m_job.deviceType == DeviceKind::Board4610);
    m_position = block.nextPosition;
    if (!block.data.isEmpty()) {
        m_blockStart = block.start;
        m_blockSector = block.sector;
    }
    step.progress(m_position);
    if (block.data.isEmpty()) {
        if (m_position < m_job.dataEnd && m_position < m_job.image.size()) {
            // The NV parameters of the combined 4610 image follow its flash part.
            m_retainPart = true;
            m_tally.resumeSector = -1; // the NV part is always downloaded whole
            setResultText(abortedPrefix() + QStringLiteral("TIMEOUT"));
            enter(State::RetainProgramming);
            sendFrame(Frame::Switch, QByteArray(1, char(DownloadFrames::SwitchToRetain)), step);
        } else {
            sendEndMarker(step, DownloadFrames::EndOfData);
        }
        return;
    }
    m_bytesProgrammed += int(block.data.size());
    m_inFlight = block.data.size();
    ++m_tally.blocks;
    m_tally.resumeSector = m_blockSector;
    sendFrame(Frame::FlashBlock, DownloadFrames::flashBlockFrame(block), step);
}

void SerialFlashDownload::unexpectedReply(MachineStep &step)
{
    setOutcome(TransferOutcome::Aborted);
    // Whatever comes in the short wait is no answer any more.
    stopAll();
    step.endSoon();
}
