#include "CanDownloadTarget.h"

#include "CanIds.h"

CanDownloadTarget::CanDownloadTarget(DeviceContext &context, bool retain)
    : TargetBehaviour(context)
    , m_retain(retain)
    , m_state(retain ? State::Programming : State::WaitErase)
{ }

void CanDownloadTarget::canFrame(quint32 id, QByteArrayView data, SimClock::Micros at)
{
    for (int k = 0; k < 4; ++k) {
        if (id == CanIds::DownData[k]) {
            m_slots[k] = data.toByteArray();
            return;
        }
    }
    if (id != CanIds::Command || data.isEmpty())
        return;

    switch (m_state) {
    case State::WaitErase:
        if (data.size() == 2)
            erase(data, at);
        else
            m_ctx.event(
                QStringLiteral("command of length %1 before the erase ignored").arg(data.size()));
        break;
    case State::Erasing:
    case State::Finished:
        m_ctx.event(QStringLiteral("command ignored"));
        break;
    case State::Programming:
        if (m_retain) {
            if (data.size() == 1)
                retainBlock(quint8(data[0]), at);
            else
                m_ctx.event(QStringLiteral("retain header of length %1 ignored").arg(data.size()));
        } else if (data.size() == 1 && quint8(data[0]) == 0x00) {
            m_state = State::Finished;
            m_ctx.event(QStringLiteral("end of data after %1 blocks").arg(m_block - 1));
            reply(step(FaultStep::Kind::End), CanIds::Done, at);
            if (!m_ctx.isSilent())
                m_ctx.ended(true, QStringLiteral("download complete"), at);
        } else if (data.size() == 5) {
            flashBlock(data, at);
        } else {
            m_ctx.event(QStringLiteral("block header of length %1 ignored").arg(data.size()));
        }
        break;
    }
}

void CanDownloadTarget::erase(QByteArrayView command, SimClock::Micros at)
{
    const int first = quint8(command[0]);
    const int end = quint8(command[1]);
    const SimClock::Micros done = at + SimClock::Micros(m_ctx.options.eraseMs) * 1000;
    m_ctx.event(QStringLiteral("erase command %1 %2").arg(first).arg(end));
    // On CAN the whole flash is 0..19; an empty range is a host fault.
    const bool valid = first < end && end <= CanIds::WholeFlashEnd;
    if (!valid || m_ctx.options.eraseFails) {
        if (!valid)
            m_ctx.event(QStringLiteral("erase refused: sector range %1 to %2").arg(first).arg(end));
        else
            m_ctx.fault(QStringLiteral("erase fails"));
        m_state = State::Finished;
        m_ctx.summary.result = QStringLiteral("erase failed");
        reply(step(FaultStep::Kind::Erase), CanIds::Failed, done);
        return;
    }
    const int erased = m_ctx.memory.eraseSectors(first, end);
    const int from = DeviceMemory::sectorStart(first);
    m_ctx.summary.erased << QStringLiteral("sectors %1..%2 (%3-%4)")
                                .arg(first)
                                .arg(end - 1)
                                .arg(hexAddress(from), hexAddress(from + qMax(erased, 1) - 1));
    m_ctx.event(QStringLiteral("erased sectors %1..%2").arg(first).arg(end - 1));
    m_state = State::Programming;
    reply(step(FaultStep::Kind::Erase), CanIds::Erased, done);
}

QByteArray CanDownloadTarget::gather(int count, QString *problem) const
{
    QByteArray out;
    for (int k = 0; k < 4; ++k) {
        const int wanted = qBound(0, count - 8 * k, 8);
        // A slot that carries no byte of the block still comes, with one meaningless byte.
        const int expected = wanted == 0 ? 1 : wanted;
        if (m_slots[k].size() != expected) {
            *problem = QStringLiteral("data message %1 has length %2, expected %3")
                           .arg(k + 1)
                           .arg(m_slots[k].size())
                           .arg(expected);
            return {};
        }
        out += m_slots[k].left(wanted);
    }
    return out;
}

void CanDownloadTarget::flashBlock(QByteArrayView header, SimClock::Micros at)
{
    const FaultStep here = step(FaultStep::Kind::Block, m_block);
    const int count = quint8(header[0]);
    const int sector = quint8(header[1]);
    const int address = quint8(header[2]) | (quint8(header[3]) << 8) | (quint8(header[4]) << 16);
    if (m_ctx.takeRefusal(m_block)) {
        clearSlots();
        reply(here, CanIds::Failed, at);
        return;
    }
    QString problem;
    QByteArray data;
    if (count < 2 || count > 32 || count % 2 != 0)
        problem = QStringLiteral("block length %1").arg(count);
    else
        data = gather(count, &problem);
    if (problem.isEmpty()) {
        if (DeviceMemory::sectorOf(address) != sector)
            problem = QStringLiteral("sector byte %1 does not hold %2")
                          .arg(sector)
                          .arg(hexAddress(address));
        else if (address + count > DeviceMemory::sectorStart(sector + 1))
            problem = QStringLiteral("block crosses the end of sector %1").arg(sector);
        else if (address + count > m_ctx.memory.flashSize())
            problem = QStringLiteral("block beyond the flash end");
    }
    clearSlots();
    ++m_block;
    if (problem.isEmpty()) {
        m_ctx.memory.program(address, data);
        if (m_ctx.memory.readFlash(address, count) != data)
            problem = QStringLiteral("read-back differs (flash not erased?)");
        else if (m_ctx.compareErrorAt(m_block - 1))
            problem = QStringLiteral("compare error injected");
    }
    if (!problem.isEmpty()) {
        ++m_ctx.summary.compareErrors;
        m_ctx.event(QStringLiteral("block %1 at %2 (%3 bytes): %4")
                        .arg(m_block - 1)
                        .arg(hexAddress(address))
                        .arg(count)
                        .arg(problem));
        m_state = State::Finished;
        m_ctx.summary.result = QStringLiteral("compare error at block %1").arg(m_block - 1);
        reply(here, CanIds::CompareError, at);
        return;
    }
    m_ctx.summary.flashBytesProgrammed += count;
    ++m_ctx.summary.blocksProgrammed;
    reply(here, CanIds::BlockOk, at);
}

void CanDownloadTarget::retainBlock(int count, SimClock::Micros at)
{
    QByteArray &nvRam = m_ctx.memory.nvRam();
    if (count == 0) {
        m_state = State::Finished;
        m_ctx.event(QStringLiteral("end of data after %1 blocks").arg(m_block - 1));
        reply(step(FaultStep::Kind::End), CanIds::Done, at);
        if (!m_ctx.isSilent())
            m_ctx.ended(true, QStringLiteral("download complete"), at);
        return;
    }
    const FaultStep here = step(FaultStep::Kind::Block, m_block);
    if (m_ctx.takeRefusal(m_block)) {
        clearSlots();
        reply(here, CanIds::Failed, at);
        return;
    }
    QString problem;
    QByteArray data;
    if (count > 32)
        problem = QStringLiteral("block length %1").arg(count);
    else
        data = gather(count, &problem);
    if (problem.isEmpty() && m_retainOffset + count > nvRam.size())
        problem = QStringLiteral("beyond the end of the %1 bytes").arg(nvRam.size());
    clearSlots();
    ++m_block;
    if (problem.isEmpty() && m_ctx.compareErrorAt(m_block - 1))
        problem = QStringLiteral("compare error injected");
    if (!problem.isEmpty()) {
        ++m_ctx.summary.compareErrors;
        m_ctx.event(QStringLiteral("retain block %1: %2").arg(m_block - 1).arg(problem));
        m_state = State::Finished;
        m_ctx.summary.result = QStringLiteral("compare error at block %1").arg(m_block - 1);
        reply(here, CanIds::CompareError, at);
        return;
    }
    nvRam.replace(m_retainOffset, count, data);
    m_retainOffset += count;
    m_ctx.summary.retainBytesProgrammed += count;
    ++m_ctx.summary.blocksProgrammed;
    reply(here, CanIds::BlockOk, at);
}

void CanDownloadTarget::reply(const FaultStep &step, quint8 status, SimClock::Micros at)
{
    m_ctx.sendCan(step, CanIds::Reply, QByteArray(1, char(status)), at);
}

void CanDownloadTarget::clearSlots()
{
    for (QByteArray &slot : m_slots)
        slot.clear();
}
