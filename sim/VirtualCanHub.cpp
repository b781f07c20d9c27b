#include "VirtualCanHub.h"

#include <QLoggingCategory>
#include <QTcpSocket>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

Q_LOGGING_CATEGORY(lcSimCan, "brasvik.sim.can", QtWarningMsg)

namespace {

const char *const InterfacesProperty = "brasvikInterfaces";
constexpr qsizetype MaxLineLength = 4096;

void acknowledgeNow(QTcpSocket *socket)
{
    // Linux leaves quick-ack mode on its own; set it again after every read.
    const int fd = int(socket->socketDescriptor());
    const int one = 1;
    if (fd >= 0)
        setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

QStringList interfacesOf(const QTcpSocket *socket)
{
    return socket->property(InterfacesProperty).toStringList();
}

} // namespace

VirtualCanHub::VirtualCanHub(const QString &interfaceName, QObject *parent)
    : QObject(parent), m_interface(interfaceName)
{
    connect(&m_server, &QTcpServer::newConnection, this, &VirtualCanHub::accept);
}

VirtualCanHub::~VirtualCanHub()
{
    m_server.close();
}

bool VirtualCanHub::listen(quint16 port, QString *error, bool *portInUse)
{
    *portInUse = false;
    if (m_server.listen(QHostAddress::LocalHost, port))
        return true;
    *portInUse = m_server.serverError() == QAbstractSocket::AddressInUseError;
    *error = QStringLiteral("cannot host the virtual CAN bus on port %1: %2")
                 .arg(port)
                 .arg(m_server.errorString());
    return false;
}

void VirtualCanHub::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_clients.append(socket);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readClient(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { dropClient(socket); });
        qCDebug(lcSimCan) << "client connected" << m_clients.size();
        emit clientCountChanged(int(m_clients.size()));
    }
}

void VirtualCanHub::dropClient(QTcpSocket *socket)
{
    if (!m_clients.removeOne(socket))
        return;
    socket->deleteLater();
    qCDebug(lcSimCan) << "client gone" << m_clients.size();
    emit clientCountChanged(int(m_clients.size()));
}

void VirtualCanHub::readClient(QTcpSocket *socket)
{
    acknowledgeNow(socket);
    while (socket->canReadLine())
        route(socket, socket->readLine().trimmed());
    if (socket->bytesAvailable() > MaxLineLength) {
        qCWarning(lcSimCan) << "client sends garbage; dropping it";
        socket->abort();
    }
}

void VirtualCanHub::route(QTcpSocket *from, const QByteArray &line)
{
    if (line.startsWith("connect:")) {
        QStringList list = interfacesOf(from);
        list.append(QString::fromLatin1(line.mid(8)));
        from->setProperty(InterfacesProperty, list);
        return;
    }
    if (line.startsWith("disconnect:")) {
        QStringList list = interfacesOf(from);
        list.removeAll(QString::fromLatin1(line.mid(11)));
        from->setProperty(InterfacesProperty, list);
        from->disconnectFromHost();
        return;
    }
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0)
        return;
    const QString iface = QString::fromLatin1(line.left(colon));
    const QByteArray frame = line.mid(colon + 1);
    for (QTcpSocket *client : std::as_const(m_clients)) {
        if (client != from && interfacesOf(client).contains(iface)) {
            client->write(frame + '\n');
            client->flush();
        }
    }
    if (iface != m_interface)
        return;
    const QList<QByteArray> parts = frame.split('#');
    bool ok = false;
    const quint32 id = parts.value(0).toUInt(&ok);
    if (parts.size() != 3 || !ok) {
        qCDebug(lcSimCan) << "malformed frame" << frame;
        return;
    }
    // Only standard data frames belong to this protocol.
    if (parts[1].contains('X') || parts[1].contains('R') || parts[1].contains('F'))
        return;
    emit frameFromHost(id, QByteArray::fromHex(parts[2]), SimClock::now());
}

void VirtualCanHub::sendFromDevice(quint32 id, const QByteArray &data)
{
    const QByteArray frame = QByteArray::number(id) + "##" + data.toHex() + '\n';
    for (QTcpSocket *client : std::as_const(m_clients)) {
        if (interfacesOf(client).contains(m_interface)) {
            client->write(frame);
            // Out now: the device may be sleeping to pace the bus before the loop runs again.
            client->flush();
        }
    }
}
