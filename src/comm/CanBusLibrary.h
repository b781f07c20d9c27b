#pragma once

#include "comm/CanDongleLibrary.h"

#include <QCanBusFrame>
#include <QString>

#include <condition_variable>
#include <deque>
#include <mutex>

class QThread;
class CanBusWorker;

// The dongle library's inside: one QCanBusDevice in a thread of its own (its event loop
// serves the device's sockets), requests handed to it under a lock, received messages kept in
// a locked queue that readers take from without blocking.
class CanBusLibrary
{
public:
    static CanBusLibrary &instance();

    quint32 init(quint16 btr0btr1, quint16 msgType, quint32 hwType, quint32 ioPort,
                 quint16 interrupt);
    quint32 read(TCANMsg *msg);
    quint32 write(const TCANMsg &msg);
    quint32 close();
    bool waitReceive(int timeoutMs);
    void cancelWait();

    // The next read returns this code instead of a message (tests of the readers).
    void injectReadResult(quint32 code);

    // Library thread side.
    void push(const TCANMsg &msg);
    void setOpen(bool open);

    enum class RequestKind { Init, Write, Close, Shutdown };
    struct Request
    {
        RequestKind kind = RequestKind::Close;
        QString plugin;
        QString interfaceName;
        int bitRate = 0;
        QCanBusFrame frame;
        quint32 result = 0;
        bool finished = false;
    };
    // Runs the pending request on the library thread.
    void serve();

    static constexpr size_t kQueueCapacity = 8192;

private:
    CanBusLibrary() = default;
    bool ensureThread();
    quint32 submit(Request request, quint32 resultOnTimeout);
    static void shutdown();

    std::mutex m_control; // one init, write or close at a time

    std::mutex m_requestMutex;
    std::condition_variable m_requestDone;
    Request m_request;
    quint64 m_requestId = 0;

    std::mutex m_queueMutex;
    std::condition_variable m_queueChanged;
    std::deque<TCANMsg> m_queue;
    bool m_open = false;
    bool m_overrun = false;
    quint32 m_injectedResult = 0;
    quint64 m_cancelGeneration = 0;

    QThread *m_thread = nullptr;
    CanBusWorker *m_worker = nullptr;
    int m_wakeFd = -1; // eventfd that announces a request to the library thread
};
