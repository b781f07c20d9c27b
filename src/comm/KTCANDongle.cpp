#include "comm/KTCANDongle.h"

#include <QLoggingCategory>
#include <QObject>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// How long the receive thread sleeps at most before it looks at its flags again; frames,
// OpenDongle, CloseDongle and Terminate wake it at once.
constexpr int kReceiveWaitMs = 50;

} // namespace

class CANDelivery;

struct CANWorkerState
{
    TCANResultEvent onResult;
    TCANErrorEvent onError;
    TBKCANThread *owner = nullptr;

    std::atomic<bool> terminate {false};
    std::atomic<bool> dongleOpen {false};
    std::atomic<bool> syncEvents {false};
    std::atomic<quint32> errorCode {0};
    std::atomic<std::thread::id> workerId {};

    // Wakes a worker that has nothing to read (dongle closed).
    std::mutex mutex;
    std::condition_variable changed;

    // One delivery in flight to the owner's thread. The copy stays untouched while a handler
    // looks at it: the worker waits for `delivered` (or terminate).
    enum class Kind { Result, Error };
    Kind pendingKind = Kind::Result;
    bool pending = false;
    bool delivered = false;
    TCANMsg deliveryCopy;
    quint32 pendingCode = 0;

    CANDelivery *delivery = nullptr; // the owner's, valid while the owner lives
    std::thread thread;

    void wakeAll()
    {
        {
            std::lock_guard lock(mutex);
        }
        changed.notify_all();
        CAN_CancelWait();
    }
};

// Receives the hand-over on the thread that created the CAN thread.
class CANDelivery : public QObject
{
    Q_OBJECT

public:
    explicit CANDelivery(std::shared_ptr<CANWorkerState> state) : m_state(std::move(state)) { }

    bool running() const { return m_running; }

public slots:
    void deliver()
    {
        const std::shared_ptr<CANWorkerState> s = m_state;
        CANWorkerState::Kind kind;
        quint32 code = 0;
        {
            std::lock_guard lock(s->mutex);
            if (!s->pending || s->terminate)
                return;
            s->pending = false;
            kind = s->pendingKind;
            code = s->pendingCode;
        }
        m_running = true;
        if (kind == CANWorkerState::Kind::Result) {
            if (s->onResult)
                s->onResult(s->owner, s->deliveryCopy);
        } else if (s->onError) {
            s->onError(s->owner, code);
        }
        m_running = false;
        {
            std::lock_guard lock(s->mutex);
            s->delivered = true;
        }
        s->changed.notify_all();
    }

private:
    std::shared_ptr<CANWorkerState> m_state;
    bool m_running = false;
};

namespace {

void deliver(CANWorkerState &s, CANWorkerState::Kind kind, const TCANMsg *msg, quint32 code)
{
    if (s.terminate)
        return;
    if (!s.syncEvents) {
        if (kind == CANWorkerState::Kind::Result) {
            s.deliveryCopy = *msg;
            s.onResult(s.owner, s.deliveryCopy);
        } else {
            s.onError(s.owner, code);
        }
        return;
    }
    std::unique_lock lock(s.mutex);
    if (msg)
        s.deliveryCopy = *msg;
    s.pendingKind = kind;
    s.pendingCode = code;
    s.pending = true;
    s.delivered = false;
    lock.unlock();
    QMetaObject::invokeMethod(s.delivery, "deliver", Qt::QueuedConnection);
    lock.lock();
    s.changed.wait(lock, [&] { return s.delivered || s.terminate.load(); });
}

void execute(const std::shared_ptr<CANWorkerState> &state)
{
    CANWorkerState &s = *state;
    s.workerId = std::this_thread::get_id();
    {
        std::lock_guard lock(s.mutex); // `thread` is stored once this is free
    }
    const bool haveHandler = s.onResult || s.onError;
    while (!s.terminate) {
        if (!s.dongleOpen || !haveHandler) {
            std::unique_lock lock(s.mutex);
            s.changed.wait_for(lock, std::chrono::milliseconds(kReceiveWaitMs), [&] {
                return s.terminate.load() || (s.dongleOpen.load() && haveHandler);
            });
            continue;
        }
        if (!CAN_WaitReceive(kReceiveWaitMs))
            continue;
        if (s.terminate || !s.dongleOpen)
            continue;
        TCANMsg msg;
        const quint32 result = CAN_Read(&msg);
        s.errorCode = result;
        if (result == CAN_ERR_OK && msg.MsgType == MSGTYPE_STATUS) {
            if (!s.onError)
                continue;
            const quint8 status = msg.Data[3];
            const quint32 code
                = (status == 2 || status == 4 || status == 8 || status == 0x10) ? status : 0xFFFF;
            s.errorCode = code;
            deliver(s, CANWorkerState::Kind::Error, nullptr, code);
        } else if (result == CAN_ERR_OK) {
            if (s.onResult)
                deliver(s, CANWorkerState::Kind::Result, &msg, 0);
        } else if (s.onError && (result & ~CAN_ERR_QRCVEMPTY) != 0) {
            // A dongle closed under the reader is no error to report.
            if (!s.dongleOpen)
                continue;
            const quint32 code = result & ~CAN_ERR_QRCVEMPTY;
            s.errorCode = code;
            deliver(s, CANWorkerState::Kind::Error, nullptr, code);
        }
    }
}

} // namespace

QString CANErrorText(quint32 code)
{
    switch (code) {
    case 0x0:
        return QStringLiteral("No error");
    case 0x1:
        return QStringLiteral("Transmit buffer full");
    case 0x2:
        return QStringLiteral("Overrun");
    case 0x4:
        return QStringLiteral("Bus light limit reached");
    case 0x8:
        return QStringLiteral("Bus heavy limit reached");
    case 0x10:
        return QStringLiteral("Bus off");
    case 0x20:
        return QStringLiteral("Receive queue empty");
    case 0x40:
        return QStringLiteral("Receive queue overrun");
    case 0x80:
        return QStringLiteral("Transmit queue full");
    case 0x100:
        return QStringLiteral("Register test error");
    case 0x200:
        return QStringLiteral("No VXD/SYS driver");
    case 0x400:
        return QStringLiteral("CAN-Dongle in use");
    case 0x800:
        return QStringLiteral("Network in use");
    case 0x1400:
        return QStringLiteral("Illegal hardware handle");
    case 0x1800:
        return QStringLiteral("Illegal network handle");
    case 0x1C00:
        return QStringLiteral("Illegal client handle");
    case 0x2000:
        return QStringLiteral("Resource create error");
    case 0x4000:
        return QStringLiteral("Parameter type invalid");
    case 0x8000:
        return QStringLiteral("Parameter value invalid");
    default:
        return QStringLiteral("Unknown error");
    }
}

quint16 CANBusTimingForCode(quint8 bitrateCode)
{
    static constexpr quint16 timings[]
        = {0x7F7F, 0x672F, 0x532F, 0x472F, 0x432F, 0x031C, 0x011C, 0x001C, 0x0014};
    return bitrateCode < std::size(timings) ? timings[bitrateCode] : quint16(0x7F7F);
}

quint32 CANIOAddressForIndex(quint8 portIndex)
{
    // Index 2 is the address the configuration dialog shows for its third entry (0140h).
    static constexpr quint32 addresses[] = {0x100, 0x120, 0x140, 0x200, 0x220, 0x278, 0x2E8, 0x2F8,
                                            0x300, 0x320, 0x340, 0x378, 0x3BC, 0x3E8, 0x3F8};
    return portIndex < std::size(addresses) ? addresses[portIndex] : 0x100;
}

quint16 CANInterruptForIndex(quint8 interruptIndex)
{
    static constexpr quint16 interrupts[] = {3, 4, 5, 7, 9, 10, 11, 12, 15};
    return interruptIndex < std::size(interrupts) ? interrupts[interruptIndex] : quint16(3);
}

TBKCANThread::TBKCANThread(TCANResultEvent OnResult, TCANErrorEvent OnError)
    : m_state(std::make_shared<CANWorkerState>())
{
    m_state->onResult = std::move(OnResult);
    m_state->onError = std::move(OnError);
    m_state->owner = this;
    m_state->delivery = new CANDelivery(m_state);
    std::lock_guard lock(m_state->mutex);
    m_state->thread = std::thread(execute, m_state);
}

TBKCANThread::~TBKCANThread()
{
    Terminate();
    if (m_state->workerId.load() == std::this_thread::get_id())
        m_state->thread.detach(); // destroyed by a handler on the receive thread
    else if (m_state->thread.joinable())
        m_state->thread.join();
    CloseDongle();
    // The delivery object may be the caller (a handler destroying its thread): let the event
    // loop free it once the handler has returned.
    if (m_state->delivery->running())
        m_state->delivery->deleteLater();
    else
        delete m_state->delivery;
    m_state->delivery = nullptr;
}

quint32 TBKCANThread::OpenDongle(bool EPP, quint8 BitrateCode, bool ExtendedIds, quint8 PortIndex,
                                 quint8 InterruptIndex, bool SyncEvents)
{
    if (m_state->dongleOpen)
        CloseDongle();
    const quint32 result
        = CAN_Init(CANBusTimingForCode(BitrateCode), ExtendedIds ? 1 : 0,
                   EPP ? HW_DONGLE_SJA_EPP : HW_DONGLE_SJA, CANIOAddressForIndex(PortIndex),
                   CANInterruptForIndex(InterruptIndex));
    if (result == CAN_ERR_OK) {
        m_state->syncEvents = SyncEvents;
        m_state->dongleOpen = true;
    } else {
        m_state->dongleOpen = false;
    }
    m_state->wakeAll();
    return result;
}

void TBKCANThread::CloseDongle()
{
    m_state->dongleOpen = false;
    CAN_Close();
}

quint32 TBKCANThread::WriteMessage(TCANMsg Msg)
{
    if (!m_state->dongleOpen)
        return CAN_ERR_ILLHW;
    return CAN_Write(&Msg);
}

void TBKCANThread::Terminate()
{
    m_state->terminate = true;
    m_state->wakeAll();
}

bool TBKCANThread::Terminated() const
{
    return m_state->terminate;
}

bool TBKCANThread::DongleOpen() const
{
    return m_state->dongleOpen;
}

quint32 TBKCANThread::ErrorCode() const
{
    return m_state->errorCode;
}

#include "KTCANDongle.moc"
