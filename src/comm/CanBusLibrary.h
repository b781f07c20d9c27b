#pragma once

#include "comm/CanDongleLibrary.h"

#include <QCanBusFrame>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class QCanBusDevice;
class QThread;
class CanBusWorker;

// The dongle library's inside: one QCanBusDevice in a thread of its own, whose event loop
// serves the device's sockets. Requests reach that thread through one queue, in the order
// they were made, announced on an eventfd. A write is queued and returns at once, as a
// dongle's transmit queue does; init and close wait for their own result (a bounded time; a
// request that is given up still runs). Received messages wait in a locked queue that readers
// take from without blocking.
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

    // Seams for tests: the next read returns this code instead of a message; devices come
    // from this factory instead of QCanBus (an empty one restores QCanBus); init and close
    // wait this long for the library thread.
    void injectReadResult(quint32 code);
    void setDeviceFactory(DeviceFactory factory);
    void setRequestTimeout(int ms);

    // Library thread side.
    void push(const TCANMsg *msgs, size_t count);
    void push(const TCANMsg &msg) { push(&msg, 1); }
    void setOpen(bool open);
    bool knowsPlugin(const QString &plugin);
    std::unique_ptr<QCanBusDevice> createDevice(const QString &plugin, const QString &interfaceName,
                                                QString *error);
    // Runs the queued requests on the library thread.
    void serve();

    static constexpr size_t kQueueCapacity = 8192;
    static constexpr size_t kTransmitCapacity = 1024;

private:
    enum class RequestKind { Init, Write, Close, Shutdown };
    struct Completion
    {
        quint32 result = 0;
        bool done = false;
        bool abandoned = false; // the caller stopped waiting
    };
    struct Request
    {
        RequestKind kind = RequestKind::Close;
        QString plugin;
        QString interfaceName;
        int bitRate = 0;
        QCanBusFrame frame;
        std::shared_ptr<Completion> completion; // none for writes
    };

    CanBusLibrary() = default;
    bool ensureThread();
    quint32 submit(Request request, quint32 resultOnTimeout);
    void announce();
    static void shutdown();

    std::mutex m_control; // creates and ends the thread

    std::mutex m_requestMutex;
    std::condition_variable m_requestDone;
    std::deque<Request> m_requests;
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

    std::atomic<QThread *> m_thread {nullptr};
    CanBusWorker *m_worker = nullptr;
    int m_wakeFd = -1; // eventfd that announces requests to the library thread
    bool m_serving = false; // library thread only
};
