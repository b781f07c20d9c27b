#pragma once

#include "comm/CanDongleLibrary.h"

#include <QCanBusDevice>
#include <QObject>

#include <memory>
#include <vector>

class CanBusLibrary;
class QSocketNotifier;
class QThread;

// The dongle libraries' bus devices in one thread, one per library instance at most: the shared
// thread, where every device is connected, or the application's main thread, where a device
// opened from there is moved so that its messages arrive, are handled and are answered without
// crossing threads. Requests from other threads are announced on the host's eventfd.
// Everything but the constructor, hostThread() and wakeFd() runs in the host's thread.
class CanBusHost : public QObject
{
    Q_OBJECT

public:
    explicit CanBusHost(QThread *thread);
    // Closes every device it still holds.
    ~CanBusHost() override;

    QThread *hostThread() const { return m_thread; }
    int wakeFd() const { return m_wakeFd; }
    bool isValid() const { return m_wakeFd >= 0; }

    // Watches the wake-up descriptor: no event object crosses threads (its hand-over inside Qt
    // is invisible to race checkers).
    void listen();

    // Creates and connects a device in the calling thread; null and the library's result code
    // when that fails.
    static std::unique_ptr<QCanBusDevice> connectDevice(CanBusLibrary *library,
                                                        const QString &plugin,
                                                        const QString &interfaceName, int bitRate,
                                                        quint32 *result);

    // Takes a connected device that lives in this thread and opens `library` with it, in place
    // of the device that library had here. The library is kept while its device is.
    void adopt(std::shared_ptr<CanBusLibrary> library, std::unique_ptr<QCanBusDevice> device);
    bool holdsDevice(const CanBusLibrary *library) const;
    void write(const CanBusLibrary *library, const QCanBusFrame &frame);
    void close(const CanBusLibrary *library);
    void closeAll();

private:
    struct Slot
    {
        std::shared_ptr<CanBusLibrary> library;
        std::unique_ptr<QCanBusDevice> device;
        bool reportedLoss = false;
    };

    static std::unique_ptr<QCanBusDevice> tryConnect(CanBusLibrary *library, const QString &plugin,
                                                     const QString &interfaceName, int bitRate);
    Slot *slotOf(const CanBusLibrary *library) const;
    void drain(Slot *slot);
    void deviceError(Slot *slot, QCanBusDevice::CanBusError error);
    void stateChanged(Slot *slot, QCanBusDevice::CanBusDeviceState state);
    void reportLoss(Slot *slot);

    QThread *const m_thread;
    const int m_wakeFd;
    QSocketNotifier *m_notifier = nullptr; // a child
    std::vector<std::unique_ptr<Slot>> m_slots;
    std::vector<TCANMsg> m_batch;
};
