#pragma once

#include "SimClock.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

// A server for Qt's virtual CAN bus, run inside the simulator so that the device sits on the
// bus itself. It speaks the plugin's line protocol (clients send "connect:can0",
// "can0:<id>#<flags>#<hex>" and "disconnect:can0"; the server passes "<id>#<flags>#<hex>" on
// to the other clients on that interface) and answers without delay: no Nagle on its
// sockets and an immediate acknowledgement after every read, so a transfer's time is the
// tool's and the device's, not the loopback socket's.
class VirtualCanHub : public QObject
{
    Q_OBJECT

public:
    explicit VirtualCanHub(const QString &interfaceName, QObject *parent = nullptr);
    ~VirtualCanHub() override;

    // False (with the reason) when the port is taken.
    bool listen(quint16 port, QString *error, bool *portInUse);
    quint16 port() const { return m_server.serverPort(); }

    // A message from the device to every client on the device's interface.
    void sendFromDevice(quint32 id, const QByteArray &data);

signals:
    void frameFromHost(quint32 id, const QByteArray &data, SimClock::Micros at);
    void clientCountChanged(int count);

private:
    void accept();
    void readClient(QTcpSocket *socket);
    void dropClient(QTcpSocket *socket);
    void route(QTcpSocket *from, const QByteArray &line);

    QString m_interface;
    QTcpServer m_server;
    QList<QTcpSocket *> m_clients; // owned through the QObject parent (this)
};
