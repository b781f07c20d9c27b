#pragma once

#include "comm/CanDongleLibrary.h"

#include <QCanBusDevice>
#include <QCanBusFrame>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class CanBusDispatch;
class CanBusHost;

// The inside of one dongle library instance: one QCanBusDevice at a time. Devices are connected
// in a thread that all instances share and then served by an event loop. A device opened from
// the application's main thread (the windows' and the command-line tool's) is moved there, so
// that its messages arrive where they are handled and answers leave without a thread in
// between; any other opener's stays in the shared thread. Requests from other threads reach the
// device's thread through its queue, in the order they were made: a write is queued and returns
// at once, as a dongle's transmit queue does; init and close wait for their own result (a
// bounded time; a request that is given up still runs). Received messages wait in a locked
// queue that readers take from without blocking. Queued requests and the threads' hosts hold
// the instance while they need it, so it always outlives them.
class CanBusLibrary : public std::enable_shared_from_this<CanBusLibrary>
{
public:
    // Makes the device for "plugin:interface" (called in the shared thread); null and a reason
    // when it cannot.
    using DeviceFactory = std::function<std::unique_ptr<QCanBusDevice>(
        const QString &plugin, const QString &interfaceName, QString *error)>;

    CanBusLibrary();
    ~CanBusLibrary();
    CanBusLibrary(const CanBusLibrary &) = delete;
    CanBusLibrary &operator=(const CanBusLibrary &) = delete;

    quint32 init(const QString &bus, quint16 btr0btr1, quint16 msgType, quint32 hwType,
                 quint32 ioPort, quint16 interrupt);
    quint32 read(TCANMsg *msg);
    quint32 write(const TCANMsg &msg);
    quint32 close();
    bool waitReceive(int timeoutMs, const std::atomic<bool> *gate = nullptr);
    void gateOpened();
    void cancelWait();
    bool isOpen() const { return m_open.load(); }

    // Waiting messages are announced on this eventfd too (until cleared with the same one).
    void setReceiveEvent(int fd);
    void clearReceiveEvent(int fd);
    // The open device is served by the calling thread's event loop.
    bool servedOnCurrentThread();

    // Seams for tests: the next read returns this code instead of a message; devices come
    // from this factory instead of QCanBus (an empty one restores QCanBus); init and close
    // wait this long for the shared thread.
    void injectReadResult(quint32 code);
    void setDeviceFactory(DeviceFactory factory);
    void setRequestTimeout(int ms);

    // Host side.
    void push(const TCANMsg *msgs, size_t count);
    void push(const TCANMsg &msg) { push(&msg, 1); }
    void deviceAdopted(CanBusHost *host);
    void deviceReleased(CanBusHost *host);
    bool knowsPlugin(const QString &plugin);
    std::unique_ptr<QCanBusDevice> createDevice(const QString &plugin, const QString &interfaceName,
                                                QString *error);
    // Runs the requests queued for this host, every instance's, in its thread.
    static void serve(CanBusHost *host);

    static constexpr size_t kQueueCapacity = 8192;
    static constexpr size_t kTransmitCapacity = 1024;

private:
    friend class CanBusDispatch;

    void closeCurrent(bool wait);
    void setOpen(bool open);

    // Guarded by the shared request lock (CanBusDispatch).
    CanBusHost *m_deviceHost = nullptr; // where the open device lives
    int m_opensInFlight = 0;
    size_t m_queuedWrites = 0;
    int m_requestTimeoutMs = 10000;
    DeviceFactory m_factory;

    std::mutex m_queueMutex;
    std::condition_variable m_queueChanged;
    std::deque<TCANMsg> m_queue;
    std::atomic<bool> m_open {false};
    bool m_overrun = false;
    quint32 m_injectedResult = 0;
    quint64 m_cancelGeneration = 0;
    int m_receiveEventFd = -1;
};
