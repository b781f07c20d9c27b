#pragma once

#include <QCanBusDevice>
#include <QCanBusFrame>
#include <QList>

#include <atomic>
#include <memory>

// What a fake bus device does, fixed before the library creates it (in the library's thread)
// and watched through the counters from the test's thread.
struct FakeCanBusScript
{
    // Received right after the device has connected, in this order.
    QList<QCanBusFrame> framesAfterConnect;
    // The device stays connecting this long (the library waits for it in its event loop).
    int connectDelayMs = 0;

    std::atomic<int> opened {0};
    std::atomic<int> closed {0};
    std::atomic<int> written {0};
};

// A CAN bus device without a bus: connects (at once or late) and then receives the frames
// its script names, error frames included, which no virtual bus can carry.
class FakeCanBusDevice : public QCanBusDevice
{
    Q_OBJECT

public:
    explicit FakeCanBusDevice(std::shared_ptr<FakeCanBusScript> script);

    bool writeFrame(const QCanBusFrame &frame) override;
    QString interpretErrorFrame(const QCanBusFrame &) override { return {}; }

protected:
    bool open() override;
    void close() override;

private:
    void becomeConnected();

    std::shared_ptr<FakeCanBusScript> m_script;
};
