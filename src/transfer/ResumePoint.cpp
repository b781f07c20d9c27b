#include "transfer/ResumePoint.h"

#include "core/SectorMap.h"
#include "transfer/ServiceRecordReader.h"

#include <QFileInfo>

namespace ResumePoint {

namespace {

QString deviceName(DeviceKind deviceType)
{
    return deviceType == DeviceKind::Board4610 ? QStringLiteral("a 4610 board")
                                               : QStringLiteral("a 46xx device");
}

QString sectorText(qint32 sector)
{
    return QStringLiteral("sector %1 (%2h)")
        .arg(sector)
        .arg(QStringLiteral("%1").arg(SectorStart(sector), 6, 16, QLatin1Char('0')).toUpper());
}

// Why the resume point a failed download's record names cannot be trusted; empty when it can.
QString unusableBecause(const TransferRecord &r, const DataBytes &dataBytes)
{
    const qint32 sector = r.resumeSector;
    const qint32 from = r.resumedFromSector >= 0 ? r.resumedFromSector : r.firstSector;
    if (sector == TransferRecord::UnreadableSector)
        return QStringLiteral("its resume_sector is not a sector number");
    if (sector >= SectorCount)
        return QStringLiteral("its resume_sector %1 is past the last sector (%2)")
            .arg(sector)
            .arg(LastSector);
    if (r.failedSector >= 0 && sector > r.failedSector)
        return QStringLiteral("its resume_sector %1 lies beyond its failed_sector %2")
            .arg(sector)
            .arg(r.failedSector);
    if (sector < from)
        return QStringLiteral("its resume_sector %1 lies before sector %2, where that download "
                              "started")
            .arg(sector)
            .arg(from);
    if (dataBytes && r.bytes < dataBytes(from, sector))
        return QStringLiteral("its resume_sector %1 lies beyond what its %2 bytes programmed "
                              "cover")
            .arg(sector)
            .arg(r.bytes);
    return {};
}

} // namespace

QString timeText(const QDateTime &time)
{
    return time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

Decision decide(const std::optional<TransferRecord> &last, const QString &portPath,
                const QByteArray &imageSha256, DeviceKind deviceType, const DataBytes &dataBytes,
                const QString &unitId)
{
    Decision d;
    if (!last) {
        d.reason = QStringLiteral("no transfer on %1 is on record").arg(portPath);
        return d;
    }
    const TransferRecord &r = *last;
    d.stoppedAt = r.ended.isValid() ? r.ended : r.started;
    d.imageFile = r.imageFile;
    const QString on = QStringLiteral("the last transfer on %1 (%2)").arg(portPath, timeText(d.stoppedAt));
    const QString unusable = on + QStringLiteral(" is not usable: ");
    if (r.operation == TransferOperation::Unknown) {
        d.reason = unusable + QStringLiteral("it names no operation");
    } else if (r.deviceType == DeviceKind::None && r.operation == TransferOperation::Download) {
        // A line without one and a line with a type this version does not know read alike.
        d.reason = unusable + QStringLiteral("its device type is missing or unknown");
    } else if (r.operation != TransferOperation::Download) {
        d.reason = on
            + (r.operation == TransferOperation::Upload ? QStringLiteral(" was an upload")
                                                        : QStringLiteral(" was a compare"))
            + QStringLiteral(", not a download");
    } else if (r.retain) {
        d.reason = on + QStringLiteral(" downloaded retain values, which always go whole");
    } else if (r.deviceType != deviceType) {
        d.reason = on + QStringLiteral(" was for %1, not %2")
                            .arg(deviceName(r.deviceType), deviceName(deviceType));
    } else if (r.imageSha256.isEmpty() || r.imageSha256 != imageSha256) {
        d.reason = on + QStringLiteral(" downloaded another image (%1)")
                            .arg(QFileInfo(r.imageFile).fileName());
    } else if (!unitId.isEmpty() && !r.unitId.isEmpty() && r.unitId != unitId) {
        d.reason = on + QStringLiteral(" was of the unit %1, not %2").arg(r.unitId, unitId);
    } else if (r.outcome == TransferOutcome::Running) {
        d.reason = on + QStringLiteral(" has no end on record; where it stopped is unknown");
    } else if (r.outcome == TransferOutcome::Success) {
        d.reason = on + QStringLiteral(" succeeded; there is nothing to resume");
    } else if (r.resumeSector == -1) {
        d.reason = on + QStringLiteral(" stopped before programming began (%1)")
                            .arg(TransferRecord::phaseName(r.failedPhase));
    } else if (const QString why = unusableBecause(r, dataBytes); !why.isEmpty()) {
        d.reason = unusable + why;
    } else {
        d.sector = r.resumeSector;
    }
    return d;
}

Decision lookup(const QString &recordPath, const QString &portPath, const QByteArray &imageSha256,
                DeviceKind deviceType, const DataBytes &dataBytes, const QString &unitId)
{
    QString error;
    const std::optional<TransferRecord> last
        = ServiceRecordReader::latestForPort(recordPath, portPath, &error);
    if (!last && !error.isEmpty()) {
        Decision d;
        d.reason = error;
        return d;
    }
    return decide(last, portPath, imageSha256, deviceType, dataBytes, unitId);
}

QString resumingText(const Decision &decision)
{
    return QStringLiteral("Resuming at %1 after the download of %2 stopped there")
        .arg(sectorText(decision.sector), timeText(decision.stoppedAt));
}

QString startingText(qint32 sector)
{
    return QStringLiteral("Resuming at %1 as asked").arg(sectorText(sector));
}

} // namespace ResumePoint
