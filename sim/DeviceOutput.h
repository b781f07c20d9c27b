#pragma once

#include "SimClock.h"

#include <QByteArray>
#include <QString>

// What the device model produces. Every output carries the time at which it may leave the
// device at the earliest; the links add the line or bus time on top.
class DeviceOutput
{
public:
    virtual ~DeviceOutput() = default;

    virtual void sendSerial(const QByteArray &bytes, SimClock::Micros at) = 0;
    virtual void sendCan(quint32 id, const QByteArray &data, SimClock::Micros at) = 0;
    // A device-level happening for the trace and the verbose log.
    virtual void event(const QString &text) = 0;
    // The target program has given its final answer (complete = the transfer succeeded).
    virtual void transferEnded(bool complete, SimClock::Micros at) = 0;
};
