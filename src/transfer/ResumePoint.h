#pragma once

#include "transfer/TransferRecord.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>
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

// The data bytes the image puts into sectors `from` up to (not including) `to`: what a download
// that started at `from` has programmed once it reaches `to`.
using DataBytes = std::function<qint64(qint32 from, qint32 to)>;

// `last` is the latest record on `portPath` (nothing: none on record). A record whose resume
// point is not borne out by its own fields (past its failed sector or the last one, beyond the
// bytes it programmed, no device type) is refused as not usable; `dataBytes`, when given, checks
// the bytes. A record of another unit than `unitId` is refused when both name their unit.
Decision decide(const std::optional<TransferRecord> &last, const QString &portPath,
                const QByteArray &imageSha256, DeviceKind deviceType,
                const DataBytes &dataBytes = {}, const QString &unitId = {});

// The latest record on `portPath` in the service record at `recordPath`, then decide().
Decision lookup(const QString &recordPath, const QString &portPath, const QByteArray &imageSha256,
                DeviceKind deviceType, const DataBytes &dataBytes = {}, const QString &unitId = {});

// "Resuming at sector 12 (0C0000h) after the download of 2024-05-02 12:14:03 stopped there"
QString resumingText(const Decision &decision);
// "Resuming at sector 12 (0C0000h) as asked"
QString startingText(qint32 sector);
// The local time as the texts show it.
QString timeText(const QDateTime &time);

} // namespace ResumePoint
