#include "download/DownloadTransfer.h"

#include "comm/KTCANDongle.h"

#include <QLoggingCategory>

#include <algorithm>

// The CAN part of the download: after the start over RS-232 the erase and the blocks go over
// the bus, one block (four data messages and the command) in flight at a time.

void DownloadTransfer::CANError(quint32 code)
{
    if (isIdle())
        return;
    if (can())
        can()->closeDongle();
    stopWatchdog();
    endWithError(QStringLiteral("CAN Dongle error: ") + CANErrorText(code),
                 TransferOutcome::Failed);
}

void DownloadTransfer::StartCANPhase()
{
    // A user break or a line error since the scheduling has closed the ports and is ending the
    // transfer through its short wait: that wait must stay.
    if (hasFinished() || isIdle() || !can())
        return;
    stopWatchdog();
    m_canCommand = TCANMsg {};
    m_canCommand.ID = CanCommandId;
    m_canCommand.MsgType = 0;
    for (int i = 0; i < 4; ++i) {
        m_canData[i] = TCANMsg {};
        m_canData[i].ID = CanDataIds[i];
        m_canData[i].MsgType = 0;
    }
    if (m_request.retainData) {
        log(QStringLiteral("Start retain values programming..."));
        enterPhase(TransferPhase::Data);
        m_canCommand.Len = 1;
        setWatchdogInterval(CanRetainBlockTimeoutMs);
        SendCANRetainBlock();
        return;
    }
    m_canCommand.Data[0] = quint8(m_request.firstSector);
    if (m_request.endSector == m_request.firstSector) {
        m_canCommand.Data[1] = CanWholeFlashEnd;
        log(QStringLiteral("Erasing all flash sectors..."));
    } else {
        m_canCommand.Data[1] = quint8(m_request.endSector);
        log(QStringLiteral("Erasing flash sectors %1 up to %2...")
                .arg(m_request.firstSector)
                .arg(m_request.endSector - 1));
    }
    m_canCommand.Len = 2;
    enterPhase(TransferPhase::Erase);
    setWatchdogInterval(EraseTimeoutMs);
    armWatchdog();
    sendCan(m_canCommand);
}

void DownloadTransfer::CANResult(const TCANMsg &msg)
{
    if (isIdle() || msg.ID != CanReplyId || msg.Len == 0)
        return;
    stopWatchdog();
    switch (quint8(msg.Data[0])) {
    case CanEraseFinished:
        if (m_request.endSector == m_request.firstSector)
            log(QStringLiteral("Flash erased"));
        else
            log(QStringLiteral("Flash sectors %1 up to %2 erased")
                    .arg(m_request.firstSector)
                    .arg(m_request.endSector - 1));
        log(QStringLiteral("Start flash programming..."));
        enterPhase(TransferPhase::Data);
        m_canCommand.Len = 5;
        setWatchdogInterval(FlashBlockTimeoutMs);
        SendCANFlashBlock();
        break;
    case BlockOk:
        SendCANFlashBlock();
        break;
    case CompareError:
        endWithError(QStringLiteral("Compare error!"), TransferOutcome::Failed, compareErrorText());
        break;
    case Refused:
        endWithError(QStringLiteral("Flash erase error!"), TransferOutcome::Failed);
        break;
    case Acknowledge:
        succeed(QStringLiteral("Flash programming finished!"),
                QStringLiteral("Flash programming successful:"));
        break;
    default:
        armWatchdog();
        break;
    }
}

void DownloadTransfer::CANResultNV(const TCANMsg &msg)
{
    if (isIdle() || msg.ID != CanReplyId || msg.Len == 0)
        return;
    stopWatchdog();
    switch (quint8(msg.Data[0])) {
    case BlockOk:
        SendCANRetainBlock();
        break;
    case CompareError:
        endWithError(QStringLiteral("Compare error!"), TransferOutcome::Failed);
        break;
    case Acknowledge:
        succeed(QStringLiteral("Retain values programming finished!"),
                QStringLiteral("Retain values programming successful:"));
        break;
    default:
        armWatchdog();
        break;
    }
}

void DownloadTransfer::sendCanBlock(const QByteArray &data)
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
        sendCan(slot);
    armWatchdog();
    sendCan(m_canCommand);
}

void DownloadTransfer::SendCANFlashBlock()
{
    m_record.bytes = m_bytesProgrammed;
    emit statusText(QStringLiteral("%1 bytes programmed").arg(m_bytesProgrammed));
    const DownloadFrames::FlashBlock block
        = DownloadFrames::nextFlashBlock(m_request.image, m_position, m_request.dataEnd, false);
    m_position = block.nextPosition;
    reportProgress(m_position);
    const int d = int(block.data.size());
    if (d > 0) {
        m_blockStart = block.start;
        m_blockSector = block.sector;
        m_bytesProgrammed += d;
        ++m_record.blocks;
        m_record.resumeSector = m_blockSector;
        m_canCommand.Len = 5;
        m_canCommand.Data[0] = quint8(d);
        m_canCommand.Data[1] = m_blockSector;
        m_canCommand.Data[2] = quint8(m_blockStart & 0xFF);
        m_canCommand.Data[3] = quint8((m_blockStart >> 8) & 0xFF);
        m_canCommand.Data[4] = quint8((m_blockStart >> 16) & 0xFF);
    } else {
        m_canCommand.Len = 1;
        m_canCommand.Data[0] = 0x00;
    }
    sendCanBlock(block.data);
}

void DownloadTransfer::SendCANRetainBlock()
{
    const QByteArray data = nextRetainBytes(DownloadFrames::MaxFlashBlockBytes);
    m_bytesProgrammed += int(data.size());
    m_canCommand.Len = 1;
    m_canCommand.Data[0] = quint8(data.size());
    sendCanBlock(data);
}
