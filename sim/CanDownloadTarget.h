#pragma once

#include "TargetBehaviour.h"

#include <QByteArray>

// The CAN download programs: after the serial start the device listens on the bus. Flash:
// an erase command, then per block four data messages and a header, each block answered on
// the reply identifier. Retain values: the same without erase, addresses or sectors.
class CanDownloadTarget : public TargetBehaviour
{
public:
    CanDownloadTarget(DeviceContext &context, bool retain);

    void canFrame(quint32 id, QByteArrayView data, SimClock::Micros at) override;

private:
    enum class State { WaitErase, Erasing, Programming, Finished };

    void erase(QByteArrayView command, SimClock::Micros at);
    void flashBlock(QByteArrayView header, SimClock::Micros at);
    void retainBlock(int count, SimClock::Micros at);
    // The first count bytes from the data slots; empty when a slot carries too few.
    QByteArray gather(int count, QString *problem) const;
    void reply(const FaultStep &step, quint8 status, SimClock::Micros at);
    void clearSlots();

    bool m_retain;
    State m_state;
    QByteArray m_slots[4];
    int m_block = 1;
    int m_retainOffset = 0;
};
