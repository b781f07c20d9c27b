#include "transfer/KTCanLink.h"

#include "base/SettingsStore.h"
#include "comm/KTCANDongle.h"

KTCanLink::KTCanLink(QString bus) : m_bus(std::move(bus)) { }

KTCanLink::~KTCanLink()
{
    stop();
}

quint32 KTCanLink::open(const Params &params, ResultHandler onResult, ErrorHandler onError)
{
    stop();
    m_thread = std::make_unique<TBKCANThread>(
        [onResult = std::move(onResult)](TBKCANThread *, const TCANMsg &msg) { onResult(msg); },
        [onError = std::move(onError)](TBKCANThread *, quint32 code) { onError(code); });
    QString bus = params.bus.isEmpty() ? m_bus : params.bus;
    if (bus.isEmpty())
        bus = SettingsStore::canBus();
    return m_thread->OpenDongle(bus, params.epp, params.bitrateCode, params.extendedIds,
                                params.portIndex, params.interruptIndex, true);
}

quint32 KTCanLink::writeMessage(const TCANMsg &msg)
{
    // Without a thread the dongle is not open: the library's "Illegal hardware handle".
    return m_thread ? m_thread->WriteMessage(msg) : quint32(CAN_ERR_ILLHW);
}

void KTCanLink::closeDongle()
{
    if (m_thread)
        m_thread->CloseDongle();
}

void KTCanLink::stop()
{
    if (!m_thread)
        return;
    m_thread->Terminate();
    // Destroying the thread object stops delivery at once; the dongle is closed with it.
    m_thread.reset();
}
