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
    return m_state == State::ReceivingBlock ? m_block.room() : AnswerReadSize;
}

void SerialUpload::programSent(MachineStep &step)
{
    Q_UNUSED(step);
    m_state = State::WaitEndSectorAck;
}

void SerialUpload::programRunning(MachineStep &step)
{
    if (m_job.retainMode) {
        step.log(QStringLiteral("Reading retain values..."));
        step.phase(TransferPhase::Data);
        m_state = State::WaitBlock;
        step.setWait(RetainBlockTimeoutMs);
        step.sendByte(BlockRequest);
        return;
    }
    step.phase(TransferPhase::Sectors);
    step.log(QStringLiteral("Transmitting start sector: %1...").arg(m_job.firstSector));
    m_state = State::WaitStartSectorAck;
    step.setWait(SectorTimeoutMs);
    step.sendByte(quint8(UploadWire::serialSectorBytes(m_job.firstSector, m_job.endSector).at(0)));
}

void SerialUpload::serialRead(QByteArrayView bytes, MachineStep &step)
{
    if (!takeRead(bytes, step))
        return;
    if (m_state == State::ReceivingBlock) {
        blockBytes(bytes, step);
        return;
    }
    const quint8 b = quint8(bytes.at(0));
    if (bootAnswer(b, step))
        return;
    switch (m_state) {
    case State::WaitStartSectorAck:
        startSectorAnswered(b, step);
        break;
    case State::WaitEndSectorAck:
        endSectorAnswered(b, step);
        break;
    case State::WaitBlock:
        blockAnswer(bytes, step);
        break;
    case State::Idle:
    case State::Booting:
    case State::ReceivingBlock:
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
    m_state = State::WaitEndSectorAck;
    step.sendByte(quint8(UploadWire::serialSectorBytes(m_job.firstSector, m_job.endSector).at(1)));
}

void SerialUpload::endSectorAnswered(quint8 b, MachineStep &step)
{
    if (b != SectorAck) {
        // Waits out the current interval; a right answer meanwhile still counts.
        setOutcome(TransferOutcome::Aborted);
        step.arm();
        return;
    }
    if (m_job.deviceType == DeviceKind::Device46xx) {
        step.log(QStringLiteral("1 Byte transmitted"));
        step.log(readingLine());
    } else {
        programStarted(step); // the board's program answers here that it runs
        step.log(QStringLiteral("Reading all flash data sectors and NV parameter..."));
    }
    step.phase(TransferPhase::Data);
    m_state = State::WaitBlock;
    step.setWait(BlockTimeoutMs);
    step.sendByte(BlockRequest);
}

void SerialUpload::blockAnswer(QByteArrayView bytes, MachineStep &step)
{
    const quint8 b = quint8(bytes.at(0));
    if (b == EndMark) {
        completeReading(step);
        return;
    }
    if (b != BlockHeader) {
        step.arm();
        return;
    }
    m_state = State::ReceivingBlock;
    // The header often arrives together with the first block bytes.
    if (bytes.size() > 1)
        blockBytes(bytes.sliced(1), step);
    else
        step.arm();
}

void SerialUpload::blockBytes(QByteArrayView bytes, MachineStep &step)
{
    // Bytes beyond the block are not part of the protocol: the check drops them.
    m_block.append(bytes);
    if (m_block.complete())
        CheckBlock(step);
    else
        step.arm();
}

void SerialUpload::CheckBlock(MachineStep &step)
{
    quint8 answer = BlockRequest;
    if (m_block.isGood()) {
        storeData(m_block.data(), step);
    } else {
        // Answered with a re-request; bad check bytes are not counted against the block.
        qCDebug(lcUpload) << "bad check byte after" << bytesRead() << "bytes";
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

void SerialUpload::request(quint8 byte, MachineStep &step)
{
    m_block.reset();
    m_state = State::WaitBlock;
    step.sendByte(byte);
}

void SerialUpload::timeout(QByteArrayView late, MachineStep &step)
{
    if (m_state != State::ReceivingBlock) {
        UploadMachine::timeout(late, step);
        return;
    }
    // Late bytes are still taken; otherwise the block is asked for again, twice at most.
    if (!late.isEmpty()) {
        blockBytes(late, step);
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
