#include "comm/CanBusLibrary.h"

#include "comm/CanFrameMapping.h"
#include "base/SettingsStore.h"

#include <QCanBus>
#include <QCanBusDevice>
#include <QCoreApplication>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QVariant>

#include <chrono>
#include <memory>
#include <utility>

#include <sys/eventfd.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcCanLibrary, "brasvik.comm.can", QtCriticalMsg)

namespace {

constexpr int kConnectTimeoutMs = 5000;
// A request the library thread has not answered in this time has failed.
constexpr int kRequestTimeoutMs = 10000;

} // namespace

// Lives in the library thread and owns the device there.
class CanBusWorker : public QObject
{
    Q_OBJECT

public:
    explicit CanBusWorker(CanBusLibrary *library) : m_library(library) { }

    quint32 init(const QString &plugin, const QString &interfaceName, int bitRate);
    quint32 write(const QCanBusFrame &frame);
    quint32 close();

    // Called in the library thread: requests are announced through the wake-up descriptor, so
    // no event object crosses threads (its hand-over inside Qt is invisible to race checkers).
    void listen(int wakeFd);

public slots:
    void serve() { m_library->serve(); }

private:
    static std::unique_ptr<QCanBusDevice> connectDevice(const QString &plugin,
                                                        const QString &interfaceName, int bitRate);
    void drain();
    void deviceError(QCanBusDevice::CanBusError error);
    void stateChanged(QCanBusDevice::CanBusDeviceState state);

    CanBusLibrary *m_library;
    std::unique_ptr<QCanBusDevice> m_device;
    bool m_reportedLoss = false;
};

void CanBusWorker::listen(int wakeFd)
{
    auto *notifier = new QSocketNotifier(wakeFd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this, wakeFd] {
        eventfd_t count = 0;
        eventfd_read(wakeFd, &count);
        serve();
    });
}

quint32 CanBusWorker::init(const QString &plugin, const QString &interfaceName, int bitRate)
{
    close();
    if (!QCanBus::instance()->plugins().contains(plugin)) {
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
    std::unique_ptr<QCanBusDevice> device(
        QCanBus::instance()->createDevice(plugin, interfaceName, &error));
    if (!device) {
        qCWarning(lcCanLibrary) << "cannot create" << plugin << interfaceName << error;
        return nullptr;
    }
    if (bitRate > 0)
        device->setConfigurationParameter(QCanBusDevice::BitRateKey, bitRate);
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

quint32 CanBusWorker::write(const QCanBusFrame &frame)
{
    if (!m_device || m_device->state() != QCanBusDevice::ConnectedState)
        return CAN_ERR_ILLHW;
    return m_device->writeFrame(frame) ? CAN_ERR_OK : CAN_ERR_XMTFULL;
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
    while (m_device->framesAvailable()) {
        TCANMsg msg;
        if (CanFrameMapping::fromFrame(m_device->readFrame(), &msg))
            m_library->push(msg);
    }
}

void CanBusWorker::deviceError(QCanBusDevice::CanBusError error)
{
    // A lost connection or a failing read means the bus is gone for this program.
    if ((error == QCanBusDevice::ReadError || error == QCanBusDevice::ConnectionError)
        && !m_reportedLoss) {
        m_reportedLoss = true;
        m_library->push(CanFrameMapping::statusMessage(quint8(CAN_ERR_BUSOFF)));
    }
}

void CanBusWorker::stateChanged(QCanBusDevice::CanBusDeviceState state)
{
    if (state == QCanBusDevice::UnconnectedState && !m_reportedLoss) {
        m_reportedLoss = true;
        m_library->push(CanFrameMapping::statusMessage(quint8(CAN_ERR_BUSOFF)));
    }
}

CanBusLibrary &CanBusLibrary::instance()
{
    static CanBusLibrary library;
    return library;
}

bool CanBusLibrary::ensureThread()
{
    if (m_thread)
        return true;
    if (!QCoreApplication::instance())
        return false;
    // The thread stays for the rest of the process: a virtual bus server started by the first
    // device lives in it and other programs may be using it.
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wakeFd < 0)
        return false;
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("CAN library"));
    m_worker = new CanBusWorker(this);
    m_worker->moveToThread(m_thread);
    // Wait until the thread runs with its event dispatcher and listens, so that everything it
    // set up is visibly done before the first request is announced to it.
    bool started = false;
    QObject::connect(
        m_thread, &QThread::started, m_worker,
        [this, &started] {
            m_worker->listen(m_wakeFd);
            std::lock_guard lock(m_requestMutex);
            started = true;
            m_requestDone.notify_all();
        },
        Qt::DirectConnection);
    m_thread->start();
    {
        std::unique_lock lock(m_requestMutex);
        m_requestDone.wait(lock, [&] { return started; });
    }
    QObject::disconnect(m_thread, &QThread::started, m_worker, nullptr);
    qAddPostRoutine(&CanBusLibrary::shutdown);
    return true;
}

void CanBusLibrary::shutdown()
{
    CanBusLibrary &library = instance();
    std::lock_guard control(library.m_control);
    if (!library.m_thread)
        return;
    Request request;
    request.kind = RequestKind::Shutdown;
    library.submit(request, CAN_ERR_OK);
    if (!library.m_thread->wait(kRequestTimeoutMs))
        return; // a thread that hangs is left to the process's end

    delete library.m_worker;
    delete library.m_thread;
    library.m_worker = nullptr;
    library.m_thread = nullptr;
    ::close(library.m_wakeFd);
    library.m_wakeFd = -1;
    std::lock_guard lock(library.m_queueMutex);
    library.m_queue.clear();
}

quint32 CanBusLibrary::submit(Request request, quint32 resultOnTimeout)
{
    std::unique_lock lock(m_requestMutex);
    m_request = std::move(request);
    m_request.finished = false;
    const quint64 id = ++m_requestId;
    lock.unlock();
    // The request itself travels through the locked member; the descriptor only wakes the thread.
    eventfd_write(m_wakeFd, 1);
    lock.lock();
    const bool done = m_requestDone.wait_for(lock, std::chrono::milliseconds(kRequestTimeoutMs),
                                             [&] { return m_request.finished; });
    if (!done || id != m_requestId) {
        qCWarning(lcCanLibrary) << "CAN library thread did not answer";
        return resultOnTimeout;
    }
    return m_request.result;
}

void CanBusLibrary::serve()
{
    Request request;
    {
        std::lock_guard lock(m_requestMutex);
        if (m_request.finished)
            return;
        request = m_request;
    }
    quint32 result = CAN_ERR_OK;
    switch (request.kind) {
    case RequestKind::Init:
        result = m_worker->init(request.plugin, request.interfaceName, request.bitRate);
        break;
    case RequestKind::Write:
        result = m_worker->write(request.frame);
        break;
    case RequestKind::Close:
        result = m_worker->close();
        break;
    case RequestKind::Shutdown:
        // Ended from inside, so that no other thread touches its event loop while it winds up.
        result = m_worker->close();
        QThread::currentThread()->quit();
        break;
    }
    // Notified under the lock: the waiter may be the one that tears the library down.
    std::lock_guard lock(m_requestMutex);
    m_request.result = result;
    m_request.finished = true;
    m_requestDone.notify_all();
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
    const qsizetype colon = bus.indexOf(u':');
    if (colon <= 0 || colon == bus.size() - 1) {
        qCWarning(lcCanLibrary) << "CANBus setting is not plugin:interface:" << bus;
        return CAN_ERR_ILLPARAMVAL;
    }
    std::lock_guard control(m_control);
    if (!ensureThread())
        return CAN_ERR_RESOURCE;
    Request request;
    request.kind = RequestKind::Init;
    request.plugin = bus.left(colon);
    request.interfaceName = bus.mid(colon + 1);
    request.bitRate = CANBitrateFromBTR0BTR1(btr0btr1);
    const quint32 result = submit(request, CAN_ERR_RESOURCE);
    cancelWait();
    return result;
}

quint32 CanBusLibrary::write(const TCANMsg &msg)
{
    std::lock_guard control(m_control);
    if (!m_thread)
        return CAN_ERR_ILLHW;
    Request request;
    request.kind = RequestKind::Write;
    request.frame = CanFrameMapping::toFrame(msg);
    return submit(request, CAN_ERR_XMTFULL);
}

quint32 CanBusLibrary::close()
{
    std::lock_guard control(m_control);
    if (!m_thread)
        return CAN_ERR_OK;
    Request request;
    request.kind = RequestKind::Close;
    submit(request, CAN_ERR_OK);
    cancelWait();
    return CAN_ERR_OK;
}

quint32 CanBusLibrary::read(TCANMsg *msg)
{
    if (!msg)
        return CAN_ERR_ILLPARAMVAL;
    std::lock_guard lock(m_queueMutex);
    if (!m_open)
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

bool CanBusLibrary::waitReceive(int timeoutMs)
{
    std::unique_lock lock(m_queueMutex);
    const quint64 generation = m_cancelGeneration;
    auto ready = [&] {
        return m_open && (!m_queue.empty() || m_overrun || m_injectedResult);
    };
    m_queueChanged.wait_for(lock, std::chrono::milliseconds(qMax(0, timeoutMs)),
                            [&] { return ready() || m_cancelGeneration != generation; });
    return ready();
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

void CanBusLibrary::push(const TCANMsg &msg)
{
    std::lock_guard lock(m_queueMutex);
    if (!m_open)
        return;
    if (m_queue.size() >= kQueueCapacity)
        m_overrun = true;
    else
        m_queue.push_back(msg);
    m_queueChanged.notify_all();
}

void CanBusLibrary::setOpen(bool open)
{
    std::lock_guard lock(m_queueMutex);
    m_open = open;
    m_overrun = false;
    m_injectedResult = 0;
    m_queue.clear();
    m_queueChanged.notify_all();
}

#include "CanBusLibrary.moc"
