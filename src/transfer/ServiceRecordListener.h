#pragma once

#include "transfer/ServiceRecordWriter.h"
#include "transfer/TransferEvent.h"

#include <QObject>
#include <QString>

// Writes a transfer's record into the service record: the start line on Started, the end line on
// Finished, both under the same id. Connect a transfer's event signal to onEvent(), and
// recordError() to wherever the presenter reports (stderr, the memo); it comes at most once.
class ServiceRecordListener : public QObject
{
    Q_OBJECT
public:
    explicit ServiceRecordListener(ServiceRecordWriter writer, QObject *parent = nullptr);

    const ServiceRecordWriter &writer() const { return m_writer; }

public slots:
    void onEvent(const TransferEvent &event);

signals:
    void recordError(const QString &message);

private:
    // Fills what the file cannot do without when the transfer left it out.
    TransferRecord completed(TransferRecord record, bool end);

    ServiceRecordWriter m_writer;
    QString m_id; // of the transfer started last, for an end record that lacks it
};
