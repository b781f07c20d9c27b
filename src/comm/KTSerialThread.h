#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <atomic>
#include <condition_variable>
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
    SerialWorkerState(const SerialWorkerState &) = delete;
    SerialWorkerState &operator=(const SerialWorkerState &) = delete;

    // Wakes the worker out of its wait (Close, Write, Read making room).
    void wake() const;
    // True, once, when everything written has left the driver's transmit queue: the
    // transmit-empty event is no longer owed.
    bool takeTransmitEmpty();

    TKTSerial *const owner; // only dereferenced while terminate is false
    const std::shared_ptr<SerialBackend> backend;
    const std::shared_ptr<SerialHandover> handover;
    const quint32 mask;
    std::atomic<bool> terminate {false};
    std::atomic<int> bitRate {9600};
    std::atomic<std::thread::id> workerId {};
    std::thread thread;
    // From before a dispatch is handed over until its handlers have returned: the worker looks
    // at the transmit queue right after, so a Write meanwhile needs no wake-up.
    std::atomic<bool> dispatching {false};

    // Hand-over to the component's thread: the worker posts the mask under `mutex` and raises
    // the hand-over, which the component's thread watches. `mutex` also makes the worker wait
    // until `thread` has been stored.
    std::mutex mutex;
    std::condition_variable handedBack;
    quint32 pendingMask = 0;
    bool handoverDone = false;

    // Bytes the driver has not taken yet, and whether a transmit-empty event is owed.
    std::mutex txMutex;
    QByteArray txPending;
    bool txAwaitingEmpty = false;
};

// Waits for port events through the backend and dispatches them: on the component's thread
// (waiting until the handlers return) when SyncEventHandling is set, else on its own thread.
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
