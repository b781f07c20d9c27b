#include "support/FakeCanBusDevice.h"

#include <QTimer>

FakeCanBusDevice::FakeCanBusDevice(std::shared_ptr<FakeCanBusScript> script)
    : m_script(std::move(script))
{ }

bool FakeCanBusDevice::open()
{
    ++m_script->opened;
    if (m_script->connectDelayMs > 0)
        QTimer::singleShot(m_script->connectDelayMs, this, &FakeCanBusDevice::becomeConnected);
    else
        becomeConnected();
    return true;
}

void FakeCanBusDevice::becomeConnected()
{
    if (state() != ConnectingState)
        return;
    setState(ConnectedState);
    // Once the owner has connected to the device's signals.
    QTimer::singleShot(0, this, [this] {
        if (state() == ConnectedState && !m_script->framesAfterConnect.isEmpty())
            enqueueReceivedFrames(m_script->framesAfterConnect);
    });
}

void FakeCanBusDevice::close()
{
    ++m_script->closed;
    setState(UnconnectedState);
}

bool FakeCanBusDevice::writeFrame(const QCanBusFrame &frame)
{
    if (state() != ConnectedState || !frame.isValid())
        return false;
    ++m_script->written;
    emit framesWritten(1);
    return true;
}
