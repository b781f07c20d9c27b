#pragma once

#include "transfer/TransferRecord.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

// Whether a flash download may pick up where the last one on the same port stopped, and where.
// The decision reads only the record of that last transfer: it must be a flash download of the
// same image (SHA-256 of its blocks) and device type that failed after programming began.
namespace ResumePoint {

struct Decision
{
    qint32 sector = -1; // where to start; -1: no resume, `reason` says why
    QString reason; // "the last download on /dev/ttyUSB0 succeeded", ...
    QDateTime stoppedAt; // when the download to pick up ended, in UTC
    QString imageFile;

    bool canResume() const { return sector >= 0; }
};

// `last` is the latest record on `portPath` (nothing: none on record).
Decision decide(const std::optional<TransferRecord> &last, const QString &portPath,
                const QByteArray &imageSha256, DeviceKind deviceType);

// The latest record on `portPath` in the service record at `recordPath`, then decide().
Decision lookup(const QString &recordPath, const QString &portPath, const QByteArray &imageSha256,
                DeviceKind deviceType);

// "Resuming at sector 12 (0C0000h) after the download of 2024-05-02 12:14:03 stopped there"
QString resumingText(const Decision &decision);
// "Resuming at sector 12 (0C0000h) as asked"
QString startingText(qint32 sector);
// The local time as the texts show it.
QString timeText(const QDateTime &time);

} // namespace ResumePoint
