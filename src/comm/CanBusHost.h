#pragma once

#include "comm/CanDongleLibrary.h"

#include <QCanBusDevice>
#include <QObject>

#include <memory>
#include <vector>

class CanBusLibrary;
class QSocketNotifier;
class QThread;

// The dongle library's bus device in one thread: the library's own thread, where every device
// is connected, or the application's main thread, where a device opened from there is moved
// so that its messages arrive, are handled and are answered without crossing threads.
// Requests from other threads are announced on the host's eventfd. Everything but the
// constructor, hostThread() and wakeFd() runs in the host's thread.
class CanBusHost : public QObject
{
    Q_OBJECT

public:
    CanBusHost(CanBusLibrary *library, QThread *thread);
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

    // Takes a connected device that lives in this thread and opens the library with it.
    void adopt(std::unique_ptr<QCanBusDevice> device);
    bool holdsDevice() const { return m_device != nullptr; }
    void write(const QCanBusFrame &frame);
    void close();

private:
    static std::unique_ptr<QCanBusDevice> tryConnect(CanBusLibrary *library, const QString &plugin,
                                                     const QString &interfaceName, int bitRate);
    void drain();
    void deviceError(QCanBusDevice::CanBusError error);
    void stateChanged(QCanBusDevice::CanBusDeviceState state);
    void reportLoss();

    CanBusLibrary *const m_library;
    QThread *const m_thread;
    const int m_wakeFd;
    QSocketNotifier *m_notifier = nullptr; // a child
    std::unique_ptr<QCanBusDevice> m_device;
    bool m_reportedLoss = false;
    std::vector<TCANMsg> m_batch;
};
