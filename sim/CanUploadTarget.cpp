#include "CanUploadTarget.h"

#include "CanIds.h"

CanUploadTarget::CanUploadTarget(DeviceContext &context, bool retain)
    : TargetBehaviour(context)
    , m_retain(retain)
    , m_state(retain ? State::WaitRequest : State::WaitRegion)
{ }

void CanUploadTarget::start(SimClock::Micros)
{
    if (m_retain) {
        m_source = m_ctx.memory.nvRam();
        m_ctx.event(QStringLiteral("region NV RAM, %1 bytes").arg(m_source.size()));
    }
}

void CanUploadTarget::canFrame(quint32 id, QByteArrayView data, SimClock::Micros at)
{
    if (id != CanIds::Command || data.isEmpty())
        return;
    switch (m_state) {
    case State::WaitRegion:
        if (data.size() == 2)
            region(data, at);
        else
            m_ctx.event(
                QStringLiteral("command of length %1 before the region ignored").arg(data.size()));
        break;
    case State::WaitRequest:
        if (data.size() == 1 && quint8(data[0]) == 0x55)
            sendBatch(at);
        else
            m_ctx.event(QStringLiteral("not a batch request: %1")
                            .arg(QString::fromLatin1(data.toByteArray().toHex().toUpper())));
        break;
    case State::Finished:
        break;
    }
}

void CanUploadTarget::region(QByteArrayView command, SimClock::Micros at)
{
    const int first = quint8(command[0]);
    const int end = quint8(command[1]);
    m_ctx.event(QStringLiteral("region request %1 %2").arg(first).arg(end));
    if (first < end && end <= CanIds::WholeFlashEnd) {
        const int from = DeviceMemory::sectorStart(first);
        const int to = DeviceMemory::sectorStart(end);
        m_source = m_ctx.memory.readFlash(from, to - from);
        m_ctx.event(QStringLiteral("region %1-%2, %3 bytes")
                        .arg(hexAddress(from), hexAddress(to - 1))
                        .arg(m_source.size()));
    } else {
        m_ctx.event(QStringLiteral("sector range %1 to %2 holds nothing").arg(first).arg(end));
    }
    m_state = State::WaitRequest;
    m_ctx.sendCan(step(FaultStep::Kind::Erase), CanIds::Reply, QByteArray(1, char(CanIds::Done)),
                  at);
}

void CanUploadTarget::sendBatch(SimClock::Micros at)
{
    if (m_next >= m_source.size()) {
        m_state = State::Finished;
        m_ctx.event(QStringLiteral("end of data after %1 bytes").arg(m_next));
        m_ctx.sendCan(step(FaultStep::Kind::End), CanIds::Reply,
                      QByteArray(1, char(CanIds::NoMoreData)), at);
        if (!m_ctx.isSilent())
            m_ctx.ended(true, QStringLiteral("upload complete"), at);
        return;
    }
    ++m_batch;
    const FaultStep here = step(FaultStep::Kind::Block, m_batch);
    if (m_ctx.silencedAt(here))
        return;
    QByteArray data = m_source.mid(m_next, BatchSize);
    data.append(BatchSize - data.size(), char(0xFF));
    // A batch cut short: the last data message carries only half its bytes.
    const bool cut = m_ctx.takeShortBlock(m_batch);
    for (int k = 0; k < 4; ++k) {
        const int length = (cut && k == 3) ? 4 : 8;
        m_ctx.sendCan(here, CanIds::UpData[k], data.mid(8 * k, length), at);
    }
    m_ctx.sendCan(here, CanIds::Reply, QByteArray(1, char(CanIds::BatchComplete)), at);
    m_next += BatchSize;
    m_ctx.summary.bytesRead += BatchSize;
}
