#include "SerialUploadTarget.h"

namespace {

constexpr quint8 AckByte = 0xAA;
constexpr quint8 NextBlock = 0x55;
constexpr quint8 SameAgain = 0x5A;
constexpr quint8 EndMark = 0xA5;

} // namespace

SerialUploadTarget::SerialUploadTarget(DeviceContext &context, Kind kind)
    : TargetBehaviour(context), m_kind(kind)
{ }

void SerialUploadTarget::start(SimClock::Micros)
{
    switch (m_kind) {
    case Kind::Flash46xx:
        m_state = State::WaitStartSector;
        break;
    case Kind::Flash4610:
        // The board's firmware image: its flash followed by the NV parameter area.
        m_source = m_ctx.memory.flash() + m_ctx.memory.nvParameters();
        m_state = State::WaitRequest;
        m_ctx.event(
            QStringLiteral("region flash and NV parameters, %1 bytes").arg(m_source.size()));
        break;
    case Kind::Retain:
        m_source = m_ctx.memory.nvRam();
        m_state = State::WaitRequest;
        m_ctx.event(QStringLiteral("region NV RAM, %1 bytes").arg(m_source.size()));
        break;
    }
}

void SerialUploadTarget::serialByte(quint8 byte, SimClock::Micros at)
{
    switch (m_state) {
    case State::WaitStartSector:
        m_firstSector = byte;
        m_ctx.event(QStringLiteral("start sector %1").arg(byte));
        m_state = State::WaitEndSector;
        m_ctx.answer(FaultStep::Kind::StartSector, AckByte, at);
        break;
    case State::WaitEndSector: {
        const int first = m_firstSector;
        const int end = byte;
        const bool whole = first == end;
        const bool valid
            = first < DeviceMemory::SectorCount && end <= DeviceMemory::SectorCount && first <= end;
        if (valid) {
            m_sourceAddress = whole ? 0 : DeviceMemory::sectorStart(first);
            const int to = whole ? DeviceMemory::FullFlashSize : DeviceMemory::sectorStart(end);
            m_source = m_ctx.memory.readFlash(m_sourceAddress, to - m_sourceAddress);
            m_ctx.event(QStringLiteral("region %1-%2, %3 bytes")
                            .arg(hexAddress(m_sourceAddress), hexAddress(to - 1))
                            .arg(m_source.size()));
        } else {
            m_ctx.event(QStringLiteral("sector range %1 to %2 holds nothing").arg(first).arg(end));
        }
        m_state = State::WaitRequest;
        m_ctx.answer(FaultStep::Kind::EndSector, AckByte, at);
        break;
    }
    case State::WaitRequest:
        if (byte == NextBlock) {
            sendBlock(false, at);
        } else if (byte == SameAgain) {
            sendBlock(true, at);
        } else {
            m_ctx.event(QStringLiteral("not a block request: %1").arg(hexByte(byte)));
        }
        break;
    case State::Finished:
        break;
    }
}

void SerialUploadTarget::sendBlock(bool again, SimClock::Micros at)
{
    if (again && m_block > 0) {
        m_next -= BlockSize;
        ++m_ctx.summary.blocksResent;
        m_ctx.summary.bytesRead -= BlockSize;
    } else {
        ++m_block;
    }
    if (m_next >= m_source.size()) {
        m_ctx.event(QStringLiteral("end of data after %1 bytes").arg(m_next));
        m_ctx.answer(step(FaultStep::Kind::End), QByteArray(1, char(EndMark)), at);
        m_state = State::Finished;
        if (!m_ctx.isSilent())
            m_ctx.ended(true, QStringLiteral("upload complete"), at);
        return;
    }
    QByteArray data = m_source.mid(m_next, BlockSize);
    data.append(BlockSize - data.size(), char(0xFF));
    quint8 check = AckByte;
    for (char c : std::as_const(data))
        check ^= quint8(c);
    QByteArray block = QByteArray(1, char(AckByte)) + data;
    if (m_ctx.takeBadCheck(m_block))
        check ^= 0xFF;
    block.append(char(check));
    if (m_ctx.takeShortBlock(m_block))
        block.truncate(1 + BlockSize / 2);
    m_next += BlockSize;
    m_ctx.summary.bytesRead += BlockSize;
    m_ctx.answer(step(FaultStep::Kind::Block, m_block), block, at);
}
