#pragma once

#include <QCanBusDevice>
#include <QCanBusFrame>
#include <QList>
#include <QString>

#include <memory>

// The far end of a virtual CAN bus of its own: a free TCP port picked at run time, so test
// programs can run side by side. The peer device is created first and so hosts the bus server
// in the test's thread.
class VirtualCanPeer
{
public:
    VirtualCanPeer();
    ~VirtualCanPeer();

    bool isConnected() const;
    // "virtualcan:tcp://127.0.0.1:PORT/can0", for the CANBus setting.
    QString busSetting() const { return m_bus; }
    bool send(const QCanBusFrame &frame);
    // Frames received so far (the event loop must run to receive).
    QList<QCanBusFrame> take();
    QCanBusDevice *device() const { return m_device.get(); }

    static quint16 freePort();

private:
    QString m_bus;
    std::unique_ptr<QCanBusDevice> m_device;
    QList<QCanBusFrame> m_received;
};
