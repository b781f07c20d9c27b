#include "comm/CanBusHost.h"

#include "comm/CanBusLibrary.h"
#include "comm/CanFrameMapping.h"

#include <QEventLoop>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QVariant>

#include <algorithm>

#include <sys/eventfd.h>
#include <unistd.h>

Q_DECLARE_LOGGING_CATEGORY(lcCanLibrary)

namespace {

constexpr int kConnectTimeoutMs = 5000;

} // namespace

CanBusHost::CanBusHost(QThread *thread)
    : m_thread(thread), m_wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{ }

CanBusHost::~CanBusHost()
{
    closeAll();
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
        CanBusLibrary::serve(this);
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

CanBusHost::Slot *CanBusHost::slotOf(const CanBusLibrary *library) const
{
    for (const std::unique_ptr<Slot> &slot : m_slots) {
        if (slot->library.get() == library)
            return slot.get();
    }
    return nullptr;
}

bool CanBusHost::holdsDevice(const CanBusLibrary *library) const
{
    return slotOf(library) != nullptr;
}

void CanBusHost::adopt(std::shared_ptr<CanBusLibrary> library,
                       std::unique_ptr<QCanBusDevice> device)
{
    close(library.get());
    auto owned = std::make_unique<Slot>();
    Slot *slot = owned.get();
    slot->library = std::move(library);
    slot->device = std::move(device);
    m_slots.push_back(std::move(owned));
    // The connections go before the slot does (close), so the slot outlives every call.
    QCanBusDevice *dev = slot->device.get();
    connect(dev, &QCanBusDevice::framesReceived, this, [this, slot] { drain(slot); });
    connect(dev, &QCanBusDevice::errorOccurred, this,
            [this, slot](QCanBusDevice::CanBusError error) { deviceError(slot, error); });
    connect(dev, &QCanBusDevice::stateChanged, this,
            [this, slot](QCanBusDevice::CanBusDeviceState state) { stateChanged(slot, state); });
    slot->library->deviceAdopted(this);
    drain(slot);
}

void CanBusHost::write(const CanBusLibrary *library, const QCanBusFrame &frame)
{
    // Writes return before they get here; a device that is gone reports itself through its
    // state, so a refused frame is only worth a note.
    const Slot *slot = slotOf(library);
    if (!slot || slot->device->state() != QCanBusDevice::ConnectedState) {
        qCDebug(lcCanLibrary) << "frame" << Qt::hex << frame.frameId() << "dropped: bus closed";
        return;
    }
    if (!slot->device->writeFrame(frame))
        qCDebug(lcCanLibrary) << "frame" << Qt::hex << frame.frameId()
                              << "refused:" << slot->device->errorString();
}

void CanBusHost::close(const CanBusLibrary *library)
{
    const auto it = std::find_if(m_slots.begin(), m_slots.end(), [library](const auto &slot) {
        return slot->library.get() == library;
    });
    if (it == m_slots.end())
        return;
    const std::unique_ptr<Slot> slot = std::move(*it);
    m_slots.erase(it);
    slot->library->deviceReleased(this);
    slot->device->disconnect(this);
    slot->device->disconnectDevice();
    // Possibly inside one of its own signals (a handler that closes the dongle): freed once
    // that is over.
    slot->device.release()->deleteLater();
}

void CanBusHost::closeAll()
{
    while (!m_slots.empty())
        close(m_slots.back()->library.get());
}

void CanBusHost::drain(Slot *slot)
{
    m_batch.clear();
    while (slot->device->framesAvailable()) {
        const QCanBusFrame frame = slot->device->readFrame();
        TCANMsg msg;
        if (CanFrameMapping::fromFrame(frame, &msg))
            m_batch.push_back(msg);
        else if (frame.frameType() == QCanBusFrame::ErrorFrame)
            qCDebug(lcCanLibrary).noquote() << CanFrameMapping::describeErrorFrame(frame);
    }
    if (!m_batch.empty())
        slot->library->push(m_batch.data(), m_batch.size());
}

void CanBusHost::reportLoss(Slot *slot)
{
    // A lost connection or a failing read means the bus is gone for this program.
    if (slot->reportedLoss)
        return;
    slot->reportedLoss = true;
    slot->library->push(CanFrameMapping::statusMessage(quint8(CAN_ERR_BUSOFF)));
}

void CanBusHost::deviceError(Slot *slot, QCanBusDevice::CanBusError error)
{
    if (error == QCanBusDevice::ReadError || error == QCanBusDevice::ConnectionError)
        reportLoss(slot);
}

void CanBusHost::stateChanged(Slot *slot, QCanBusDevice::CanBusDeviceState state)
{
    if (state == QCanBusDevice::UnconnectedState)
        reportLoss(slot);
}
