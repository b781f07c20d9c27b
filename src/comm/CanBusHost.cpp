#include "comm/CanBusHost.h"

#include "comm/CanBusLibrary.h"
#include "comm/CanFrameMapping.h"

#include <QEventLoop>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QVariant>

#include <sys/eventfd.h>
#include <unistd.h>

Q_DECLARE_LOGGING_CATEGORY(lcCanLibrary)

namespace {

constexpr int kConnectTimeoutMs = 5000;

} // namespace

CanBusHost::CanBusHost(CanBusLibrary *library, QThread *thread)
    : m_library(library), m_thread(thread), m_wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{ }

CanBusHost::~CanBusHost()
{
    close();
    delete m_notifier;
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

void CanBusHost::listen()
{
    m_notifier = new QSocketNotifier(m_wakeFd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        eventfd_t count = 0;
        eventfd_read(m_wakeFd, &count);
        m_library->serve(this);
    });
}

std::unique_ptr<QCanBusDevice> CanBusHost::connectDevice(CanBusLibrary *library,
                                                         const QString &plugin,
                                                         const QString &interfaceName, int bitRate,
                                                         quint32 *result)
{
    if (!library->knowsPlugin(plugin)) {
        qCWarning(lcCanLibrary) << "no CAN plugin" << plugin;
        *result = CAN_ERR_NOVXD;
        return nullptr;
    }
    // The virtual bus has no bit rate. Elsewhere the rate goes through the plugin's key; an
    // interface that cannot take it (no rights, no support) is expected to be configured
    // already, so the opening is tried once more without it.
    const bool withRate = bitRate > 0 && plugin != QLatin1String("virtualcan");
    std::unique_ptr<QCanBusDevice> device
        = tryConnect(library, plugin, interfaceName, withRate ? bitRate : 0);
    if (!device && withRate)
        device = tryConnect(library, plugin, interfaceName, 0);
    *result = device ? CAN_ERR_OK : CAN_ERR_RESOURCE;
    return device;
}

std::unique_ptr<QCanBusDevice> CanBusHost::tryConnect(CanBusLibrary *library, const QString &plugin,
                                                      const QString &interfaceName, int bitRate)
{
    QString error;
    std::unique_ptr<QCanBusDevice> device = library->createDevice(plugin, interfaceName, &error);
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

void CanBusHost::adopt(std::unique_ptr<QCanBusDevice> device)
{
    close();
    m_device = std::move(device);
    m_reportedLoss = false;
    connect(m_device.get(), &QCanBusDevice::framesReceived, this, &CanBusHost::drain);
    connect(m_device.get(), &QCanBusDevice::errorOccurred, this, &CanBusHost::deviceError);
    connect(m_device.get(), &QCanBusDevice::stateChanged, this, &CanBusHost::stateChanged);
    m_library->deviceAdopted(this);
    drain();
}

void CanBusHost::write(const QCanBusFrame &frame)
{
    // Writes return before they get here; a device that is gone reports itself through its
    // state, so a refused frame is only worth a note.
    if (!m_device || m_device->state() != QCanBusDevice::ConnectedState) {
        qCDebug(lcCanLibrary) << "frame" << Qt::hex << frame.frameId() << "dropped: bus closed";
        return;
    }
    if (!m_device->writeFrame(frame))
        qCDebug(lcCanLibrary) << "frame" << Qt::hex << frame.frameId()
                              << "refused:" << m_device->errorString();
}

void CanBusHost::close()
{
    if (!m_device)
        return;
    m_library->deviceReleased(this);
    m_device->disconnect(this);
    m_device->disconnectDevice();
    // Possibly inside one of its own signals (a handler that closes the dongle): freed once
    // that is over.
    m_device.release()->deleteLater();
}

void CanBusHost::drain()
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

void CanBusHost::reportLoss()
{
    // A lost connection or a failing read means the bus is gone for this program.
    if (m_reportedLoss)
        return;
    m_reportedLoss = true;
    m_library->push(CanFrameMapping::statusMessage(quint8(CAN_ERR_BUSOFF)));
}

void CanBusHost::deviceError(QCanBusDevice::CanBusError error)
{
    if (error == QCanBusDevice::ReadError || error == QCanBusDevice::ConnectionError)
        reportLoss();
}

void CanBusHost::stateChanged(QCanBusDevice::CanBusDeviceState state)
{
    if (state == QCanBusDevice::UnconnectedState)
        reportLoss();
}
