#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

class TKTSerial;

// What a serial worker shares with its component. The worker holds it through a shared_ptr,
// so it outlives the component and the opening it served.
struct SerialWorkerState
{
    SerialWorkerState(TKTSerial *component, int portFd, quint32 eventMask);
    ~SerialWorkerState();
    SerialWorkerState(const SerialWorkerState &) = delete;
    SerialWorkerState &operator=(const SerialWorkerState &) = delete;

    // Wakes the worker out of its wait (Close, Write).
    void wake() const;

    TKTSerial *const owner; // only dereferenced while terminate is false
    const int fd;
    const quint32 mask;
    int wakeFd = -1;
    std::atomic<bool> terminate {false};
    std::atomic<int> bitRate {9600};
    std::atomic<std::thread::id> workerId {};
    std::thread thread;

    // Hand-over to the component's thread: the worker posts the mask under `mutex` and
    // announces it on `handoverFd`, which the component's thread watches. `mutex` also makes
    // the worker wait until `thread` has been stored.
    int handoverFd = -1;
    std::mutex mutex;
    std::condition_variable handedBack;
    quint32 pendingMask = 0;
    bool handoverDone = false;

    // Bytes the driver has not taken yet, and whether a transmit-empty event is owed.
    std::mutex txMutex;
    QByteArray txPending;
    bool txAwaitingEmpty = false;
};

// Waits for port events with poll() on the port and a wake-up descriptor, and dispatches them:
// on the component's thread (waiting until the handlers return) when SyncEventHandling is set,
// else on its own thread.
class TKTSerialThread
{
public:
    // The shared state first, so the component holds it before the thread runs.
    static std::shared_ptr<SerialWorkerState> create(TKTSerial *component, int fd, quint32 mask,
                                                     int bitRate);
    static void run(const std::shared_ptr<SerialWorkerState> &state, int niceValue);

private:
    static void execute(const std::shared_ptr<SerialWorkerState> &state, int niceValue);
    static void dispatch(SerialWorkerState &state, quint32 mask);
};
