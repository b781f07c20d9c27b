#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

class SerialBackend;
class SerialHandover;
class TKTSerial;

// What a serial worker shares with its component. The worker holds it through a shared_ptr,
// so it outlives the component and the opening it served; so do the port and the hand-over.
struct SerialWorkerState
{
    SerialWorkerState(TKTSerial *component, std::shared_ptr<SerialBackend> port,
                      std::shared_ptr<SerialHandover> handOver, quint32 eventMask);
    ~SerialWorkerState();
    // What one wake-up reads at most; more waiting completes the next wait at once.
    static constexpr qsizetype ReadChunk = 4096;
    SerialWorkerState(const SerialWorkerState &) = delete;
    SerialWorkerState &operator=(const SerialWorkerState &) = delete;

    // Wakes the worker out of its wait (Close, Write, Read making room).
    void wake() const;
    // True, once, when everything written has left the driver's transmit queue: the
    // transmit-empty event is no longer owed.
    bool takeTransmitEmpty();
    // Bytes still to send, or a transmit-empty event still owed.
    bool transmitOwed();

    TKTSerial *const owner; // only dereferenced while terminate is false
    const std::shared_ptr<SerialBackend> backend;
    const std::shared_ptr<SerialHandover> handover;
    const quint32 mask;
    // The component's thread reads the received bytes itself (set before the worker runs); a
    // read that failed there is reported by the worker, which watches the line.
    bool readsElsewhere = false;
    std::atomic<bool> readFailed {false};
    std::atomic<bool> terminate {false};
    std::atomic<int> bitRate {9600};
    std::atomic<std::thread::id> workerId {};
    std::thread thread;
    // While the handlers of a dispatch run: whoever ran them looks at the transmit queue right
    // after, so a Write meanwhile needs no wake-up.
    std::atomic<bool> dispatching {false};

    // Hand-over to the component's thread: the worker adds the events to `pendingMask` under
    // `mutex` and raises the hand-over, which the component's thread watches. `mutex` also
    // makes the worker wait until `thread` has been stored.
    std::mutex mutex;
    quint32 pendingMask = 0;

    // Bytes the driver has not taken yet, and whether a transmit-empty event is owed.
    std::mutex txMutex;
    QByteArray txPending;
    bool txAwaitingEmpty = false;
};

// Waits for port events through the backend and dispatches them: on the component's thread
// (handed over without waiting for the handlers) when SyncEventHandling is set, else on its
// own thread.
// Received bytes travel with the receive event: the worker reads them into the component's
// receive buffer before it dispatches, so the handlers take them without a system call.
class TKTSerialThread
{
public:
    // The shared state first, so the component holds it before the thread runs.
    static std::shared_ptr<SerialWorkerState> create(TKTSerial *component,
                                                     std::shared_ptr<SerialBackend> backend,
                                                     std::shared_ptr<SerialHandover> handover,
                                                     quint32 mask, int bitRate);
    static void run(const std::shared_ptr<SerialWorkerState> &state, int niceValue);

private:
    static void execute(const std::shared_ptr<SerialWorkerState> &state, int niceValue);
    static void dispatch(SerialWorkerState &state, quint32 mask);
};
