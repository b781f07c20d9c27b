#pragma once

#include "TargetBehaviour.h"

#include <QByteArray>

// The CAN upload programs: a region request (flash only) answered 0xAA, then per request
// 0x55 one batch of four 8-byte data messages and the status 0x20, or the status 0x00 when
// nothing is left.
class CanUploadTarget : public TargetBehaviour
{
public:
    CanUploadTarget(DeviceContext &context, bool retain);

    void start(SimClock::Micros at) override;
    void canFrame(quint32 id, QByteArrayView data, SimClock::Micros at) override;

    static constexpr int BatchSize = 32;

private:
    enum class State { WaitRegion, WaitRequest, Finished };

    void region(QByteArrayView command, SimClock::Micros at);
    void sendBatch(SimClock::Micros at);

    bool m_retain;
    State m_state;
    QByteArray m_source;
    int m_next = 0;
    int m_batch = 0;
};
