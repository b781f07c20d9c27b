#pragma once

#include <QCanBusDevice>
#include <QCanBusFrame>
#include <QList>
#include <QString>

#include <memory>

// The far end of a virtual CAN bus of its own: a free TCP port picked at run time, so test
// programs can run side by side. The peer device is created first and so hosts the bus server
// in the test's thread. Another peer may join that server on another channel (canN), a bus
// apart from the first.
class VirtualCanPeer
{
public:
    explicit VirtualCanPeer(quint16 port = 0, int channel = 0);
    // Joins the bus a setting names ("virtualcan:tcp://127.0.0.1:PORT/canN"), e.g. a simulated
    // device's.
    explicit VirtualCanPeer(const QString &busSetting);
    ~VirtualCanPeer();

    bool isConnected() const;
    // "virtualcan:tcp://127.0.0.1:PORT/canN", in the CANBus notation.
    QString busSetting() const { return m_bus; }
    quint16 port() const { return m_port; }
    bool send(const QCanBusFrame &frame);
    // Frames received so far (the event loop must run to receive).
    QList<QCanBusFrame> take();
    QCanBusDevice *device() const { return m_device.get(); }

    static quint16 freePort();

private:
    void connectTo(const QString &iface);

    quint16 m_port = 0;
    QString m_bus;
    std::unique_ptr<QCanBusDevice> m_device;
    QList<QCanBusFrame> m_received;
};
