#include "support/FakeLinks.h"

SerialLink::OpenResult FakeSerialLink::open()
{
    ++openCount;
    if (openResult.status == OpenStatus::Opened)
        active = true;
    return openResult;
}

void FakeSerialLink::close()
{
    if (!active)
        return;
    active = false;
    ++closeCount;
    m_rx.clear();
}

qint64 FakeSerialLink::write(const QByteArray &bytes)
{
    if (!active)
        return 0;
    writes.append(bytes);
    m_written += bytes;
    return writeCompletesAtOnce ? bytes.size() : 0;
}

qint64 FakeSerialLink::read(char *buffer, qint64 count)
{
    const qint64 n = qMin<qint64>(count, m_rx.size());
    memcpy(buffer, m_rx.constData(), size_t(n));
    m_rx.remove(0, n);
    return n;
}

bool FakeSerialLink::takeLineErrors(quint32 *flags)
{
    if (failLineErrorQuery)
        return false;
    *flags = m_pendingFlags;
    m_pendingFlags = 0;
    return true;
}

void FakeSerialLink::deliver(const QByteArray &bytes)
{
    if (!active)
        return;
    m_rx += bytes;
    if (m_handlers.rxChar)
        m_handlers.rxChar();
}

void FakeSerialLink::raiseTxEmpty()
{
    if (m_handlers.txEmpty)
        m_handlers.txEmpty();
}

void FakeSerialLink::raiseLineError(quint32 flags)
{
    m_pendingFlags |= flags;
    if (m_handlers.error)
        m_handlers.error();
}

QByteArray FakeSerialLink::takeWritten()
{
    QByteArray w = m_written;
    m_written.clear();
    return w;
}

void FakeCanBus::reply(quint8 status)
{
    TCANMsg msg;
    msg.ID = 0x5BF;
    msg.Len = 1;
    msg.Data[0] = status;
    deliver(msg);
}

void FakeCanBus::deliver(const TCANMsg &msg)
{
    if (onResult && !stopped)
        onResult(msg);
}

void FakeCanBus::raiseError(quint32 code)
{
    if (onError && !stopped)
        onError(code);
}

QList<TCANMsg> FakeCanBus::takeSent()
{
    QList<TCANMsg> s = sent;
    sent.clear();
    return s;
}

quint32 FakeCanLink::open(const Params &params, ResultHandler onResult, ErrorHandler onError)
{
    m_bus->params = params;
    m_bus->onResult = std::move(onResult);
    m_bus->onError = std::move(onError);
    m_bus->opened = m_bus->openResult == 0;
    return m_bus->openResult;
}

quint32 FakeCanLink::writeMessage(const TCANMsg &msg)
{
    if (!m_bus->opened || m_bus->stopped)
        return 0x1400;
    m_bus->sent.append(msg);
    return 0;
}

void FakeCanLink::stop()
{
    m_bus->stopped = true;
    m_bus->onResult = nullptr;
    m_bus->onError = nullptr;
}
