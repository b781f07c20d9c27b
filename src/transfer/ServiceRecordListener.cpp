#include "transfer/ServiceRecordListener.h"

#include <QUuid>

ServiceRecordListener::ServiceRecordListener(ServiceRecordWriter writer, QObject *parent)
    : QObject(parent), m_writer(std::move(writer))
{
    m_writer.setErrorHandler([this](const QString &message) { emit recordError(message); });
}

void ServiceRecordListener::onEvent(const TransferEvent &event)
{
    switch (event.kind) {
    case TransferEvent::Kind::Started: {
        const TransferRecord record = completed(event.record, false);
        m_id = record.id;
        m_writer.append(record);
        break;
    }
    case TransferEvent::Kind::Finished:
        m_writer.append(completed(event.record, true));
        m_id.clear();
        break;
    case TransferEvent::Kind::Phase:
    case TransferEvent::Kind::Progress:
    case TransferEvent::Kind::Log:
        break;
    }
}

TransferRecord ServiceRecordListener::completed(TransferRecord record, bool end)
{
    // Without an id the two lines could not be paired, and without times a line says little.
    if (record.id.isEmpty())
        record.id
            = !m_id.isEmpty() && end ? m_id : QUuid::createUuid().toString(QUuid::WithoutBraces);
    if (record.toolVersion.isEmpty())
        record.toolVersion = QStringLiteral(BRASVIK_VERSION);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (!record.started.isValid())
        record.started = now;
    if (end && !record.ended.isValid())
        record.ended = now;
    return record;
}
