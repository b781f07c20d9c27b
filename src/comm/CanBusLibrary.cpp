#include "comm/CanBusLibrary.h"

#include "base/SettingsStore.h"
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

CanBusLibrary &CanBusLibrary::instance()
{
    static CanBusLibrary library;
    return library;
}

bool CanBusLibrary::ensureThread()
{
    std::lock_guard control(m_control);
    if (m_thread.load())
        return true;
    if (!QCoreApplication::instance())
        return false;
    QuietVirtualBusChatter();
    // The thread stays for the rest of the process: a virtual bus server started by the first
    // device lives in it and other programs may be using it.
    auto *thread = new QThread;
    thread->setObjectName(QStringLiteral("CAN library"));
    auto *host = new CanBusHost(this, thread);
    if (!host->isValid()) {
        delete host;
        delete thread;
        return false;
    }
    host->moveToThread(thread);
    // Wait until the thread runs with its event dispatcher and listens, so that everything it
    // set up is visibly done before the first request is announced to it.
    bool started = false;
    QObject::connect(
        thread, &QThread::started, host,
        [this, host, &started] {
            host->listen();
            std::lock_guard lock(m_requestMutex);
            started = true;
            m_requestDone.notify_all();
        },
        Qt::DirectConnection);
    thread->start();
    {
        std::unique_lock lock(m_requestMutex);
        m_requestDone.wait(lock, [&] { return started; });
        m_libraryHome.host = host;
    }
    QObject::disconnect(thread, &QThread::started, host, nullptr);
    m_thread = thread;
    qAddPostRoutine(&CanBusLibrary::shutdown);
    return true;
}

CanBusHost *CanBusLibrary::ensureMainHost()
{
    std::lock_guard control(m_control);
    {
        std::lock_guard lock(m_requestMutex);
        if (m_mainHome.host)
            return m_mainHome.host;
    }
    auto *host = new CanBusHost(this, QThread::currentThread());
    if (!host->isValid()) {
        delete host;
        return nullptr;
    }
    host->listen();
    std::lock_guard lock(m_requestMutex);
    m_mainHome.host = host;
    return host;
}

CanBusLibrary::Home &CanBusLibrary::homeOf(CanBusHost *host)
{
    // Told apart by thread: the hosts themselves are set up under the lock, their threads not.
    return host->hostThread() == m_thread.load() ? m_libraryHome : m_mainHome;
}

void CanBusLibrary::shutdown()
{
    CanBusLibrary &library = instance();
    std::lock_guard control(library.m_control);
    CanBusHost *mainHost = nullptr;
    {
        std::lock_guard lock(library.m_requestMutex);
        mainHost = std::exchange(library.m_mainHome.host, nullptr);
        library.m_mainHome.requests.clear();
    }
    // Run on the application's thread as it winds up: the main host lives here.
    delete mainHost;
    QThread *thread = library.m_thread.load();
    if (!thread)
        return;
    Request request;
    request.kind = RequestKind::Shutdown;
    library.submit(library.m_libraryHome, request, CAN_ERR_OK, true);
    if (!thread->wait(library.m_requestTimeoutMs))
        return; // a thread that hangs is left to the process's end

    {
        std::lock_guard lock(library.m_requestMutex);
        delete std::exchange(library.m_libraryHome.host, nullptr);
    }
    delete thread;
    library.m_thread = nullptr;
    std::lock_guard lock(library.m_queueMutex);
    library.m_queue.clear();
}

void CanBusLibrary::announce(const Home &home)
{
    eventfd_write(home.host->wakeFd(), 1);
}

void CanBusLibrary::enqueueLocked(Home &home, Request request, bool *wake)
{
    // The host drains its whole queue per wake-up: one announcement is enough.
    *wake = home.requests.empty();
    if (request.kind == RequestKind::Write)
        ++home.queuedWrites;
    home.requests.push_back(std::move(request));
}

std::shared_ptr<CanBusLibrary::Completion> CanBusLibrary::submit(Home &home, Request request,
                                                                 quint32 resultOnTimeout, bool wait)
{
    const auto completion = std::make_shared<Completion>();
    completion->result = resultOnTimeout;
    request.completion = completion;
    std::unique_lock lock(m_requestMutex);
    bool wake = false;
    enqueueLocked(home, std::move(request), &wake);
    const int timeoutMs = m_requestTimeoutMs;
    lock.unlock();
    if (wake)
        announce(home);
    if (!wait)
        return completion;
    lock.lock();
    if (!m_requestDone.wait_for(lock, std::chrono::milliseconds(timeoutMs),
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
        m_requestDone.wait(lock, [&] { return completion->done; });
    }
    return completion;
}

void CanBusLibrary::serve(CanBusHost *host)
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
            std::lock_guard lock(m_requestMutex);
            if (home.requests.empty())
                return;
            request = std::move(home.requests.front());
            home.requests.pop_front();
            if (request.kind == RequestKind::Write)
                --home.queuedWrites;
            // A close asked of a host that no longer holds the device follows the device.
            if (request.kind == RequestKind::Close && !host->holdsDevice() && m_deviceHost
                && m_deviceHost != host)
                forwardTo = m_deviceHost;
        }
        switch (request.kind) {
        case RequestKind::Write:
            host->write(request.frame);
            continue;
        case RequestKind::Init:
            open(home, request);
            continue;
        case RequestKind::Close:
            if (forwardTo) {
                Request close;
                close.kind = RequestKind::Close;
                submit(homeOf(forwardTo), close, CAN_ERR_OK, false);
            } else {
                host->close();
            }
            break;
        case RequestKind::Shutdown:
            // Ended from inside, so that no other thread touches its event loop while it winds
            // up. Whatever was queued behind it is dropped with the process.
            host->close();
            QThread::currentThread()->quit();
            break;
        }
        {
            // Notified under the lock: the waiter may be the one that tears the library down.
            std::lock_guard lock(m_requestMutex);
            request.completion->result = CAN_ERR_OK;
            request.completion->done = true;
            m_requestDone.notify_all();
        }
        if (request.kind == RequestKind::Shutdown)
            return;
    }
}

void CanBusLibrary::open(Home &home, Request &request)
{
    quint32 result = CAN_ERR_RESOURCE;
    std::unique_ptr<QCanBusDevice> device = CanBusHost::connectDevice(
        this, request.plugin, request.interfaceName, request.bitRate, &result);
    Completion &completion = *request.completion;
    bool abandoned = false;
    {
        std::lock_guard lock(m_requestMutex);
        --m_opensInFlight;
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
            home.host->adopt(std::move(device));
        else
            device->moveToThread(request.target->hostThread());
    }
    std::lock_guard lock(m_requestMutex);
    completion.result = result;
    completion.device = std::move(device);
    completion.done = true;
    m_requestDone.notify_all();
}

void CanBusLibrary::closeCurrent(bool wait)
{
    CanBusHost *host = nullptr;
    bool opening = false;
    {
        std::lock_guard lock(m_requestMutex);
        host = m_deviceHost;
        opening = m_opensInFlight > 0;
    }
    Request close;
    close.kind = RequestKind::Close;
    if (host && host->hostThread() == QThread::currentThread())
        host->close();
    else if (host)
        submit(homeOf(host), close, CAN_ERR_OK, wait);
    // An opening still under way (given up by its caller or not) is closed behind it.
    if (opening && QThread::currentThread() != m_thread.load())
        submit(m_libraryHome, close, CAN_ERR_OK, true);
}

quint32 CanBusLibrary::init(quint16 btr0btr1, quint16 msgType, quint32 hwType, quint32 ioPort,
                            quint16 interrupt)
{
    // The parallel-port dongle's hardware type, address and interrupt mean nothing to the
    // Qt backends; only the bit rate is passed on.
    Q_UNUSED(msgType)
    Q_UNUSED(hwType)
    Q_UNUSED(ioPort)
    Q_UNUSED(interrupt)
    const QString bus = SettingsStore::canBus();
    Request request;
    request.kind = RequestKind::Init;
    if (!SplitCanBusSetting(bus, &request.plugin, &request.interfaceName)) {
        qCWarning(lcCanLibrary).noquote() << CanBusSettingProblem(bus);
        return CAN_ERR_ILLPARAMVAL;
    }
    if (!ensureThread())
        return CAN_ERR_RESOURCE;
    const bool onMainThread = QThread::currentThread() == QCoreApplication::instance()->thread();
    CanBusHost *target = onMainThread ? ensureMainHost() : nullptr;
    if (!target) {
        std::lock_guard lock(m_requestMutex);
        target = m_libraryHome.host;
    }
    // The device open before is closed first, wherever it lives.
    closeCurrent(true);
    request.bitRate = CANBitrateFromBTR0BTR1(btr0btr1);
    request.target = target;
    {
        std::lock_guard lock(m_requestMutex);
        ++m_opensInFlight;
    }
    const std::shared_ptr<Completion> completion
        = submit(m_libraryHome, std::move(request), CAN_ERR_RESOURCE, true);
    if (completion->device)
        target->adopt(std::move(completion->device));
    cancelWait();
    return completion->result;
}

quint32 CanBusLibrary::write(const TCANMsg &msg)
{
    if (!m_open.load())
        return CAN_ERR_ILLHW;
    Request request;
    request.kind = RequestKind::Write;
    request.frame = CanFrameMapping::toFrame(msg);
    CanBusHost *here = nullptr;
    Home *home = nullptr;
    bool wake = false;
    {
        std::lock_guard lock(m_requestMutex);
        if (!m_deviceHost)
            return CAN_ERR_ILLHW;
        home = &homeOf(m_deviceHost);
        if (m_deviceHost->hostThread() == QThread::currentThread() && home->requests.empty()) {
            here = m_deviceHost;
        } else {
            if (home->queuedWrites >= kTransmitCapacity)
                return CAN_ERR_QXMTFULL;
            enqueueLocked(*home, std::move(request), &wake);
        }
    }
    if (here)
        here->write(request.frame);
    else if (wake)
        announce(*home);
    return CAN_ERR_OK;
}

quint32 CanBusLibrary::close()
{
    if (!m_thread.load())
        return CAN_ERR_OK;
    // From another thread than the device's, the close is queued behind what is there: the
    // device's thread may be waiting for the caller (a handler on a receive thread that is
    // being joined).
    bool wait = false;
    {
        std::lock_guard lock(m_requestMutex);
        wait = m_deviceHost == m_libraryHome.host;
    }
    closeCurrent(wait);
    cancelWait();
    return CAN_ERR_OK;
}

void CanBusLibrary::deviceAdopted(CanBusHost *host)
{
    {
        std::lock_guard lock(m_requestMutex);
        m_deviceHost = host;
    }
    setOpen(true);
}

void CanBusLibrary::deviceReleased(CanBusHost *host)
{
    {
        std::lock_guard lock(m_requestMutex);
        if (m_deviceHost != host)
            return;
        m_deviceHost = nullptr;
    }
    setOpen(false);
}

bool CanBusLibrary::servedOnCurrentThread()
{
    std::lock_guard lock(m_requestMutex);
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
    std::lock_guard lock(m_requestMutex);
    m_factory = std::move(factory);
}

void CanBusLibrary::setRequestTimeout(int ms)
{
    std::lock_guard lock(m_requestMutex);
    m_requestTimeoutMs = ms;
}

bool CanBusLibrary::knowsPlugin(const QString &plugin)
{
    {
        std::lock_guard lock(m_requestMutex);
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
        std::lock_guard lock(m_requestMutex);
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
