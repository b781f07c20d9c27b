#pragma once

#include "SimClock.h"

#include <QByteArray>
#include <QFile>
#include <QString>

// The trace file: one line per serial chunk, CAN message or device event, in the order they
// happened. Line format (times in microseconds since the simulator started):
//
//   <us> H>D SER <hex bytes>        bytes from the host, as read from the line
//   <us> D>H SER <hex bytes>        bytes to the host, as written to the line
//   <us> H>D CAN <id> <hex data>    a CAN message from the host (id in 3 hex digits,
//   <us> D>H CAN <id> <hex data>    data "-" when the message has no bytes)
//   <us> EVT <text>                 what the device did
//
// Lines starting with '#' are comments.
class TraceWriter
{
public:
    TraceWriter() = default;

    bool open(const QString &path, QString *error);
    bool isOpen() const { return m_file.isOpen(); }

    void serial(bool fromHost, const QByteArray &bytes, SimClock::Micros at);
    void can(bool fromHost, quint32 id, const QByteArray &data, SimClock::Micros at);
    void event(const QString &text, SimClock::Micros at);
    void flush();

private:
    void line(SimClock::Micros at, const QByteArray &rest);

    QFile m_file;
};
