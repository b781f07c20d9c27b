#include "comm/KTCANDongle.h"

#include <QAbstractEventDispatcher>
#include <QSocketNotifier>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// How long the receive thread sleeps at most before it looks at its flags again; frames,
// OpenDongle, CloseDongle and Terminate wake it at once.
constexpr int kReceiveWaitMs = 50;

} // namespace

struct CANWorkerState
{
    CANWorkerState() : handoverFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) { }
    ~CANWorkerState()
    {
        if (handoverFd >= 0)
            ::close(handoverFd);
    }
    CANWorkerState(const CANWorkerState &) = delete;
    CANWorkerState &operator=(const CANWorkerState &) = delete;

    // Its own library: a bus of its own, never another thread object's.
    CanDongleLibrary library;
    TCANResultEvent onResult;
    TCANErrorEvent onError;
    TBKCANThread *owner = nullptr;

    std::atomic<bool> terminate {false};
    std::atomic<bool> dongleOpen {false};
    std::atomic<bool> syncEvents {false};
    std::atomic<quint32> errorCode {0};
    std::atomic<std::thread::id> workerId {};

    // Bumped by CloseDongle (OpenDongle closes first): what was read before belongs to a
    // closed dongle.
    std::atomic<quint64> session {0};

    // Wakes a worker that has nothing to read (dongle closed).
    std::mutex mutex;
    std::condition_variable changed;

    // What one round of reading found, in order. The worker fills it while no hand-over is
    // outstanding; during one the owner's thread reads it and the worker waits.
    enum class Kind { Result, Error };
    struct Delivery
    {
        Kind kind = Kind::Result;
        TCANMsg msg;
        quint32 code = 0;
    };
    std::vector<Delivery> batch;
    quint64 batchSession = 0;

    // Hand-over to the owner's thread: the worker clears `idle` and announces the batch on
    // `handoverFd`, which the owner's thread watches. It reads nothing more until the handlers
    // have returned and the owner's thread has set `idle` again: its waits for messages are
    // gated by it, so it is not woken just to find that nothing has come meanwhile.
    const int handoverFd;
    std::atomic<bool> idle {true};
    // The bus is served by the owner's thread: it reads the messages itself, announced on the
    // same descriptor by the library, and the worker stands by.
    std::atomic<bool> direct {false};
    TCANMsg deliveryCopy; // the handlers' view of one message, untouched during a call

    // Owner's thread only.
    QSocketNotifier *notifier = nullptr; // ends only with the TBKCANThread
    bool delivering = false;
    std::thread thread;

    void wakeAll()
    {
        {
            std::lock_guard lock(mutex);
        }
        changed.notify_all();
        library.CancelWait();
    }
};

namespace {

// Messages read in one go at most; more wait for the next round.
constexpr size_t kMaxBatch = 64;

// Calls the handlers for a batch, in order, until the thread is told to stop or a handler
// closes the dongle (the library drops what it still held then, and so does this).
void runBatch(CANWorkerState &s, const std::vector<CANWorkerState::Delivery> &batch,
              quint64 session)
{
    for (const CANWorkerState::Delivery &d : batch) {
        if (s.terminate || s.session != session)
            return;
        if (d.kind == CANWorkerState::Kind::Result) {
            s.errorCode = CAN_ERR_OK;
            s.deliveryCopy = d.msg;
            s.onResult(s.owner, s.deliveryCopy);
        } else {
            s.errorCode = d.code;
            s.onError(s.owner, d.code);
        }
    }
}

// Reads what the library holds into the batch; false when there is nothing to deliver.
bool readBatch(CANWorkerState &s, std::vector<CANWorkerState::Delivery> &batch)
{
    batch.clear();
    while (batch.size() < kMaxBatch) {
        TCANMsg msg;
        const quint32 result = s.library.Read(&msg);
        // An empty queue is the normal answer and leaves the last code as it was.
        if (result == CAN_ERR_QRCVEMPTY)
            break;
        if (result == CAN_ERR_OK && msg.MsgType == MSGTYPE_STATUS) {
            const quint8 status = msg.Data[3];
            const quint32 code
                = (status == 2 || status == 4 || status == 8 || status == 0x10) ? status : 0xFFFF;
            if (s.onError)
                batch.push_back({CANWorkerState::Kind::Error, {}, code});
        } else if (result == CAN_ERR_OK) {
            if (s.onResult)
                batch.push_back({CANWorkerState::Kind::Result, msg, 0});
        } else {
            // A dongle closed under the reader is no error to report. One error per round:
            // the next read may well give the same.
            if (s.onError && (result & ~CAN_ERR_QRCVEMPTY) != 0 && s.dongleOpen)
                batch.push_back({CANWorkerState::Kind::Error, {}, result & ~CAN_ERR_QRCVEMPTY});
            else if (batch.empty())
                s.errorCode = result;
            break;
        }
    }
    return !batch.empty();
}

// Runs on the owner's thread when its descriptor was written: by the worker with a batch, or
// by the library with messages for a direct reader.
void deliverPending(const std::shared_ptr<CANWorkerState> &s)
{
    // A handler that runs an event loop of its own gets nothing more until it has returned, as
    // with the worker waiting for it.
    if (s->terminate || s->delivering)
        return;
    s->delivering = true;
    if (!s->idle) {
        runBatch(*s, s->batch, s->batchSession);
        s->idle = true;
        s->library.GateOpened();
    }
    std::vector<CANWorkerState::Delivery> batch;
    while (s->direct && s->dongleOpen && !s->terminate) {
        const quint64 session = s->session;
        if (!readBatch(*s, batch))
            break;
        runBatch(*s, batch, session);
    }
    s->delivering = false;
}

void handOver(CANWorkerState &s)
{
    if (!s.syncEvents) {
        runBatch(s, s.batch, s.batchSession);
        return;
    }
    s.idle = false;
    // Announced through a descriptor rather than a posted event, so that no event object
    // crosses threads (its hand-over inside Qt is invisible to race checkers).
    eventfd_write(s.handoverFd, 1);
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
        if (!s.dongleOpen || !haveHandler || s.direct) {
            std::unique_lock lock(s.mutex);
            s.changed.wait_for(lock, std::chrono::milliseconds(kReceiveWaitMs), [&] {
                return s.terminate.load()
                    || (s.dongleOpen.load() && haveHandler && !s.direct.load());
            });
            continue;
        }
        if (!s.library.WaitReceive(kReceiveWaitMs, &s.idle))
            continue;
        if (s.terminate || !s.dongleOpen || !s.idle)
            continue;
        s.batchSession = s.session;
        if (readBatch(s, s.batch))
            handOver(s);
    }
}

} // namespace

QString CANErrorText(quint32 code)
{
    switch (code) {
    case CAN_ERR_OK:
        return QStringLiteral("No error");
    case CAN_ERR_XMTFULL:
        return QStringLiteral("Transmit buffer full");
    case CAN_ERR_OVERRUN:
        return QStringLiteral("Overrun");
    case CAN_ERR_BUSLIGHT:
        return QStringLiteral("Bus light limit reached");
    case CAN_ERR_BUSHEAVY:
        return QStringLiteral("Bus heavy limit reached");
    case CAN_ERR_BUSOFF:
        return QStringLiteral("Bus off");
    case CAN_ERR_QRCVEMPTY:
        return QStringLiteral("Receive queue empty");
    case CAN_ERR_QOVERRUN:
        return QStringLiteral("Receive queue overrun");
    case CAN_ERR_QXMTFULL:
        return QStringLiteral("Transmit queue full");
    case CAN_ERR_REGTEST:
        return QStringLiteral("Register test error");
    case CAN_ERR_NOVXD:
        return QStringLiteral("No VXD/SYS driver");
    case CAN_ERR_HWINUSE:
        return QStringLiteral("CAN-Dongle in use");
    case CAN_ERR_NETINUSE:
        return QStringLiteral("Network in use");
    case CAN_ERR_ILLHW:
        return QStringLiteral("Illegal hardware handle");
    case CAN_ERR_ILLNET:
        return QStringLiteral("Illegal network handle");
    case CAN_ERR_ILLCLIENT:
        return QStringLiteral("Illegal client handle");
    case CAN_ERR_RESOURCE:
        return QStringLiteral("Resource create error");
    case CAN_ERR_ILLPARAMTYPE:
        return QStringLiteral("Parameter type invalid");
    case CAN_ERR_ILLPARAMVAL:
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
    // The notifier watches a descriptor of its own for the same eventfd, so it never watches a
    // closed one, whichever of it and the shared state goes first. It has no parent: a thread
    // object destroyed on the receive thread must not destroy it there. Without an event loop
    // here nothing can be handed over; delivery then needs SyncEvents off.
    const int handoverFd = m_state->handoverFd >= 0 ? ::dup(m_state->handoverFd) : -1;
    if (handoverFd >= 0 && QAbstractEventDispatcher::instance()) {
        auto *notifier = new QSocketNotifier(handoverFd, QSocketNotifier::Read);
        QObject::connect(notifier, &QObject::destroyed, [handoverFd] { ::close(handoverFd); });
        std::weak_ptr<CANWorkerState> weak = m_state;
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, [weak, handoverFd] {
            eventfd_t count = 0;
            eventfd_read(handoverFd, &count);
            // Held for the call: the handler may destroy the thread object.
            if (const std::shared_ptr<CANWorkerState> s = weak.lock())
                deliverPending(s);
        });
        m_state->notifier = notifier;
    } else if (handoverFd >= 0) {
        ::close(handoverFd);
    }
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
    if (QSocketNotifier *notifier = m_state->notifier) {
        // Possibly inside its own activation (a handler destroying its thread object), or on
        // another thread: freed by its own thread's event loop once that is over.
        QObject::disconnect(notifier, &QSocketNotifier::activated, nullptr, nullptr);
        if (notifier->thread() == QThread::currentThread() && !m_state->delivering)
            delete notifier;
        else
            notifier->deleteLater();
    }
}

quint32 TBKCANThread::OpenDongle(const QString &Bus, bool EPP, quint8 BitrateCode, bool ExtendedIds,
                                 quint8 PortIndex, quint8 InterruptIndex, bool SyncEvents)
{
    if (m_state->dongleOpen)
        CloseDongle();
    const quint32 result = m_state->library.Init(
        Bus, CANBusTimingForCode(BitrateCode), ExtendedIds ? 1 : 0,
        EPP ? HW_DONGLE_SJA_EPP : HW_DONGLE_SJA, CANIOAddressForIndex(PortIndex),
        CANInterruptForIndex(InterruptIndex));
    if (result == CAN_ERR_OK) {
        m_state->syncEvents = SyncEvents;
        // With the bus served by this thread's event loop, handing its messages to the receive
        // thread and back would only cost two thread switches per message: they are read here.
        const bool direct = SyncEvents && m_state->notifier
            && m_state->notifier->thread() == QThread::currentThread()
            && m_state->library.ServedOnThisThread();
        m_state->direct = direct;
        m_state->dongleOpen = true;
        if (direct)
            m_state->library.SetReceiveEvent(m_state->handoverFd);
    } else {
        m_state->dongleOpen = false;
    }
    m_state->wakeAll();
    return result;
}

void TBKCANThread::CloseDongle()
{
    if (m_state->direct.exchange(false))
        m_state->library.ClearReceiveEvent(m_state->handoverFd);
    m_state->dongleOpen = false;
    ++m_state->session;
    m_state->library.Close();
}

quint32 TBKCANThread::WriteMessage(TCANMsg Msg)
{
    if (!m_state->dongleOpen)
        return CAN_ERR_ILLHW;
    return m_state->library.Write(&Msg);
}

void TBKCANThread::Terminate()
{
    m_state->terminate = true;
    m_state->wakeAll();
}

CanDongleLibrary &TBKCANThread::Library()
{
    return m_state->library;
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
