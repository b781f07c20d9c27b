#pragma once

#include "DeviceContext.h"

#include <QByteArrayView>

// A target program once it runs: it gets the host's serial bytes and CAN messages, each with
// the time it finished arriving, and answers through the context.
class TargetBehaviour
{
public:
    explicit TargetBehaviour(DeviceContext &context) : m_ctx(context) { }
    virtual ~TargetBehaviour() = default;
    TargetBehaviour(const TargetBehaviour &) = delete;
    TargetBehaviour &operator=(const TargetBehaviour &) = delete;

    // Called right after the program-start answer has been sent.
    virtual void start(SimClock::Micros) { }
    virtual void serialByte(quint8, SimClock::Micros) { }
    virtual void canFrame(quint32, QByteArrayView, SimClock::Micros) { }

protected:
    static FaultStep step(FaultStep::Kind kind, int block = 0)
    {
        FaultStep s;
        s.kind = kind;
        s.block = block;
        return s;
    }
    static QString hexByte(quint8 byte) { return DeviceContext::hexByte(byte); }
    static QString hexAddress(int address) { return DeviceContext::hexAddress(address); }

    DeviceContext &m_ctx;
};
