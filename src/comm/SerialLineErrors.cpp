#include "comm/SerialLineErrors.h"

#include "comm/KTComm.h"

void SerialLineErrors::reset(SerialBackend &backend)
{
    std::lock_guard lock(m_mutex);
    m_counters = {};
    m_haveCounters = backend.errorCounters(&m_counters);
    m_pending = 0;
}

void SerialLineErrors::raise(quint32 flags)
{
    m_pending |= flags;
}

bool SerialLineErrors::collect(SerialBackend &backend)
{
    std::lock_guard lock(m_mutex);
    SerialBackend::ErrorCounters now;
    if (!m_haveCounters || !backend.errorCounters(&now) || now == m_counters)
        return false;
    m_pending |= flagsBetween(m_counters, now);
    m_counters = now;
    return true;
}

quint32 SerialLineErrors::take(SerialBackend &backend)
{
    collect(backend);
    return m_pending.exchange(0);
}

bool SerialLineErrors::hasCounters() const
{
    std::lock_guard lock(m_mutex);
    return m_haveCounters;
}

quint32 SerialLineErrors::flagsBetween(const SerialBackend::ErrorCounters &before,
                                       const SerialBackend::ErrorCounters &now)
{
    quint32 flags = 0;
    if (now.frame != before.frame)
        flags |= CE_FRAME;
    if (now.parity != before.parity)
        flags |= CE_RXPARITY;
    if (now.overrun != before.overrun)
        flags |= CE_OVERRUN;
    if (now.brk != before.brk)
        flags |= CE_BREAK;
    if (now.bufferOverrun != before.bufferOverrun)
        flags |= CE_RXOVER;
    return flags;
}
