#include "download/CanDownload.h"

#include "core/SectorMap.h"
#include "download/DownloadFrames.h"

#include <algorithm>

namespace {

TransferMachine::BootRules canRules(const DownloadJob &job)
{
    TransferMachine::BootRules rules;
    rules.programStartTimeoutMs = job.retainData ? DownloadMachine::RetainProgramStartTimeoutMs
                                                 : DownloadMachine::FlashProgramStartTimeoutMs;
    rules.useCan = true;
    return rules;
}

} // namespace

CanDownload::CanDownload(DownloadJob job) : DownloadMachine(job, canRules(job))
{
    m_canCommand.ID = CanCommandId;
    for (size_t i = 0; i < m_canData.size(); ++i)
        m_canData[i].ID = CanDataIds[i];
}

void CanDownload::programRunning(MachineStep &step)
{
    // From here on, whatever the serial line brings is no answer. The watchdog stays stopped
    // until the CAN phase arms it.
    enter(State::WaitCanPhase);
    step.startCanPhase();
}

void CanDownload::canPhaseStart(MachineStep &step)
{
    // A user break or a line error since it was asked for is ending the transfer through its
    // short wait: that wait must stay.
    if (state() != State::WaitCanPhase)
        return;
    step.stop();
    if (m_job.retainData) {
        step.log(QStringLiteral("Start retain values programming..."));
        step.phase(TransferPhase::Data);
        m_canCommand.Len = 1;
        enter(State::Programming);
        step.setWait(CanRetainBlockTimeoutMs);
        SendCANRetainBlock(step);
        return;
    }
    m_canCommand.Data[0] = quint8(m_job.firstSector);
    m_canCommand.Data[1]
        = m_job.endSector == m_job.firstSector ? quint8(SectorCount) : quint8(m_job.endSector);
    m_canCommand.Len = 2;
    step.log(erasingLine());
    step.phase(TransferPhase::Erase);
    enter(State::WaitErase);
    step.setWait(EraseTimeoutMs);
    step.arm();
    step.sendCan(m_canCommand);
}

void CanDownload::canFrame(const TCANMsg &msg, MachineStep &step)
{
    if ((state() != State::WaitErase && state() != State::Programming) || msg.ID != CanReplyId
        || msg.Len == 0)
        return;
    // Every reply with a status of the protocol is the answer to what is in flight: the erase,
    // a block or the end marker. Another status (0xA5 for retain values) stands for none and
    // leaves the wait as it is.
    const quint8 status = msg.Data[0];
    if (status != CanEraseFinished && status != BlockOk && status != CompareError
        && (status != Refused || m_job.retainData) && status != Acknowledge)
        return;
    step.stop();
    const bool erasing = state() == State::WaitErase;
    if (status == CanEraseFinished && erasing && !m_job.retainData) {
        sectorsErased(step, m_job.endSector == m_job.firstSector);
        m_canCommand.Len = 5;
        enter(State::Programming);
        step.setWait(FlashBlockTimeoutMs);
        SendCANFlashBlock(step);
        return;
    }
    switch (status) {
    case BlockOk:
    case CanEraseFinished:
        if (erasing || m_frame == Frame::End || status == CanEraseFinished) {
            // No block is in flight to be answered, or the erase is answered again: sending
            // on would loop.
            answersOutOfStep(QStringLiteral("%1h answered %2.")
                                 .arg(QString::number(status, 16).toUpper(), frameText()),
                             step);
            break;
        }
        blockAcknowledged();
        if (m_job.retainData)
            SendCANRetainBlock(step);
        else
            SendCANFlashBlock(step);
        break;
    case CompareError:
        if (m_job.retainData)
            endWithError(step, QStringLiteral("Compare error!"), TransferOutcome::Failed);
        else
            endWithError(step, QStringLiteral("Compare error!"), TransferOutcome::Failed,
                         compareErrorText());
        break;
    case Refused:
        endWithError(step, QStringLiteral("Flash erase error!"), TransferOutcome::Failed);
        break;
    case Acknowledge:
        succeedProgramming(step);
        break;
    default:
        break;
    }
}

void CanDownload::sendCanBlock(const QByteArray &data, MachineStep &step)
{
    for (TCANMsg &slot : m_canData) {
        slot.Len = 0;
        std::fill(std::begin(slot.Data), std::end(slot.Data), quint8(0));
    }
    for (qsizetype k = 0; k < data.size(); ++k) {
        TCANMsg &slot = m_canData[size_t(k / 8)];
        slot.Data[k % 8] = quint8(data.at(k));
        slot.Len = quint8(slot.Len + 1);
    }
    // A slot without block bytes still goes out, with one meaningless byte.
    for (TCANMsg &slot : m_canData) {
        if (slot.Len == 0)
            slot.Len = 1;
    }
    for (const TCANMsg &slot : m_canData)
        step.sendCan(slot);
    step.arm();
    step.sendCan(m_canCommand);
}

void CanDownload::SendCANFlashBlock(MachineStep &step)
{
    showProgrammed(step);
    const DownloadFrames::FlashBlock block
        = DownloadFrames::nextFlashBlock(m_job.image, m_position, m_job.dataEnd, false);
    m_position = block.nextPosition;
    step.progress(m_position);
    const int d = int(block.data.size());
    if (d > 0) {
        m_blockStart = block.start;
        m_blockSector = block.sector;
        m_bytesProgrammed += d;
        m_inFlight = d;
        ++m_tally.blocks;
        m_tally.resumeSector = m_blockSector;
        m_canCommand.Len = 5;
        m_canCommand.Data[0] = quint8(d);
        m_canCommand.Data[1] = m_blockSector;
        m_canCommand.Data[2] = quint8(m_blockStart & 0xFF);
        m_canCommand.Data[3] = quint8((m_blockStart >> 8) & 0xFF);
        m_canCommand.Data[4] = quint8((m_blockStart >> 16) & 0xFF);
        m_frame = Frame::FlashBlock;
    } else {
        // The empty block is the end marker.
        m_frame = Frame::End;
        m_canCommand.Len = 1;
        m_canCommand.Data[0] = 0x00;
    }
    sendCanBlock(block.data, step);
}

void CanDownload::SendCANRetainBlock(MachineStep &step)
{
    const QByteArray data = nextRetainBytes(DownloadFrames::MaxFlashBlockBytes, step);
    m_bytesProgrammed += int(data.size());
    m_inFlight = data.size();
    m_frame = data.isEmpty() ? Frame::End : Frame::RetainBlock;
    m_canCommand.Len = 1;
    m_canCommand.Data[0] = quint8(data.size());
    sendCanBlock(data, step);
}
