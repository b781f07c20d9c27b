#pragma once

#include "transfer/ServiceRecord.h"
#include "transfer/TransferRecord.h"

#include <QString>

#include <functional>

// Appends records to a service record file. Several processes may append to the same file at
// once: each line goes in with one write() on an O_APPEND descriptor under an exclusive flock,
// and the rotation to the ".1" file happens under the same lock. The file is only ever appended
// to, never rewritten.
//
// A record that cannot be written never throws and never fails the transfer: append() returns
// false and the first failure of this writer goes to the error handler (the presenter shows it
// on stderr or in the memo); later ones are not repeated.
class ServiceRecordWriter
{
public:
    using ErrorHandler = std::function<void(const QString &message)>;

    explicit ServiceRecordWriter(QString path = ServiceRecord::defaultPath(),
                                 qint64 rotateBytes = ServiceRecord::DefaultRotateBytes);

    void setErrorHandler(ErrorHandler handler) { m_errorHandler = std::move(handler); }
    // How long to wait for another process's lock before giving the line up.
    void setLockTimeoutMs(int ms) { m_lockTimeoutMs = ms; }

    QString path() const { return m_path; }
    // The reason of the last failed append, empty after a successful one.
    QString lastError() const { return m_lastError; }

    // True when the line is in the file. The result is informational: a failure has already
    // been reported through the error handler.
    bool append(const TransferRecord &record);
    bool appendLine(const QByteArray &line); // one complete line, '\n' included

private:
    bool fail(const QString &reason);

    QString m_path;
    qint64 m_rotateBytes;
    int m_lockTimeoutMs = 2000;
    ErrorHandler m_errorHandler;
    QString m_lastError;
    bool m_reported = false;
};
