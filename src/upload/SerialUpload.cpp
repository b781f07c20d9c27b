#include "upload/SerialUpload.h"

#include "core/SectorMap.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcUpload, "brasvik.upload", QtWarningMsg)

namespace {

// Outside block collection one read takes at most this many bytes.
constexpr qint64 AnswerReadSize = 513;

TransferMachine::BootRules serialRules(const UploadJob &job)
{
    TransferMachine::BootRules rules;
    rules.programStartTimeoutMs = UploadMachine::ProgramTimeoutMs;
    // A wrong answer to the loader (and to the retain values' program) waits out the current
    // interval. A line error keeps the state: during a block its short wait is a block time-out.
    rules.shortWaitOnWrongLoaderAnswer = false;
    rules.shortWaitOnWrongProgramAnswer = !job.retainMode;
    rules.programAnsweredByProtocol = !job.retainMode && job.deviceType != DeviceKind::Device46xx;
    rules.lineErrorStopsProtocol = false;
    return rules;
}

} // namespace

SerialUpload::SerialUpload(UploadJob job) : UploadMachine(job, serialRules(job)) { }

qint64 SerialUpload::readLimit() const
{
    // One byte beyond a block shows, where it came with it, that the block has slipped.
    return state() == State::ReceivingBlock ? m_block.room() + 1 : AnswerReadSize;
}

void SerialUpload::programSent(MachineStep &step)
{
    Q_UNUSED(step);
    enter(State::WaitEndSectorAck);
}

void SerialUpload::programRunning(MachineStep &step)
{
    if (m_job.retainMode) {
        step.log(QStringLiteral("Reading retain values..."));
        step.phase(TransferPhase::Data);
        enter(State::WaitBlock);
        step.setWait(RetainBlockTimeoutMs);
        step.sendByte(BlockRequest);
        return;
    }
    step.phase(TransferPhase::Sectors);
    step.log(QStringLiteral("Transmitting start sector: %1...").arg(m_job.firstSector));
    enter(State::WaitStartSectorAck);
    step.setWait(SectorTimeoutMs);
    step.sendByte(quint8(UploadWire::serialSectorBytes(m_job.firstSector, m_job.endSector).at(0)));
}

void SerialUpload::serialRead(QByteArrayView bytes, MachineStep &step)
{
    if (!takeRead(bytes, step))
        return;
    if (state() == State::ReceivingBlock) {
        // A read holds no more than the block's room; each piece puts the block's wait off.
        step.stop();
        const qint32 taken = blockBytes(bytes, step);
        m_bytes.taken += taken;
        m_bytes.ignored += bytes.size() - taken;
        return;
    }
    takeAnswers(bytes, step);
}

bool SerialUpload::isAnswer(quint8 b) const
{
    // Waiting for a block, any other byte is no answer to the request and cannot stand for one.
    return state() != State::WaitBlock || b == EndMark || b == BlockHeader;
}

void SerialUpload::answer(quint8 b, MachineStep &step)
{
    if (bootAnswer(b, step))
        return;
    switch (state()) {
    case State::WaitStartSectorAck:
        startSectorAnswered(b, step);
        break;
    case State::WaitEndSectorAck:
        endSectorAnswered(b, step);
        break;
    case State::WaitBlock:
        blockAnswer(b, step);
        break;
    case State::ReceivingBlock:
        // The header's block: the read from here up to the block's end is the block's.
        skipInRead(blockBytes(readFromHere(), step) - 1);
        break;
    case State::Idle:
    case State::Ended:
    case State::WaitTargetId:
    case State::WaitLoaderStarted:
    case State::WaitProgramStarted:
        break;
    }
}

void SerialUpload::startSectorAnswered(quint8 b, MachineStep &step)
{
    if (b != SectorAck) {
        setOutcome(TransferOutcome::Aborted);
        stopAll();
        step.endSoon();
        return;
    }
    step.log(QStringLiteral("1 Byte transmitted"));
    // The count is what the log shows; the byte sent is the end sector itself.
    const qint32 count
        = m_job.endSector == m_job.firstSector ? SectorCount : m_job.endSector - m_job.firstSector;
    step.log(QStringLiteral("Transmitting sector count: %1...").arg(count));
    enter(State::WaitEndSectorAck);
    step.sendByte(quint8(UploadWire::serialSectorBytes(m_job.firstSector, m_job.endSector).at(1)));
}

void SerialUpload::endSectorAnswered(quint8 b, MachineStep &step)
{
    if (b != SectorAck) {
        // Waits out the current interval; a right answer meanwhile still counts.
        setOutcome(TransferOutcome::Aborted);
        keepWaiting();
        return;
    }
    if (m_job.deviceType == DeviceKind::Device46xx) {
        step.log(QStringLiteral("1 Byte transmitted"));
        step.log(readingLine());
    } else {
        logProgramStarted(step); // the board's program answers here that it runs
        step.log(QStringLiteral("Reading all flash data sectors and NV parameter..."));
    }
    step.phase(TransferPhase::Data);
    enter(State::WaitBlock);
    step.setWait(BlockTimeoutMs);
    step.sendByte(BlockRequest);
}

void SerialUpload::blockAnswer(quint8 b, MachineStep &step)
{
    if (b == EndMark) {
        completeReading(step);
        return;
    }
    enter(State::ReceivingBlock);
    // The header often arrives together with the first block bytes: the read goes on with them.
    if (restOfReadEmpty())
        step.arm();
}

qint32 SerialUpload::blockBytes(QByteArrayView bytes, MachineStep &step)
{
    const qint32 taken = m_block.append(bytes);
    if (m_block.complete())
        CheckBlock(bytes.size() > taken, step);
    else
        step.arm();
    return taken;
}

void SerialUpload::CheckBlock(bool followed, MachineStep &step)
{
    quint8 answer = BlockRequest;
    if (bytesRead() >= bytesAsked()) {
        // The region is whole: a block beyond it is not taken, good or bad.
        sentTooMuch(step);
        return;
    }
    // The device sends nothing after a block until it is asked: a byte that came with the block
    // is a stray one inside it, and the last of the block's own bytes.
    if (m_block.isGood() && !followed) {
        if (!storeData(m_block.data(), step))
            return;
        m_badChecks = 0;
    } else {
        qCDebug(lcUpload) << "bad check byte after" << bytesRead()
                          << "bytes, followed:" << followed;
        if (m_badChecks >= MaxRepeats) {
            badCheckTooOften(step);
            return;
        }
        ++m_badChecks;
        answer = BlockRefused;
        ++m_tally.blocksResent;
    }
    m_retryCount = 0;
    setResultText(abortedPrefix() + QStringLiteral("TIMEOUT"));
    // The device sends nothing more until it has the request: whatever came beyond the block
    // (stray bytes, the tail of a block that slipped) would be read as the next answer.
    step.discardInput();
    request(answer, step);
}

void SerialUpload::badCheckTooOften(MachineStep &step)
{
    const Place place = failurePlace();
    QString where = QStringLiteral("The block at %1h")
                        .arg(QString::number(place.address, 16).toUpper().rightJustified(6, u'0'));
    if (place.sector >= 0)
        where += QStringLiteral(" (sector %1)").arg(place.sector);
    endWithError(
        step, where + QStringLiteral(" came with a bad check byte %1 times.").arg(m_badChecks + 1),
        TransferOutcome::Failed);
}

void SerialUpload::request(quint8 byte, MachineStep &step)
{
    m_block.reset();
    enter(State::WaitBlock);
    step.sendByte(byte);
}

void SerialUpload::timeout(QByteArrayView late, MachineStep &step)
{
    if (state() != State::ReceivingBlock) {
        UploadMachine::timeout(late, step);
        return;
    }
    // Late bytes are still taken; otherwise the block is asked for again, twice at most.
    if (!late.isEmpty()) {
        const qint32 taken = blockBytes(late, step);
        m_bytes.taken += taken;
        m_bytes.ignored += late.size() - taken;
        return;
    }
    if (m_retryCount >= MaxBlockRetries) {
        UploadMachine::timeout(late, step);
        return;
    }
    ++m_retryCount;
    ++m_tally.blocksResent;
    request(BlockRefused, step);
}
