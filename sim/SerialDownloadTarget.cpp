#include "SerialDownloadTarget.h"

namespace {

constexpr quint8 AckByte = 0xAA;
constexpr quint8 BlockOk = 0x55;
constexpr quint8 CompareError = 0x5A;
constexpr quint8 Refused = 0xA5;
constexpr quint8 EndOfData = 0xFF;
constexpr quint8 SwitchToRetain = 0xF0;
constexpr int MinFlashFrame = 6;
constexpr int MaxFlashFrame = 36;
constexpr int RetainFrameLength = 0x10;
constexpr int Flash4610End = 0x50000;

quint8 xorOf(QByteArrayView bytes)
{
    quint8 x = 0;
    for (char c : bytes)
        x ^= quint8(c);
    return x;
}

} // namespace

SerialDownloadTarget::SerialDownloadTarget(DeviceContext &context, Kind kind)
    : TargetBehaviour(context), m_kind(kind)
{ }

void SerialDownloadTarget::start(SimClock::Micros at)
{
    switch (m_kind) {
    case Kind::Flash46xx:
        m_state = State::WaitStartSector;
        break;
    case Kind::Flash4610:
        // No sector range on the board: it erases its whole flash at once.
        erase(0, 0, at);
        break;
    case Kind::Retain:
        m_retainTarget = &m_ctx.memory.nvRam();
        m_retainOffset = 0;
        m_state = State::WaitRetainFrame;
        break;
    }
}

void SerialDownloadTarget::serialByte(quint8 byte, SimClock::Micros at)
{
    switch (m_state) {
    case State::WaitStartSector:
        m_firstSector = byte;
        m_ctx.event(QStringLiteral("start sector %1").arg(byte));
        m_state = State::WaitEndSector;
        m_ctx.answer(FaultStep::Kind::StartSector, AckByte, at);
        break;
    case State::WaitEndSector:
        m_ctx.event(QStringLiteral("end sector %1").arg(byte));
        m_ctx.answer(FaultStep::Kind::EndSector, AckByte, at);
        erase(m_firstSector, byte, at);
        break;
    case State::Erasing:
    case State::Finished:
        m_ctx.event(QStringLiteral("ignored byte %1").arg(hexByte(byte)));
        break;
    case State::WaitFlashFrame:
        if (byte == EndOfData) {
            finish(at);
        } else if (byte == SwitchToRetain && m_kind == Kind::Flash4610) {
            m_ctx.event(QStringLiteral("switch to NV parameters"));
            m_retainTarget = &m_ctx.memory.nvParameters();
            m_retainOffset = 0;
            m_state = State::WaitRetainFrame;
            m_ctx.answer(step(FaultStep::Kind::Block, m_block), QByteArray(1, char(BlockOk)), at);
        } else if (byte >= MinFlashFrame && byte <= MaxFlashFrame && byte % 2 == 0) {
            m_frame = QByteArray(1, char(byte));
            m_frameLength = byte + 2;
            m_state = State::CollectFlashFrame;
        } else {
            m_ctx.event(QStringLiteral("not a frame length: %1").arg(hexByte(byte)));
        }
        break;
    case State::CollectFlashFrame:
        m_frame.append(char(byte));
        if (m_frame.size() == m_frameLength)
            flashFrame(at);
        break;
    case State::WaitRetainFrame:
        if (byte == EndOfData) {
            finish(at);
        } else if (byte == RetainFrameLength) {
            m_frame = QByteArray(1, char(byte));
            m_frameLength = RetainFrameLength + 2;
            m_state = State::CollectRetainFrame;
        } else {
            m_ctx.event(QStringLiteral("not a retain frame: %1").arg(hexByte(byte)));
        }
        break;
    case State::CollectRetainFrame:
        m_frame.append(char(byte));
        if (m_frame.size() == m_frameLength)
            retainFrame(at);
        break;
    }
}

void SerialDownloadTarget::erase(int first, int end, SimClock::Micros at)
{
    m_state = State::Erasing;
    const SimClock::Micros done = at + SimClock::Micros(m_ctx.options.eraseMs) * 1000;
    const bool whole = first == end;
    const bool valid = first >= 0 && first < DeviceMemory::SectorCount && end >= 0
        && end <= DeviceMemory::SectorCount && first <= end;
    if (!valid || m_ctx.options.eraseFails) {
        if (!valid)
            m_ctx.event(QStringLiteral("erase refused: sector range %1 to %2").arg(first).arg(end));
        else
            m_ctx.fault(QStringLiteral("erase fails"));
        m_state = State::Finished;
        m_ctx.summary.result = QStringLiteral("erase failed");
        m_ctx.answer(FaultStep::Kind::Erase, Refused, done);
        return;
    }
    const int from = whole ? 0 : DeviceMemory::sectorStart(first);
    const int to = whole ? m_ctx.memory.flashSize()
                         : qMin(DeviceMemory::sectorStart(end), m_ctx.memory.flashSize());
    if (whole)
        m_ctx.memory.eraseAll();
    else
        m_ctx.memory.eraseSectors(first, end);
    const QString what = whole ? QStringLiteral("whole flash")
                               : QStringLiteral("sectors %1..%2").arg(first).arg(end - 1);
    m_ctx.summary.erased
        << QStringLiteral("%1 (%2-%3)").arg(what, hexAddress(from), hexAddress(qMax(from, to - 1)));
    m_ctx.event(QStringLiteral("erased %1").arg(what));
    m_state = State::WaitFlashFrame;
    // The erase answer repeats the end sector (0 after the whole flash, and on the board).
    m_ctx.answer(FaultStep::Kind::Erase, quint8(end), done);
}

void SerialDownloadTarget::flashFrame(SimClock::Micros at)
{
    m_state = State::WaitFlashFrame;
    const FaultStep here = step(FaultStep::Kind::Block, m_block);
    if (xorOf(m_frame) != 0) {
        ++m_ctx.summary.checksumRefusals;
        m_ctx.event(QStringLiteral("block %1: bad checksum, refused").arg(m_block));
        m_ctx.answer(here, QByteArray(1, char(Refused)), at);
        return;
    }
    if (m_ctx.takeRefusal(m_block)) {
        m_ctx.answer(here, QByteArray(1, char(Refused)), at);
        return;
    }
    const int dataLength = quint8(m_frame[0]) - 4;
    const int sector = quint8(m_frame[1]);
    const int address = quint8(m_frame[2]) | (quint8(m_frame[3]) << 8) | (quint8(m_frame[4]) << 16);
    const QByteArrayView data = QByteArrayView(m_frame).sliced(5, dataLength);
    const int flashEnd = m_kind == Kind::Flash4610 ? Flash4610End : m_ctx.memory.flashSize();

    QString problem;
    if (DeviceMemory::sectorOf(address) != sector)
        problem = QStringLiteral("sector byte %1 does not hold %2")
                      .arg(sector)
                      .arg(hexAddress(address));
    else if (address + dataLength > DeviceMemory::sectorStart(sector + 1))
        problem = QStringLiteral("block crosses the end of sector %1").arg(sector);
    else if (address + dataLength > flashEnd)
        problem = QStringLiteral("block beyond the flash end %1").arg(hexAddress(flashEnd));

    ++m_block;
    bool good = problem.isEmpty();
    if (good) {
        m_ctx.memory.program(address, data);
        good = m_ctx.memory.readFlash(address, dataLength) == data;
        if (!good)
            problem = QStringLiteral("read-back differs (flash not erased?)");
    }
    if (good && m_ctx.compareErrorAt(m_block - 1)) {
        good = false;
        problem = QStringLiteral("compare error injected");
    }
    if (!good) {
        ++m_ctx.summary.compareErrors;
        m_ctx.event(QStringLiteral("block %1 at %2 (%3 bytes): %4")
                        .arg(m_block - 1)
                        .arg(hexAddress(address))
                        .arg(dataLength)
                        .arg(problem));
        m_state = State::Finished;
        m_ctx.summary.result = QStringLiteral("compare error at block %1").arg(m_block - 1);
        m_ctx.answer(here, QByteArray(1, char(CompareError)), at);
        return;
    }
    m_ctx.summary.flashBytesProgrammed += dataLength;
    ++m_ctx.summary.blocksProgrammed;
    m_ctx.answer(here, QByteArray(1, char(BlockOk)), at);
}

void SerialDownloadTarget::retainFrame(SimClock::Micros at)
{
    m_state = State::WaitRetainFrame;
    const FaultStep here = step(FaultStep::Kind::Block, m_block);
    if (xorOf(m_frame) != 0) {
        ++m_ctx.summary.checksumRefusals;
        m_ctx.event(QStringLiteral("retain block %1: bad checksum, refused").arg(m_block));
        m_ctx.answer(here, QByteArray(1, char(Refused)), at);
        return;
    }
    if (m_ctx.takeRefusal(m_block)) {
        m_ctx.answer(here, QByteArray(1, char(Refused)), at);
        return;
    }
    ++m_block;
    const QByteArrayView data = QByteArrayView(m_frame).sliced(1, RetainFrameLength);
    const bool fits = m_retainOffset + RetainFrameLength <= m_retainTarget->size();
    const bool injected = fits && m_ctx.compareErrorAt(m_block - 1);
    if (!fits || injected) {
        ++m_ctx.summary.compareErrors;
        if (!fits)
            m_ctx.event(QStringLiteral("retain block %1 beyond the end of the %2 bytes")
                            .arg(m_block - 1)
                            .arg(m_retainTarget->size()));
        m_state = State::Finished;
        m_ctx.summary.result = QStringLiteral("compare error at block %1").arg(m_block - 1);
        m_ctx.answer(here, QByteArray(1, char(CompareError)), at);
        return;
    }
    m_retainTarget->replace(m_retainOffset, RetainFrameLength, data.toByteArray());
    m_retainOffset += RetainFrameLength;
    m_ctx.summary.retainBytesProgrammed += RetainFrameLength;
    ++m_ctx.summary.blocksProgrammed;
    m_ctx.answer(here, QByteArray(1, char(BlockOk)), at);
}

void SerialDownloadTarget::finish(SimClock::Micros at)
{
    m_state = State::Finished;
    m_ctx.event(QStringLiteral("end of data after %1 blocks").arg(m_block - 1));
    m_ctx.answer(FaultStep::Kind::End, AckByte, at);
    if (!m_ctx.isSilent())
        m_ctx.ended(true, QStringLiteral("download complete"), at);
}
