#include "upload/CanUpload.h"

#include <cstring>

namespace {

TransferMachine::BootRules canRules(const UploadJob &job)
{
    TransferMachine::BootRules rules;
    rules.programStartTimeoutMs = UploadMachine::ProgramTimeoutMs;
    rules.shortWaitOnWrongLoaderAnswer = false;
    rules.shortWaitOnWrongProgramAnswer = !job.retainMode;
    rules.lineErrorStopsProtocol = false;
    rules.useCan = true;
    return rules;
}

} // namespace

CanUpload::CanUpload(UploadJob job) : UploadMachine(job, canRules(job))
{
    m_canCommand.ID = CanCommandId;
    m_canCommand.MsgType = MSGTYPE_STANDARD;
}

void CanUpload::programRunning(MachineStep &step)
{
    // From here on, whatever the serial line brings is no answer. The watchdog stays stopped
    // until the CAN phase arms it.
    enter(State::WaitCanPhase);
    step.startCanPhase();
}

void CanUpload::canPhaseStart(MachineStep &step)
{
    // A user break or an error that came first has ended the reading already.
    if (state() != State::WaitCanPhase)
        return;
    step.stop();
    m_batch.clear();
    const QByteArray first
        = UploadWire::canFirstCommand(m_job.retainMode, m_job.firstSector, m_job.endSector);
    m_canCommand.Len = quint8(first.size());
    std::memcpy(m_canCommand.Data, first.constData(), size_t(first.size()));
    if (m_job.retainMode) {
        step.log(QStringLiteral("Reading retain values..."));
        step.phase(TransferPhase::Data);
        enter(State::Reading);
    } else {
        // The region request: the sectors that the reading covers.
        step.phase(TransferPhase::Sectors);
        step.log(readingLine());
        enter(State::WaitRegionAccepted);
    }
    step.setWait(CanTimeoutMs);
    step.arm();
    step.sendCan(m_canCommand);
}

void CanUpload::canFrame(const TCANMsg &msg, MachineStep &step)
{
    if (idle() || msg.Len == 0)
        return;
    if (state() == State::WaitRegionAccepted) {
        // Only the answer to the region request counts; others leave the watchdog running.
        if (msg.ID != CANUploadBatch::StatusId
            || msg.Data[0] != CANUploadBatch::StatusRegionAccepted)
            return;
        step.stop();
        step.phase(TransferPhase::Data);
        enter(State::Reading);
        requestBatch(step);
        return;
    }
    if (state() != State::Reading)
        return;
    const CANUploadBatch::Event event = m_batch.take(msg);
    // One wait per batch, from its request on: a message that does not complete the batch (a
    // part of it, the same one again, a status the protocol does not know, a foreign one) leaves
    // it running, so that a device that repeats itself cannot hold the reading open.
    if (event == CANUploadBatch::Event::Empty || event == CANUploadBatch::Event::Foreign
        || event == CANUploadBatch::Event::Waiting)
        return;
    step.stop();
    switch (event) {
    case CANUploadBatch::Event::Complete:
        StoreCANBlock(step);
        break;
    case CANUploadBatch::Event::EndOfData:
        completeReading(step);
        break;
    case CANUploadBatch::Event::Conflict:
        endWithError(step,
                     QStringLiteral("Two different messages with the identifier %1h came in one "
                                    "batch.")
                         .arg(QString::number(m_batch.conflictId(), 16).toUpper()),
                     TransferOutcome::Failed);
        break;
    case CANUploadBatch::Event::Empty:
    case CANUploadBatch::Event::Foreign:
    case CANUploadBatch::Event::Waiting:
        break;
    }
}

void CanUpload::StoreCANBlock(MachineStep &step)
{
    if (!storeData(m_batch.batch(), step))
        return;
    m_batch.clear();
    // The device falls silent after a batch only when something broke: the wait guards it.
    requestBatch(step);
}

void CanUpload::requestBatch(MachineStep &step)
{
    m_canCommand.Len = 1;
    m_canCommand.Data[0] = BlockRequest;
    step.arm();
    step.sendCan(m_canCommand);
}
