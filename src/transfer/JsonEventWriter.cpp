#include "transfer/JsonEventWriter.h"

#include <QIODevice>
#include <QJsonDocument>

JsonEventWriter::JsonEventWriter(Sink sink, TransferRate::Clock clock)
    : m_sink(std::move(sink)), m_clock(clock), m_rate(std::move(clock))
{
    Q_ASSERT(m_sink);
}

JsonEventWriter::JsonEventWriter(QIODevice *device, TransferRate::Clock clock)
    : JsonEventWriter([device](const QByteArray &line) { device->write(line); }, std::move(clock))
{
    Q_ASSERT(device);
}

JsonEventWriter::JsonEventWriter(std::FILE *stream, TransferRate::Clock clock)
    : JsonEventWriter(
        [stream](const QByteArray &line) {
            // A reader that went away must not stop the transfer; the errors are ignored.
            std::fwrite(line.constData(), 1, size_t(line.size()), stream);
            std::fflush(stream);
        },
        std::move(clock))
{
    Q_ASSERT(stream);
}

QByteArray JsonEventWriter::line(const QString &event, const QJsonObject &fields,
                                 const QString &port)
{
    QJsonObject rest = fields;
    if (!port.isEmpty())
        rest.insert(QStringLiteral("port"), port);
    // QJsonObject orders keys alphabetically; "event" leads so that a reader (or grep) sees
    // what a line is at its start. Event names are plain lower-case words.
    Q_ASSERT(!event.isEmpty() && event.toLatin1() == event.toUtf8());
    QByteArray out = QByteArrayLiteral("{\"event\":\"") + event.toLatin1() + '"';
    const QByteArray body = QJsonDocument(rest).toJson(QJsonDocument::Compact);
    if (body.size() > 2)
        out += ',' + body.mid(1);
    else
        out += '}';
    out += '\n';
    return out;
}

void JsonEventWriter::handle(const TransferEvent &event)
{
    const qint64 now = m_clock();
    if (event.kind == TransferEvent::Kind::Started) {
        m_finished = false;
        m_progressPending = false;
        m_lastProgressAt.reset();
        m_bytes = 0;
        m_total = event.record.totalBytes;
        m_rate.restart(m_total);
    }
    if (m_finished)
        return; // a transfer says nothing after its end
    if (event.kind != TransferEvent::Kind::Progress && m_progressPending && m_lastProgressAt
        && now - *m_lastProgressAt >= ProgressIntervalMs)
        writeProgress(now);

    switch (event.kind) {
    case TransferEvent::Kind::Started:
        write(QStringLiteral("started"), {{QStringLiteral("record"), event.record.toJson()}});
        break;
    case TransferEvent::Kind::Phase:
        write(QStringLiteral("phase"),
              {{QStringLiteral("phase"), TransferRecord::phaseName(event.phase)}});
        break;
    case TransferEvent::Kind::Log:
        write(QStringLiteral("log"), {{QStringLiteral("text"), event.text}});
        break;
    case TransferEvent::Kind::Progress:
        if (event.total != m_total) {
            m_total = event.total;
            m_rate.setTotal(m_total);
        }
        // The rate counts from the first data byte: the loader and the erase before it would
        // hold it down for the whole window.
        if (m_bytes == 0 && event.bytes > 0)
            m_rate.restart(m_total, event.bytes);
        else
            m_rate.update(event.bytes);
        m_bytes = event.bytes;
        m_progressPending = true;
        if (!m_lastProgressAt || now - *m_lastProgressAt >= ProgressIntervalMs)
            writeProgress(now);
        break;
    case TransferEvent::Kind::Finished:
        flush();
        write(QStringLiteral("finished"), {{QStringLiteral("record"), event.record.toJson()}});
        m_finished = true;
        break;
    }
}

void JsonEventWriter::flush()
{
    if (m_progressPending)
        writeProgress(m_clock());
}

void JsonEventWriter::writeProgress(qint64 now)
{
    m_progressPending = false;
    m_lastProgressAt = now;
    const qint64 left = m_rate.secondsLeft();
    write(
        QStringLiteral("progress"),
        {
            {QStringLiteral("bytes"), m_bytes},
            {QStringLiteral("total"), m_total},
            {QStringLiteral("rate"),
             m_rate.hasRate() ? QJsonValue(qint64(std::llround(m_rate.bytesPerSecond())))
                              : QJsonValue(QJsonValue::Null)},
            {QStringLiteral("eta_s"), left >= 0 ? QJsonValue(left) : QJsonValue(QJsonValue::Null)},
        });
}

void JsonEventWriter::write(const QString &event, const QJsonObject &fields)
{
    m_sink(line(event, fields, m_port));
}
