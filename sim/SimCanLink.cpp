#include "SimCanLink.h"

#include "VirtualCanHub.h"

#include <QCanBus>
#include <QCanBusDevice>
#include <QCanBusFrame>
#include <QUrl>

namespace {

constexpr quint16 DefaultVirtualCanPort = 35468;

} // namespace

SimCanLink::SimCanLink(const Config &config, QObject *parent) : QObject(parent), m_config(config)
{
    m_outbox = std::make_unique<PacedOutbox>(
        0, [this](QList<PacedOutbox::Item> &&items) { deliver(std::move(items)); });
}

SimCanLink::~SimCanLink()
{
    if (m_device)
        m_device->disconnectDevice();
}

bool SimCanLink::open(QString *error)
{
    const QString prefix = QStringLiteral("virtualcan:");
    const QString interfaceText = m_config.bus.mid(prefix.size());
    QString host = QStringLiteral("127.0.0.1");
    int port = DefaultVirtualCanPort;
    QString iface = interfaceText;
    if (interfaceText.contains(QLatin1String("://"))) {
        const QUrl url(interfaceText);
        if (!url.isValid() || url.scheme() != QLatin1String("tcp")) {
            *error = QStringLiteral("--can: cannot read the bus address \"%1\"").arg(m_config.bus);
            return false;
        }
        host = url.host().isEmpty() ? host : url.host();
        port = url.port(DefaultVirtualCanPort);
        iface = url.fileName();
    }
    if (!iface.startsWith(QLatin1String("can"))) {
        *error = QStringLiteral("--can: \"%1\" names no virtual CAN interface").arg(m_config.bus);
        return false;
    }
    const bool local = QHostAddress(host).isLoopback() || host == QLatin1String("localhost");

    if (local && !m_config.clientOnly) {
        auto hub = std::make_unique<VirtualCanHub>(iface);
        bool inUse = false;
        QString why;
        if (hub->listen(quint16(port), &why, &inUse)) {
            m_hub = std::move(hub);
            connect(m_hub.get(), &VirtualCanHub::frameFromHost, this, &SimCanLink::fromHost);
            m_busName
                = QStringLiteral("virtualcan:tcp://127.0.0.1:%1/%2").arg(m_hub->port()).arg(iface);
            return true;
        }
        if (!inUse || port == 0) {
            *error = why;
            return false;
        }
        // Someone already serves this bus: join it like any other node.
    }
    if (port == 0) {
        *error = QStringLiteral("--can: port 0 only works when the simulator hosts the bus");
        return false;
    }
    QString createError;
    m_device.reset(QCanBus::instance()->createDevice(
        QStringLiteral("virtualcan"),
        QStringLiteral("tcp://%1:%2/%3").arg(host).arg(port).arg(iface), &createError));
    if (!m_device) {
        *error = QStringLiteral("cannot join %1: %2").arg(m_config.bus, createError);
        return false;
    }
    connect(m_device.get(), &QCanBusDevice::framesReceived, this, &SimCanLink::readDevice);
    if (!m_device->connectDevice()) {
        *error = QStringLiteral("cannot join %1: %2").arg(m_config.bus, m_device->errorString());
        return false;
    }
    m_busName = QStringLiteral("virtualcan:tcp://%1:%2/%3").arg(host).arg(port).arg(iface);
    return true;
}

SimClock::Micros SimCanLink::occupyBus(SimClock::Micros from, int length)
{
    if (m_config.paceBitrate <= 0)
        return from;
    const qint64 start = qMax(from * 1000, m_busFreeNs);
    m_busFreeNs = start + frameBits(length) * 1'000'000'000LL / m_config.paceBitrate;
    return (m_busFreeNs + 999) / 1000;
}

void SimCanLink::fromHost(quint32 id, const QByteArray &data, SimClock::Micros arrived)
{
    emit traffic(true, id, data, arrived);
    emit received(id, data, occupyBus(arrived, int(data.size())));
}

void SimCanLink::readDevice()
{
    while (m_device && m_device->framesAvailable() > 0) {
        const QCanBusFrame frame = m_device->readFrame();
        if (!frame.isValid() || frame.frameType() != QCanBusFrame::DataFrame
            || frame.hasExtendedFrameFormat())
            continue;
        fromHost(frame.frameId(), frame.payload(), SimClock::now());
    }
}

void SimCanLink::send(quint32 id, const QByteArray &data, SimClock::Micros at)
{
    m_outbox->push(occupyBus(at, int(data.size())), id, data);
}

void SimCanLink::deliver(QList<PacedOutbox::Item> &&items)
{
    for (const PacedOutbox::Item &item : items) {
        if (m_hub) {
            m_hub->sendFromDevice(item.tag, item.data);
        } else if (m_device) {
            QCanBusFrame frame(item.tag, item.data);
            m_device->writeFrame(frame);
        }
        emit traffic(false, item.tag, item.data, SimClock::now());
    }
}
