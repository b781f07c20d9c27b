#include "upload/UploadTransfer.h"

#include "comm/KTCANDongle.h"

#include <cstring>

// The CAN part of the upload: after the start over RS-232 the region is asked for on the bus and
// read in batches of 32 bytes, one request in flight at a time. Retain values skip the region
// request and go straight to the batches.

void UploadTransfer::onCanError(quint32 code)
{
    if (isIdle())
        return;
    if (can())
        can()->closeDongle();
    stopWatchdog();
    const QString line = QStringLiteral("CAN Dongle error: ") + CANErrorText(code);
    log(line);
    setResult(TransferOutcome::Failed, abortedPrefix() + line);
    setState(State::Idle);
    scheduleFinish();
}

void UploadTransfer::onStartCanPhase()
{
    // A user break or an error that came first has ended the reading already.
    if (isIdle() || hasFinished())
        return;
    stopWatchdog();
    m_batch.clear();
    const QByteArray first
        = UploadWire::canFirstCommand(m_setup.RetainMode, m_setup.FirstSector, m_setup.EndSector);
    m_canCommand.Len = quint8(first.size());
    std::memcpy(m_canCommand.Data, first.constData(), size_t(first.size()));
    if (m_setup.RetainMode) {
        log(QStringLiteral("Reading retain values..."));
        enterPhase(TransferPhase::Data);
        setState(State::CANReading);
    } else if (m_setup.FirstSector == m_setup.EndSector) {
        // The region request: the sectors that the reading covers.
        enterPhase(TransferPhase::Sectors);
        log(QStringLiteral("Reading all flash data sectors..."));
    } else {
        enterPhase(TransferPhase::Sectors);
        log(QStringLiteral("Reading flash data sectors %1 up to %2...")
                .arg(m_setup.FirstSector)
                .arg(m_setup.EndSector - 1));
    }
    setWatchdogInterval(CanTimeoutMs);
    armWatchdog();
    sendCan(m_canCommand);
}

void UploadTransfer::onCanResult(const TCANMsg &received)
{
    const TCANMsg msg = received;
    if (isIdle() || msg.Len == 0)
        return;
    if (state() == State::WaitProgramStarted && !m_setup.RetainMode) {
        // Only the answer to the region request counts; others leave the watchdog running.
        if (msg.ID != CANUploadBatch::StatusId)
            return;
        stopWatchdog();
        if (msg.Data[0] == CANUploadBatch::StatusRegionAccepted) {
            enterPhase(TransferPhase::Data);
            m_canCommand.Len = 1;
            m_canCommand.Data[0] = BlockRequest;
            setState(State::CANReading);
            armWatchdog();
            sendCan(m_canCommand);
        } else {
            armWatchdog();
        }
        return;
    }

    stopWatchdog();
    switch (m_batch.take(msg)) {
    case CANUploadBatch::Event::Complete:
        StoreCANBlock();
        break;
    case CANUploadBatch::Event::EndOfData:
        completeReading();
        break;
    case CANUploadBatch::Event::Empty:
    case CANUploadBatch::Event::Foreign:
    case CANUploadBatch::Event::Waiting:
        armWatchdog();
        break;
    }
}

void UploadTransfer::StoreCANBlock()
{
    storeData(m_batch.batch());
    m_batch.clear();
    m_canCommand.Len = 1;
    m_canCommand.Data[0] = BlockRequest;
    armWatchdog();
    sendCan(m_canCommand);
}
