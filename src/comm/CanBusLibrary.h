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

class CanBusHost;
class QThread;

// The dongle library's inside: one QCanBusDevice, connected in a thread of the library's own
// and then served by an event loop. A device opened from the application's main thread (the
// windows' and the command-line tool's) is moved there, so that its messages arrive where
// they are handled and answers leave without a thread in between; any other opener's stays
// in the library's thread. Requests from other threads reach the device's thread through its
// queue, in the order they were made: a write is queued and returns at once, as a dongle's
// transmit queue does; init and close wait for their own result (a bounded time; a request
// that is given up still runs). Received messages wait in a locked queue that readers take
// from without blocking.
class CanBusLibrary
{
public:
    // Makes the device for "plugin:interface" (called in the library thread); null and a
    // reason when it cannot.
    using DeviceFactory = std::function<std::unique_ptr<QCanBusDevice>(
        const QString &plugin, const QString &interfaceName, QString *error)>;

    static CanBusLibrary &instance();

    quint32 init(quint16 btr0btr1, quint16 msgType, quint32 hwType, quint32 ioPort,
                 quint16 interrupt);
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
    // wait this long for the library thread.
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
    // Runs the requests queued for this host, in its thread.
    void serve(CanBusHost *host);

    static constexpr size_t kQueueCapacity = 8192;
    static constexpr size_t kTransmitCapacity = 1024;

private:
    enum class RequestKind { Init, Write, Close, Shutdown };
    struct Completion
    {
        quint32 result = 0;
        bool done = false;
        bool committed = false; // an opening that is past the point of giving up
        bool abandoned = false; // the caller stopped waiting
        std::unique_ptr<QCanBusDevice> device; // opened for another thread, moved there
    };
    struct Request
    {
        RequestKind kind = RequestKind::Close;
        QString plugin;
        QString interfaceName;
        int bitRate = 0;
        QCanBusFrame frame;
        CanBusHost *target = nullptr; // the host an opening is for
        std::shared_ptr<Completion> completion; // none for writes
    };
    // A host and what waits for it.
    struct Home
    {
        CanBusHost *host = nullptr;
        std::deque<Request> requests;
        size_t queuedWrites = 0;
        bool serving = false; // in its thread only
    };

    CanBusLibrary() = default;
    bool ensureThread();
    CanBusHost *ensureMainHost();
    Home &homeOf(CanBusHost *host);
    std::shared_ptr<Completion> submit(Home &home, Request request, quint32 resultOnTimeout,
                                       bool wait);
    void enqueueLocked(Home &home, Request request, bool *wake);
    static void announce(const Home &home);
    void closeCurrent(bool wait);
    void open(Home &home, Request &request);
    void setOpen(bool open);
    static void shutdown();

    std::mutex m_control; // creates and ends the hosts

    std::mutex m_requestMutex;
    std::condition_variable m_requestDone;
    Home m_libraryHome;
    Home m_mainHome;
    CanBusHost *m_deviceHost = nullptr; // where the open device lives
    int m_opensInFlight = 0;
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

    std::atomic<QThread *> m_thread {nullptr};
};
