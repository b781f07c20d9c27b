#include "comm/CanBusLibrary.h"

#include "comm/CanBusHost.h"
#include "comm/CanBusLogging.h"
#include "comm/CanBusSetting.h"
#include "comm/CanFrameMapping.h"

#include <QCanBus>
#include <QCanBusDevice>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QScopeGuard>
#include <QThread>

#include <chrono>
#include <utility>
#include <vector>

#include <sys/eventfd.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcCanLibrary, "brasvik.comm.can", QtCriticalMsg)

// The threads every instance's devices live in, with their hosts and request queues: one set
// for the process. The shared thread stays for the rest of the process: a virtual bus server
// started by the first device lives in it and other programs may be using it.
class CanBusDispatch
{
public:
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
        std::shared_ptr<CanBusLibrary> library; // none for the shutdown
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
        bool serving = false; // in its thread only
    };

    static CanBusDispatch &instance();

    bool ensureThread();
    CanBusHost *ensureMainHost();
    Home &homeOf(CanBusHost *host);
    std::shared_ptr<Completion> submit(Home &home, Request request, quint32 resultOnTimeout,
                                       bool wait, int timeoutMs);
    void enqueueLocked(Home &home, Request request, bool *wake);
    static void announce(const Home &home);
    void serve(CanBusHost *host);
    void open(Home &home, Request &request);
    static void shutdown();

    std::mutex control; // creates and ends the hosts
    std::mutex requestMutex;
    std::condition_variable requestDone;
    Home libraryHome;
    Home mainHome;
    std::atomic<QThread *> thread {nullptr};

    static constexpr int kShutdownTimeoutMs = 10000;
};

CanBusDispatch &CanBusDispatch::instance()
{
    static CanBusDispatch dispatch;
    return dispatch;
}

bool CanBusDispatch::ensureThread()
{
    std::lock_guard guard(control);
    if (thread.load())
        return true;
    if (!QCoreApplication::instance())
        return false;
    QuietVirtualBusChatter();
    auto *started = new QThread;
    started->setObjectName(QStringLiteral("CAN library"));
    auto *host = new CanBusHost(started);
    if (!host->isValid()) {
        delete host;
        delete started;
        return false;
    }
    host->moveToThread(started);
    // Wait until the thread runs with its event dispatcher and listens, so that everything it
    // set up is visibly done before the first request is announced to it.
    bool listening = false;
    QObject::connect(
        started, &QThread::started, host,
        [this, host, &listening] {
            host->listen();
            std::lock_guard lock(requestMutex);
            listening = true;
            requestDone.notify_all();
        },
        Qt::DirectConnection);
    started->start();
    {
        std::unique_lock lock(requestMutex);
        requestDone.wait(lock, [&] { return listening; });
        libraryHome.host = host;
    }
    QObject::disconnect(started, &QThread::started, host, nullptr);
    thread = started;
    qAddPostRoutine(&CanBusDispatch::shutdown);
    return true;
}

CanBusHost *CanBusDispatch::ensureMainHost()
{
    std::lock_guard guard(control);
    {
        std::lock_guard lock(requestMutex);
        if (mainHome.host)
            return mainHome.host;
    }
    auto *host = new CanBusHost(QThread::currentThread());
    if (!host->isValid()) {
        delete host;
        return nullptr;
    }
    host->listen();
    std::lock_guard lock(requestMutex);
    mainHome.host = host;
    return host;
}

CanBusDispatch::Home &CanBusDispatch::homeOf(CanBusHost *host)
{
    // Told apart by thread: the hosts themselves are set up under the lock, their threads not.
    return host->hostThread() == thread.load() ? libraryHome : mainHome;
}

void CanBusDispatch::shutdown()
{
    CanBusDispatch &d = instance();
    std::lock_guard guard(d.control);
    CanBusHost *mainHost = nullptr;
    {
        std::lock_guard lock(d.requestMutex);
        mainHost = std::exchange(d.mainHome.host, nullptr);
        d.mainHome.requests.clear();
    }
    // Run on the application's thread as it winds up: the main host lives here.
    delete mainHost;
    QThread *libraryThread = d.thread.load();
    if (!libraryThread)
        return;
    Request request;
    request.kind = RequestKind::Shutdown;
    d.submit(d.libraryHome, request, CAN_ERR_OK, true, kShutdownTimeoutMs);
    if (!libraryThread->wait(kShutdownTimeoutMs))
        return; // a thread that hangs is left to the process's end

    {
        std::lock_guard lock(d.requestMutex);
        delete std::exchange(d.libraryHome.host, nullptr);
        d.libraryHome.requests.clear();
    }
    delete libraryThread;
    d.thread = nullptr;
}

void CanBusDispatch::announce(const Home &home)
{
    eventfd_write(home.host->wakeFd(), 1);
}

void CanBusDispatch::enqueueLocked(Home &home, Request request, bool *wake)
{
    // The host drains its whole queue per wake-up: one announcement is enough.
    *wake = home.requests.empty();
    if (request.kind == RequestKind::Write)
        ++request.library->m_queuedWrites;
    home.requests.push_back(std::move(request));
}

std::shared_ptr<CanBusDispatch::Completion> CanBusDispatch::submit(Home &home, Request request,
                                                                   quint32 resultOnTimeout,
                                                                   bool wait, int timeoutMs)
{
    const auto completion = std::make_shared<Completion>();
    completion->result = resultOnTimeout;
    request.completion = completion;
    std::unique_lock lock(requestMutex);
    bool wake = false;
    enqueueLocked(home, std::move(request), &wake);
    lock.unlock();
    if (wake)
        announce(home);
    if (!wait)
        return completion;
    lock.lock();
    if (!requestDone.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return completion->done; })) {
        if (!completion->committed) {
            // It stays queued and runs when the thread gets to it.
            completion->abandoned = true;
            qCWarning(lcCanLibrary) << "CAN library thread did not answer in time";
            auto given = std::make_shared<Completion>();
            given->result = resultOnTimeout;
            given->done = true;
            return given;
        }
        // An opening that has connected is handed over in a moment.
        requestDone.wait(lock, [&] { return completion->done; });
    }
    return completion;
}

void CanBusDispatch::serve(CanBusHost *host)
{
    Home &home = homeOf(host);
    // An opening waits for its connection in a nested event loop, where the next wake-up
    // would start on the requests behind it: they wait until it is done.
    if (home.serving)
        return;
    home.serving = true;
    const auto done = qScopeGuard([&home] { home.serving = false; });
    // Everything queued, in order; the wake-up may have announced several requests.
    for (;;) {
        Request request;
        CanBusHost *forwardTo = nullptr;
        {
            std::lock_guard lock(requestMutex);
            if (home.requests.empty())
                return;
            request = std::move(home.requests.front());
            home.requests.pop_front();
            CanBusLibrary *library = request.library.get();
            if (request.kind == RequestKind::Write)
                --library->m_queuedWrites;
            // A close asked of a host that no longer holds the device follows the device.
            if (request.kind == RequestKind::Close && !host->holdsDevice(library)
                && library->m_deviceHost && library->m_deviceHost != host)
                forwardTo = library->m_deviceHost;
        }
        switch (request.kind) {
        case RequestKind::Write:
            host->write(request.library.get(), request.frame);
            continue;
        case RequestKind::Init:
            open(home, request);
            continue;
        case RequestKind::Close:
            if (forwardTo) {
                Request close;
                close.kind = RequestKind::Close;
                close.library = request.library;
                submit(homeOf(forwardTo), close, CAN_ERR_OK, false, 0);
            } else {
                host->close(request.library.get());
            }
            break;
        case RequestKind::Shutdown:
            // Ended from inside, so that no other thread touches its event loop while it winds
            // up. Whatever was queued behind it is dropped with the process.
            host->closeAll();
            QThread::currentThread()->quit();
            break;
        }
        {
            // Notified under the lock: the waiter may be the one that tears the thread down.
            std::lock_guard lock(requestMutex);
            request.completion->result = CAN_ERR_OK;
            request.completion->done = true;
            requestDone.notify_all();
        }
        if (request.kind == RequestKind::Shutdown)
            return;
    }
}

void CanBusDispatch::open(Home &home, Request &request)
{
    CanBusLibrary *library = request.library.get();
    quint32 result = CAN_ERR_RESOURCE;
    std::unique_ptr<QCanBusDevice> device = CanBusHost::connectDevice(
        library, request.plugin, request.interfaceName, request.bitRate, &result);
    Completion &completion = *request.completion;
    bool abandoned = false;
    {
        std::lock_guard lock(requestMutex);
        --library->m_opensInFlight;
        abandoned = completion.abandoned;
        completion.committed = !abandoned;
    }
    if (abandoned && device) {
        // Its caller was told it failed and will not use the bus: release it.
        qCWarning(lcCanLibrary) << "late CAN opening closed again";
        device->disconnectDevice();
        device.reset();
    }
    if (device) {
        if (request.target == home.host)
            home.host->adopt(request.library, std::move(device));
        else
            device->moveToThread(request.target->hostThread());
    }
    std::lock_guard lock(requestMutex);
    completion.result = result;
    completion.device = std::move(device);
    completion.done = true;
    requestDone.notify_all();
}

CanBusLibrary::CanBusLibrary() = default;

CanBusLibrary::~CanBusLibrary() = default;

void CanBusLibrary::serve(CanBusHost *host)
{
    CanBusDispatch::instance().serve(host);
}

void CanBusLibrary::closeCurrent(bool wait)
{
    CanBusDispatch &d = CanBusDispatch::instance();
    CanBusHost *host = nullptr;
    bool opening = false;
    int timeoutMs = 0;
    {
        std::lock_guard lock(d.requestMutex);
        host = m_deviceHost;
        opening = m_opensInFlight > 0;
        timeoutMs = m_requestTimeoutMs;
    }
    CanBusDispatch::Request close;
    close.kind = CanBusDispatch::RequestKind::Close;
    close.library = shared_from_this();
    if (host && host->hostThread() == QThread::currentThread())
        host->close(this);
    else if (host)
        d.submit(d.homeOf(host), close, CAN_ERR_OK, wait, timeoutMs);
    // An opening still under way (given up by its caller or not) is closed behind it.
    if (opening && QThread::currentThread() != d.thread.load())
        d.submit(d.libraryHome, close, CAN_ERR_OK, true, timeoutMs);
}

quint32 CanBusLibrary::init(const QString &bus, quint16 btr0btr1, quint16 msgType, quint32 hwType,
                            quint32 ioPort, quint16 interrupt)
{
    // The parallel-port dongle's hardware type, address and interrupt mean nothing to the
    // Qt backends; only the bit rate is passed on.
    Q_UNUSED(msgType)
    Q_UNUSED(hwType)
    Q_UNUSED(ioPort)
    Q_UNUSED(interrupt)
    CanBusDispatch::Request request;
    request.kind = CanBusDispatch::RequestKind::Init;
    request.library = shared_from_this();
    if (!SplitCanBusSetting(bus, &request.plugin, &request.interfaceName)) {
        qCWarning(lcCanLibrary).noquote() << CanBusSettingProblem(bus);
        return CAN_ERR_ILLPARAMVAL;
    }
    CanBusDispatch &d = CanBusDispatch::instance();
    if (!d.ensureThread())
        return CAN_ERR_RESOURCE;
    const bool onMainThread = QThread::currentThread() == QCoreApplication::instance()->thread();
    CanBusHost *target = onMainThread ? d.ensureMainHost() : nullptr;
    if (!target) {
        std::lock_guard lock(d.requestMutex);
        target = d.libraryHome.host;
    }
    // The device open before is closed first, wherever it lives.
    closeCurrent(true);
    request.bitRate = CANBitrateFromBTR0BTR1(btr0btr1);
    request.target = target;
    int timeoutMs = 0;
    {
        std::lock_guard lock(d.requestMutex);
        ++m_opensInFlight;
        timeoutMs = m_requestTimeoutMs;
    }
    const std::shared_ptr<CanBusDispatch::Completion> completion
        = d.submit(d.libraryHome, std::move(request), CAN_ERR_RESOURCE, true, timeoutMs);
    if (completion->device)
        target->adopt(shared_from_this(), std::move(completion->device));
    cancelWait();
    return completion->result;
}

quint32 CanBusLibrary::write(const TCANMsg &msg)
{
    if (!m_open.load())
        return CAN_ERR_ILLHW;
    CanBusDispatch &d = CanBusDispatch::instance();
    const QCanBusFrame frame = CanFrameMapping::toFrame(msg);
    CanBusHost *here = nullptr;
    CanBusDispatch::Home *home = nullptr;
    bool wake = false;
    {
        std::lock_guard lock(d.requestMutex);
        if (!m_deviceHost)
            return CAN_ERR_ILLHW;
        home = &d.homeOf(m_deviceHost);
        if (m_deviceHost->hostThread() == QThread::currentThread() && home->requests.empty()) {
            here = m_deviceHost;
        } else {
            if (m_queuedWrites >= kTransmitCapacity)
                return CAN_ERR_QXMTFULL;
            CanBusDispatch::Request request;
            request.kind = CanBusDispatch::RequestKind::Write;
            request.library = shared_from_this();
            request.frame = frame;
            d.enqueueLocked(*home, std::move(request), &wake);
        }
    }
    if (here)
        here->write(this, frame);
    else if (wake)
        CanBusDispatch::announce(*home);
    return CAN_ERR_OK;
}

quint32 CanBusLibrary::close()
{
    CanBusDispatch &d = CanBusDispatch::instance();
    if (!d.thread.load())
        return CAN_ERR_OK;
    // From another thread than the device's, the close is queued behind what is there: the
    // device's thread may be waiting for the caller (a handler on a receive thread that is
    // being joined).
    bool wait = false;
    {
        std::lock_guard lock(d.requestMutex);
        wait = m_deviceHost && m_deviceHost == d.libraryHome.host;
    }
    closeCurrent(wait);
    cancelWait();
    return CAN_ERR_OK;
}

void CanBusLibrary::deviceAdopted(CanBusHost *host)
{
    {
        std::lock_guard lock(CanBusDispatch::instance().requestMutex);
        m_deviceHost = host;
    }
    setOpen(true);
}

void CanBusLibrary::deviceReleased(CanBusHost *host)
{
    {
        std::lock_guard lock(CanBusDispatch::instance().requestMutex);
        if (m_deviceHost != host)
            return;
        m_deviceHost = nullptr;
    }
    setOpen(false);
}

bool CanBusLibrary::servedOnCurrentThread()
{
    std::lock_guard lock(CanBusDispatch::instance().requestMutex);
    return m_deviceHost && m_deviceHost->hostThread() == QThread::currentThread();
}

void CanBusLibrary::setReceiveEvent(int fd)
{
    std::lock_guard lock(m_queueMutex);
    m_receiveEventFd = fd;
    if (fd >= 0 && m_open.load() && (!m_queue.empty() || m_overrun || m_injectedResult))
        eventfd_write(fd, 1);
}

void CanBusLibrary::clearReceiveEvent(int fd)
{
    std::lock_guard lock(m_queueMutex);
    if (m_receiveEventFd == fd)
        m_receiveEventFd = -1;
}

quint32 CanBusLibrary::read(TCANMsg *msg)
{
    if (!msg)
        return CAN_ERR_ILLPARAMVAL;
    std::lock_guard lock(m_queueMutex);
    if (!m_open.load())
        return CAN_ERR_ILLHW;
    if (m_injectedResult)
        return std::exchange(m_injectedResult, 0);
    if (m_overrun) {
        m_overrun = false;
        return CAN_ERR_QOVERRUN;
    }
    if (m_queue.empty())
        return CAN_ERR_QRCVEMPTY;
    *msg = m_queue.front();
    m_queue.pop_front();
    return CAN_ERR_OK;
}

bool CanBusLibrary::waitReceive(int timeoutMs, const std::atomic<bool> *gate)
{
    std::unique_lock lock(m_queueMutex);
    const quint64 generation = m_cancelGeneration;
    auto ready = [&] {
        return m_open.load() && (!m_queue.empty() || m_overrun || m_injectedResult)
            && (!gate || gate->load());
    };
    m_queueChanged.wait_for(lock, std::chrono::milliseconds(qMax(0, timeoutMs)),
                            [&] { return ready() || m_cancelGeneration != generation; });
    return ready();
}

void CanBusLibrary::gateOpened()
{
    {
        std::lock_guard lock(m_queueMutex);
        if (!m_open.load() || (m_queue.empty() && !m_overrun && !m_injectedResult))
            return;
    }
    m_queueChanged.notify_all();
}

void CanBusLibrary::cancelWait()
{
    std::lock_guard lock(m_queueMutex);
    ++m_cancelGeneration;
    m_queueChanged.notify_all();
}

void CanBusLibrary::injectReadResult(quint32 code)
{
    std::lock_guard lock(m_queueMutex);
    m_injectedResult = code;
    if (m_receiveEventFd >= 0)
        eventfd_write(m_receiveEventFd, 1);
    m_queueChanged.notify_all();
}

void CanBusLibrary::setDeviceFactory(DeviceFactory factory)
{
    std::lock_guard lock(CanBusDispatch::instance().requestMutex);
    m_factory = std::move(factory);
}

void CanBusLibrary::setRequestTimeout(int ms)
{
    std::lock_guard lock(CanBusDispatch::instance().requestMutex);
    m_requestTimeoutMs = ms;
}

bool CanBusLibrary::knowsPlugin(const QString &plugin)
{
    {
        std::lock_guard lock(CanBusDispatch::instance().requestMutex);
        if (m_factory)
            return true;
    }
    return QCanBus::instance()->plugins().contains(plugin);
}

std::unique_ptr<QCanBusDevice>
CanBusLibrary::createDevice(const QString &plugin, const QString &interfaceName, QString *error)
{
    DeviceFactory factory;
    {
        std::lock_guard lock(CanBusDispatch::instance().requestMutex);
        factory = m_factory;
    }
    if (factory)
        return factory(plugin, interfaceName, error);
    return std::unique_ptr<QCanBusDevice>(
        QCanBus::instance()->createDevice(plugin, interfaceName, error));
}

void CanBusLibrary::push(const TCANMsg *msgs, size_t count)
{
    {
        std::lock_guard lock(m_queueMutex);
        if (!m_open.load())
            return;
        for (size_t i = 0; i < count; ++i) {
            if (m_queue.size() >= kQueueCapacity)
                m_overrun = true;
            else
                m_queue.push_back(msgs[i]);
        }
        if (m_receiveEventFd >= 0)
            eventfd_write(m_receiveEventFd, 1);
    }
    m_queueChanged.notify_all();
}

void CanBusLibrary::setOpen(bool open)
{
    {
        std::lock_guard lock(m_queueMutex);
        m_open = open;
        m_overrun = false;
        m_injectedResult = 0;
        m_queue.clear();
    }
    m_queueChanged.notify_all();
}
