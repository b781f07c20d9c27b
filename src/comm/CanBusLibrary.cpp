#include "comm/CanBusLibrary.h"

#include "base/SettingsStore.h"
#include "comm/CanBusSetting.h"
#include "comm/CanFrameMapping.h"

#include <QCanBus>
#include <QCanBusDevice>
#include <QCoreApplication>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QVariant>

#include <chrono>
#include <utility>
#include <vector>

#include <sys/eventfd.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcCanLibrary, "brasvik.comm.can", QtCriticalMsg)

namespace {

constexpr int kConnectTimeoutMs = 5000;

// Qt's virtual-bus plugin reports every client's connection and every attempt to host the bus
// ("Server ... could not be started, port ... is already in use") as information. On a run
// against a bus hosted elsewhere that is chatter, not news: those levels are switched off for
// its category, its warnings stay. Explicit logging rules for it in the environment win.
QLoggingCategory::CategoryFilter g_previousFilter = nullptr;
std::atomic<bool> g_previousFilterSet {false};

void quietVirtualBusFilter(QLoggingCategory *category)
{
    if (g_previousFilterSet.load() && g_previousFilter)
        g_previousFilter(category);
    if (qstrncmp(category->categoryName(), "qt.canbus.plugins.virtualcan", 28) == 0) {
        category->setEnabled(QtDebugMsg, false);
        category->setEnabled(QtInfoMsg, false);
    }
}

void quietVirtualBusChatter()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (qEnvironmentVariable("QT_LOGGING_RULES").contains(QLatin1String("qt.canbus")))
            return;
        // The filter runs for every category inside installFilter already, before the previous
        // one is known; it leaves their levels alone then and is run once more afterwards.
        g_previousFilter = QLoggingCategory::installFilter(quietVirtualBusFilter);
        g_previousFilterSet = true;
        QLoggingCategory::installFilter(quietVirtualBusFilter);
    });
}

} // namespace

// Lives in the library thread and owns the device there.
class CanBusWorker : public QObject
{
    Q_OBJECT

public:
    explicit CanBusWorker(CanBusLibrary *library) : m_library(library) { }

    quint32 init(const QString &plugin, const QString &interfaceName, int bitRate);
    void write(const QCanBusFrame &frame);
    quint32 close();

    // Called in the library thread: requests are announced through the wake-up descriptor, so
    // no event object crosses threads (its hand-over inside Qt is invisible to race checkers).
    void listen(int wakeFd);

private:
    std::unique_ptr<QCanBusDevice> connectDevice(const QString &plugin,
                                                 const QString &interfaceName, int bitRate);
    void drain();
    void deviceError(QCanBusDevice::CanBusError error);
    void stateChanged(QCanBusDevice::CanBusDeviceState state);
    void reportLoss();

    CanBusLibrary *m_library;
    std::unique_ptr<QCanBusDevice> m_device;
    bool m_reportedLoss = false;
    std::vector<TCANMsg> m_batch;
};

void CanBusWorker::listen(int wakeFd)
{
    auto *notifier = new QSocketNotifier(wakeFd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this, wakeFd] {
        eventfd_t count = 0;
        eventfd_read(wakeFd, &count);
        m_library->serve();
    });
}

quint32 CanBusWorker::init(const QString &plugin, const QString &interfaceName, int bitRate)
{
    close();
    if (!m_library->knowsPlugin(plugin)) {
        qCWarning(lcCanLibrary) << "no CAN plugin" << plugin;
        return CAN_ERR_NOVXD;
    }
    // The virtual bus has no bit rate. Elsewhere the rate goes through the plugin's key; an
    // interface that cannot take it (no rights, no support) is expected to be configured
    // already, so the opening is tried once more without it.
    const bool withRate = bitRate > 0 && plugin != QLatin1String("virtualcan");
    m_device = connectDevice(plugin, interfaceName, withRate ? bitRate : 0);
    if (!m_device && withRate)
        m_device = connectDevice(plugin, interfaceName, 0);
    if (!m_device)
        return CAN_ERR_RESOURCE;
    m_reportedLoss = false;
    m_library->setOpen(true);
    connect(m_device.get(), &QCanBusDevice::framesReceived, this, &CanBusWorker::drain);
    connect(m_device.get(), &QCanBusDevice::errorOccurred, this, &CanBusWorker::deviceError);
    connect(m_device.get(), &QCanBusDevice::stateChanged, this, &CanBusWorker::stateChanged);
    drain();
    return CAN_ERR_OK;
}

std::unique_ptr<QCanBusDevice>
CanBusWorker::connectDevice(const QString &plugin, const QString &interfaceName, int bitRate)
{
    QString error;
    std::unique_ptr<QCanBusDevice> device = m_library->createDevice(plugin, interfaceName, &error);
    if (!device) {
        qCWarning(lcCanLibrary) << "cannot create" << plugin << interfaceName << error;
        return nullptr;
    }
    if (bitRate > 0)
        device->setConfigurationParameter(QCanBusDevice::BitRateKey, bitRate);
    // Error frames are read and sorted here: the dongle's own states are reported, the bus's
    // passing troubles only logged.
    if (plugin == QLatin1String("socketcan"))
        device->setConfigurationParameter(
            QCanBusDevice::ErrorFilterKey,
            QVariant::fromValue(QCanBusFrame::FrameErrors(QCanBusFrame::AnyError)));
    if (!device->connectDevice()) {
        qCWarning(lcCanLibrary) << "cannot connect" << interfaceName << device->errorString();
        return nullptr;
    }
    if (device->state() != QCanBusDevice::ConnectedState) {
        QEventLoop loop;
        QObject::connect(device.get(), &QCanBusDevice::stateChanged, &loop,
                         [&loop](QCanBusDevice::CanBusDeviceState state) {
                             if (state == QCanBusDevice::ConnectedState
                                 || state == QCanBusDevice::UnconnectedState)
                                 loop.quit();
                         });
        QTimer::singleShot(kConnectTimeoutMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (device->state() != QCanBusDevice::ConnectedState) {
        qCWarning(lcCanLibrary) << "no connection to" << interfaceName << device->errorString();
        return nullptr;
    }
    return device;
}

void CanBusWorker::write(const QCanBusFrame &frame)
{
    // Queued writes have returned long ago; a device that is gone reports itself through its
    // state, so a refused frame is only worth a note.
    if (!m_device || m_device->state() != QCanBusDevice::ConnectedState) {
        qCDebug(lcCanLibrary) << "frame" << Qt::hex << frame.frameId() << "dropped: bus closed";
        return;
    }
    if (!m_device->writeFrame(frame))
        qCDebug(lcCanLibrary) << "frame" << Qt::hex << frame.frameId()
                              << "refused:" << m_device->errorString();
}

quint32 CanBusWorker::close()
{
    m_library->setOpen(false);
    if (m_device) {
        m_device->disconnect(this);
        m_device->disconnectDevice();
        m_device.reset();
    }
    return CAN_ERR_OK;
}

void CanBusWorker::drain()
{
    if (!m_device)
        return;
    m_batch.clear();
    while (m_device->framesAvailable()) {
        const QCanBusFrame frame = m_device->readFrame();
        TCANMsg msg;
        if (CanFrameMapping::fromFrame(frame, &msg))
            m_batch.push_back(msg);
        else if (frame.frameType() == QCanBusFrame::ErrorFrame)
            qCDebug(lcCanLibrary).noquote() << CanFrameMapping::describeErrorFrame(frame);
    }
    if (!m_batch.empty())
        m_library->push(m_batch.data(), m_batch.size());
}

void CanBusWorker::reportLoss()
{
    // A lost connection or a failing read means the bus is gone for this program.
    if (m_reportedLoss)
        return;
    m_reportedLoss = true;
    m_library->push(CanFrameMapping::statusMessage(quint8(CAN_ERR_BUSOFF)));
}

void CanBusWorker::deviceError(QCanBusDevice::CanBusError error)
{
    if (error == QCanBusDevice::ReadError || error == QCanBusDevice::ConnectionError)
        reportLoss();
}

void CanBusWorker::stateChanged(QCanBusDevice::CanBusDeviceState state)
{
    if (state == QCanBusDevice::UnconnectedState)
        reportLoss();
}

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
    quietVirtualBusChatter();
    // The thread stays for the rest of the process: a virtual bus server started by the first
    // device lives in it and other programs may be using it.
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wakeFd < 0)
        return false;
    auto *thread = new QThread;
    thread->setObjectName(QStringLiteral("CAN library"));
    m_worker = new CanBusWorker(this);
    m_worker->moveToThread(thread);
    // Wait until the thread runs with its event dispatcher and listens, so that everything it
    // set up is visibly done before the first request is announced to it.
    bool started = false;
    QObject::connect(
        thread, &QThread::started, m_worker,
        [this, &started] {
            m_worker->listen(m_wakeFd);
            std::lock_guard lock(m_requestMutex);
            started = true;
            m_requestDone.notify_all();
        },
        Qt::DirectConnection);
    thread->start();
    {
        std::unique_lock lock(m_requestMutex);
        m_requestDone.wait(lock, [&] { return started; });
    }
    QObject::disconnect(thread, &QThread::started, m_worker, nullptr);
    m_thread = thread;
    qAddPostRoutine(&CanBusLibrary::shutdown);
    return true;
}

void CanBusLibrary::shutdown()
{
    CanBusLibrary &library = instance();
    std::lock_guard control(library.m_control);
    QThread *thread = library.m_thread.load();
    if (!thread)
        return;
    Request request;
    request.kind = RequestKind::Shutdown;
    library.submit(request, CAN_ERR_OK);
    if (!thread->wait(library.m_requestTimeoutMs))
        return; // a thread that hangs is left to the process's end

    delete library.m_worker;
    delete thread;
    library.m_worker = nullptr;
    library.m_thread = nullptr;
    ::close(library.m_wakeFd);
    library.m_wakeFd = -1;
    std::lock_guard lock(library.m_queueMutex);
    library.m_queue.clear();
}

void CanBusLibrary::announce()
{
    eventfd_write(m_wakeFd, 1);
}

quint32 CanBusLibrary::submit(Request request, quint32 resultOnTimeout)
{
    const auto completion = std::make_shared<Completion>();
    request.completion = completion;
    std::unique_lock lock(m_requestMutex);
    const bool wasIdle = m_requests.empty();
    m_requests.push_back(std::move(request));
    const int timeoutMs = m_requestTimeoutMs;
    lock.unlock();
    if (wasIdle)
        announce();
    lock.lock();
    if (!m_requestDone.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return completion->done; })) {
        // It stays queued and runs when the thread gets to it.
        completion->abandoned = true;
        qCWarning(lcCanLibrary) << "CAN library thread did not answer in time";
        return resultOnTimeout;
    }
    return completion->result;
}

void CanBusLibrary::serve()
{
    // An opening waits for its connection in a nested event loop, where the next wake-up
    // would start on the requests behind it: they wait until it is done.
    if (m_serving)
        return;
    m_serving = true;
    const auto done = qScopeGuard([this] { m_serving = false; });
    // Everything queued, in order; the wake-up may have announced several requests.
    for (;;) {
        Request request;
        {
            std::lock_guard lock(m_requestMutex);
            if (m_requests.empty())
                return;
            request = std::move(m_requests.front());
            m_requests.pop_front();
            if (request.kind == RequestKind::Write)
                --m_queuedWrites;
        }
        quint32 result = CAN_ERR_OK;
        switch (request.kind) {
        case RequestKind::Init:
            result = m_worker->init(request.plugin, request.interfaceName, request.bitRate);
            break;
        case RequestKind::Write:
            m_worker->write(request.frame);
            continue;
        case RequestKind::Close:
            result = m_worker->close();
            break;
        case RequestKind::Shutdown:
            // Ended from inside, so that no other thread touches its event loop while it winds
            // up. Whatever was queued behind it is dropped with the process.
            result = m_worker->close();
            QThread::currentThread()->quit();
            break;
        }
        bool abandoned = false;
        {
            // Notified under the lock: the waiter may be the one that tears the library down.
            std::lock_guard lock(m_requestMutex);
            request.completion->result = result;
            request.completion->done = true;
            abandoned = request.completion->abandoned;
            m_requestDone.notify_all();
        }
        if (request.kind == RequestKind::Shutdown)
            return;
        if (abandoned && request.kind == RequestKind::Init && result == CAN_ERR_OK) {
            // Its caller was told it failed and will not use the bus: release it.
            qCWarning(lcCanLibrary) << "late CAN opening closed again";
            m_worker->close();
        }
    }
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
    request.bitRate = CANBitrateFromBTR0BTR1(btr0btr1);
    const quint32 result = submit(std::move(request), CAN_ERR_RESOURCE);
    cancelWait();
    return result;
}

quint32 CanBusLibrary::write(const TCANMsg &msg)
{
    if (!m_open.load())
        return CAN_ERR_ILLHW;
    Request request;
    request.kind = RequestKind::Write;
    request.frame = CanFrameMapping::toFrame(msg);
    bool wasIdle = false;
    {
        std::lock_guard lock(m_requestMutex);
        if (m_queuedWrites >= kTransmitCapacity)
            return CAN_ERR_QXMTFULL;
        ++m_queuedWrites;
        // The thread drains the whole queue per wake-up: one announcement is enough.
        wasIdle = m_requests.empty();
        m_requests.push_back(std::move(request));
    }
    if (wasIdle)
        announce();
    return CAN_ERR_OK;
}

quint32 CanBusLibrary::close()
{
    if (!m_thread.load())
        return CAN_ERR_OK;
    Request request;
    request.kind = RequestKind::Close;
    submit(std::move(request), CAN_ERR_OK);
    cancelWait();
    return CAN_ERR_OK;
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

#include "CanBusLibrary.moc"
