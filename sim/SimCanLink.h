#pragma once

#include "PacedOutbox.h"
#include "SimClock.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

class QCanBusDevice;
class VirtualCanHub;

// The device's place on a Qt virtual CAN bus. For a bus on this machine it hosts the bus
// server itself (VirtualCanHub); when someone else already serves the port, or when asked
// to, it joins as an ordinary client through QCanBusDevice. With a bit rate it paces the
// bus: each message, either way, occupies 47 + 8 x length bit times (a standard data frame
// without stuffing bits), one after the other.
class SimCanLink : public QObject
{
    Q_OBJECT

public:
    struct Config
    {
        QString bus; // virtualcan:can0 or virtualcan:tcp://127.0.0.1:PORT/can0
        int paceBitrate = 0; // 0: unpaced
        bool clientOnly = false;
    };

    explicit SimCanLink(const Config &config, QObject *parent = nullptr);
    ~SimCanLink() override;

    bool open(QString *error);
    // The bus in the tool's "CANBus" notation, with the port actually used.
    QString busName() const { return m_busName; }
    bool isHosting() const { return m_hub != nullptr; }

    void send(quint32 id, const QByteArray &data, SimClock::Micros at);

    static qint64 frameBits(int length) { return 47 + 8 * qint64(length); }

signals:
    void received(quint32 id, const QByteArray &data, SimClock::Micros at);
    void traffic(bool fromHost, quint32 id, const QByteArray &data, SimClock::Micros at);

private:
    void fromHost(quint32 id, const QByteArray &data, SimClock::Micros arrived);
    void deliver(QList<PacedOutbox::Item> &&items);
    void readDevice();
    SimClock::Micros occupyBus(SimClock::Micros from, int length);

    Config m_config;
    QString m_busName;
    std::unique_ptr<VirtualCanHub> m_hub;
    std::unique_ptr<QCanBusDevice> m_device;
    std::unique_ptr<PacedOutbox> m_outbox;
    qint64 m_busFreeNs = 0;
};
