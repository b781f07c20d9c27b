#include "support/VirtualCanPeer.h"

#include <QCanBus>
#include <QTest>
#include <QUrl>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

quint16 VirtualCanPeer::freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    quint16 port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

VirtualCanPeer::VirtualCanPeer(quint16 port, int channel) : m_port(port ? port : freePort())
{
    connectTo(QStringLiteral("tcp://127.0.0.1:%1/can%2").arg(m_port).arg(channel));
}

VirtualCanPeer::VirtualCanPeer(const QString &busSetting)
{
    const QString iface = busSetting.section(u':', 1);
    m_port = quint16(QUrl(iface).port());
    connectTo(iface);
}

void VirtualCanPeer::connectTo(const QString &iface)
{
    m_bus = QStringLiteral("virtualcan:") + iface;
    m_device.reset(QCanBus::instance()->createDevice(QStringLiteral("virtualcan"), iface));
    if (!m_device)
        return;
    QObject::connect(m_device.get(), &QCanBusDevice::framesReceived, m_device.get(), [this] {
        while (m_device->framesAvailable())
            m_received.append(m_device->readFrame());
    });
    if (m_device->connectDevice())
        (void)QTest::qWaitFor([this] { return isConnected(); }, 5000);
}

VirtualCanPeer::~VirtualCanPeer()
{
    if (m_device)
        m_device->disconnectDevice();
}

bool VirtualCanPeer::isConnected() const
{
    return m_device && m_device->state() == QCanBusDevice::ConnectedState;
}

bool VirtualCanPeer::send(const QCanBusFrame &frame)
{
    return m_device && m_device->writeFrame(frame);
}

QList<QCanBusFrame> VirtualCanPeer::take()
{
    return std::exchange(m_received, {});
}
