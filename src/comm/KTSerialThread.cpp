#include "comm/KTSerialThread.h"

#include "comm/KTSerial.h"
#include "comm/SerialBackend.h"
#include "comm/SerialHandover.h"

#include <QLoggingCategory>

#include <algorithm>
#include <array>
#include <sys/resource.h>

Q_LOGGING_CATEGORY(lcSerialWorker, "brasvik.comm.serial", QtCriticalMsg)

namespace {

// When the worker does not read, the driver's error counters are looked at this often.
constexpr int kErrorCounterCheckMs = 100;
constexpr int kMaxDrainWaitMs = 100;

} // namespace

SerialWorkerState::SerialWorkerState(TKTSerial *component, std::shared_ptr<SerialBackend> port,
                                     std::shared_ptr<SerialHandover> handOver, quint32 eventMask)
    : owner(component), backend(std::move(port)), handover(std::move(handOver)), mask(eventMask)
{ }

SerialWorkerState::~SerialWorkerState()
{
    // The last reference goes on the worker itself when a handler running there destroyed the
    // component: nobody is left to join it.
    if (thread.joinable() && thread.get_id() == std::this_thread::get_id())
        thread.detach();
}

void SerialWorkerState::wake() const
{
    backend->wake();
}

bool SerialWorkerState::takeTransmitEmpty()
{
    std::lock_guard lock(txMutex);
    if (!txAwaitingEmpty || !txPending.isEmpty() || backend->outputQueue() != 0)
        return false;
    txAwaitingEmpty = false;
    return true;
}

bool SerialWorkerState::transmitOwed()
{
    std::lock_guard lock(txMutex);
    return !txPending.isEmpty() || txAwaitingEmpty;
}

std::shared_ptr<SerialWorkerState> TKTSerialThread::create(TKTSerial *component,
                                                           std::shared_ptr<SerialBackend> backend,
                                                           std::shared_ptr<SerialHandover> handover,
                                                           quint32 mask, int bitRate)
{
    auto state = std::make_shared<SerialWorkerState>(component, std::move(backend),
                                                     std::move(handover), mask);
    state->bitRate = bitRate;
    return state;
}

void TKTSerialThread::run(const std::shared_ptr<SerialWorkerState> &state, int niceValue)
{
    std::lock_guard lock(state->mutex);
    state->thread = std::thread(&TKTSerialThread::execute, state, niceValue);
}

void TKTSerialThread::dispatch(SerialWorkerState &s, quint32 mask)
{
    if (s.terminate)
        return;
    if (!s.owner->SyncEventHandling()) {
        s.dispatching = true;
        s.owner->Dispatch(mask, &s);
        s.dispatching = false;
        return;
    }
    // The worker does not wait for the handlers: the bytes already travel in the receive
    // buffer, and events raised again before the component's thread takes them are one
    // dispatch. Waiting would cost every answer a further wake-up of this thread.
    {
        std::lock_guard lock(s.mutex);
        s.pendingMask |= mask;
    }
    s.handover->raise();
}

void TKTSerialThread::execute(const std::shared_ptr<SerialWorkerState> &state, int niceValue)
{
    SerialWorkerState &s = *state;
    {
        std::lock_guard lock(s.mutex); // `thread` is stored once this is free
    }
    s.workerId = std::this_thread::get_id();
    if (niceValue != 0)
        ::setpriority(PRIO_PROCESS, 0, niceValue); // this thread only on Linux; may be refused

    if (s.terminate)
        return;
    SerialBackend &port = *s.backend;
    const bool wantRx = (s.mask & EV_RXCHAR) && !s.readsElsewhere;
    const bool wantError = s.mask & EV_ERR;
    const bool watchCounters = wantError && s.owner->m_lineErrors.hasCounters();
    bool lineDown = false;
    std::array<char, SerialWorkerState::ReadChunk> chunk;

    auto lineFailed = [&](quint32 *events) {
        if (!lineDown)
            qCDebug(lcSerialWorker) << "port" << port.handle() << "failed or hung up";
        lineDown = true;
        s.owner->m_lineErrors.raise(CE_IOE);
        if (wantError)
            *events |= EV_ERR;
        std::lock_guard lock(s.txMutex);
        s.txPending.clear();
        s.txAwaitingEmpty = false;
    };

    while (!s.terminate) {
        quint32 events = 0;
        if (s.readFailed.exchange(false) && !lineDown)
            lineFailed(&events);
        quint32 interest = lineDown ? 0 : quint32(SerialBackend::LineDown);
        int timeout = -1;
        qsizetype rxRoom = 0;
        if (wantRx && !lineDown) {
            // Stalled first, room second: a Read that makes room in between sees the flag and
            // wakes this wait.
            s.owner->m_rxStalled = true;
            rxRoom = s.owner->ReceiveRoom();
            if (rxRoom > 0) {
                s.owner->m_rxStalled = false;
                interest |= SerialBackend::Readable;
            }
        }
        if (watchCounters && !wantRx && !lineDown)
            timeout = kErrorCounterCheckMs;
        {
            std::lock_guard lock(s.txMutex);
            if (!s.txPending.isEmpty()) {
                interest |= SerialBackend::Writable;
            } else if (s.txAwaitingEmpty && !lineDown) {
                const int queued = port.outputQueue();
                if (queued <= 0) {
                    s.txAwaitingEmpty = false;
                    if (s.mask & EV_TXEMPTY)
                        events |= EV_TXEMPTY;
                } else {
                    // No event tells when the line has drained: wait about as long as the
                    // queued characters take at the current rate.
                    const int rate = qMax(1, s.bitRate.load());
                    const int ms = int(
                        std::clamp<qint64>(qint64(queued) * 10000 / rate + 1, 1, kMaxDrainWaitMs));
                    timeout = timeout < 0 ? ms : qMin(timeout, ms);
                }
            }
        }

        if (!events) {
            const quint32 ready = port.wait(interest, timeout);
            if (s.terminate)
                break;
            if (ready & SerialBackend::LineDown)
                lineFailed(&events);
            if ((ready & SerialBackend::Writable) && !lineDown) {
                bool writeFailed = false;
                {
                    std::lock_guard lock(s.txMutex);
                    const qint64 n = port.write(s.txPending.constData(), s.txPending.size());
                    if (n > 0)
                        s.txPending.remove(0, n);
                    else if (n < 0)
                        writeFailed = true;
                }
                if (writeFailed)
                    lineFailed(&events);
            }
            if ((ready & SerialBackend::Readable) && !lineDown) {
                const quint32 discards = s.owner->m_rxDiscards.load();
                const qint64 n = port.read(chunk.data(), qMin(rxRoom, SerialWorkerState::ReadChunk));
                if (n < 0)
                    lineFailed(&events);
                else if (n > 0 && s.owner->Receive(chunk.data(), n, discards))
                    events |= EV_RXCHAR;
            }
        }
        if (watchCounters && !lineDown && s.owner->m_lineErrors.collect(port))
            events |= EV_ERR;
        if (!events)
            continue;

        dispatch(s, events);
        if (s.terminate)
            break;
    }
}
