#pragma once

#include "transfer/TransferLinks.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QString>

#include <functional>
#include <memory>

// What went over a transfer's links, seen from the tool, in the simulated device's trace form so
// that the two files can be laid side by side. One line per read, write or CAN message, times in
// microseconds on the monotonic clock since the trace began:
//
//   <us> H>D SER <hex bytes>        bytes the tool wrote
//   <us> D>H SER <hex bytes>        bytes the tool read
//   <us> H>D CAN <id> <hex data>    a CAN message the tool sent (id in 3 hex digits,
//   <us> D>H CAN <id> <hex data>    one it received; data "-" when the message has none)
//   <us> EVT <text>                 a line of the transfer's log
//
// Lines starting with '#' are comments. The links are tapped where the session sends and
// receives, so the trace holds exactly what the machines were given and what they sent.
class LinkTrace
{
public:
    LinkTrace();

    // Without a file (not opened) the trace only tells its observer.
    bool open(const QString &path, QString *error);
    bool isOpen() const { return m_file.isOpen(); }

    void serial(bool fromHost, const QByteArray &bytes);
    void can(bool fromHost, quint32 id, const QByteArray &data);
    void event(const QString &text);

    // Called after every line of traffic (not for events), written or not.
    void setObserver(std::function<void()> observer) { m_observer = std::move(observer); }

    // `links` with every serial and CAN link they make tapped into `trace`.
    static TransferLinks tapped(const TransferLinks &links, std::shared_ptr<LinkTrace> trace);

private:
    void line(const QByteArray &rest);
    void traffic(const QByteArray &rest);

    QFile m_file;
    QElapsedTimer m_clock;
    std::function<void()> m_observer;
};
