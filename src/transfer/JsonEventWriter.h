#pragma once

#include "transfer/TransferEvent.h"
#include "transfer/TransferRate.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <cstdio>
#include <functional>
#include <optional>

class QIODevice;

// The machine-readable progress feed: one compact JSON object per line for each event of a
// transfer, "event" first:
//   {"event":"started","record":{...}}
//   {"event":"phase","phase":"erase"}
//   {"event":"log","text":"Loader started..."}
//   {"event":"progress","bytes":N,"total":N,"rate":B_per_s,"eta_s":S}
//   {"event":"finished","record":{...}}          always the last line of a transfer
// Progress lines come at most ten a second; one held back goes out with the next line after its
// turn, and the last one always goes out before "finished". With a port set, every line carries
// "port" too (a run over several ports tells them apart by it).
class JsonEventWriter
{
public:
    using Sink = std::function<void(const QByteArray &line)>;

    static constexpr qint64 ProgressIntervalMs = 100;

    explicit JsonEventWriter(Sink sink, TransferRate::Clock clock = TransferRate::steadyClock());
    // Writes to a device (a file, a socket, a buffer in a test); the device must be open.
    explicit JsonEventWriter(QIODevice *device,
                             TransferRate::Clock clock = TransferRate::steadyClock());
    // Writes to a C stream and flushes each line, so a reader on a pipe sees it at once.
    explicit JsonEventWriter(std::FILE *stream,
                             TransferRate::Clock clock = TransferRate::steadyClock());

    void setPort(const QString &port) { m_port = port; }

    void handle(const TransferEvent &event);
    // Sends a progress line held back by the throttle, if any.
    void flush();

    // One line of the feed: "event" first, then `fields` and, when set, "port".
    static QByteArray line(const QString &event, const QJsonObject &fields,
                           const QString &port = {});

private:
    void writeProgress(qint64 now);
    void write(const QString &event, const QJsonObject &fields);

    Sink m_sink;
    TransferRate::Clock m_clock;
    TransferRate m_rate;
    QString m_port;
    bool m_finished = false;
    bool m_progressPending = false;
    std::optional<qint64> m_lastProgressAt;
    qint64 m_bytes = 0;
    qint64 m_total = 0;
};
