#include "transfer/TransferRecord.h"

#include <QJsonArray>
#include <QJsonValue>

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace {

constexpr std::array<std::pair<TransferOperation, const char *>, 3> Operations {{
    {TransferOperation::Download, "download"},
    {TransferOperation::Upload, "upload"},
    {TransferOperation::Compare, "compare"},
}};

constexpr std::array<std::pair<TransferOutcome, const char *>, 4> Outcomes {{
    {TransferOutcome::Running, "running"},
    {TransferOutcome::Success, "success"},
    {TransferOutcome::Failed, "failed"},
    {TransferOutcome::Aborted, "aborted"},
}};

constexpr std::array<std::pair<TransferPhase, const char *>, 10> Phases {{
    {TransferPhase::Starting, "starting"},
    {TransferPhase::BootPrompt, "boot-prompt"},
    {TransferPhase::Identification, "identification"},
    {TransferPhase::Loader, "loader"},
    {TransferPhase::Program, "program"},
    {TransferPhase::Sectors, "sectors"},
    {TransferPhase::Erase, "erase"},
    {TransferPhase::Data, "data"},
    {TransferPhase::Finishing, "finishing"},
    {TransferPhase::Ended, "ended"},
}};

template<typename Enum, std::size_t N>
QString nameOf(const std::array<std::pair<Enum, const char *>, N> &table, Enum value)
{
    for (const auto &[v, name] : table) {
        if (v == value)
            return QString::fromLatin1(name);
    }
    return {};
}

template<typename Enum, std::size_t N>
Enum valueOf(const std::array<std::pair<Enum, const char *>, N> &table, const QString &name,
             Enum fallback)
{
    for (const auto &[v, n] : table) {
        if (name == QLatin1String(n))
            return v;
    }
    return fallback;
}

QString timeText(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QDateTime timeOf(const QJsonValue &value)
{
    QDateTime time = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
    if (!time.isValid())
        time = QDateTime::fromString(value.toString(), Qt::ISODate);
    return time;
}

} // namespace

QString TransferRecord::operationName(TransferOperation operation)
{
    return nameOf(Operations, operation);
}

QString TransferRecord::outcomeName(TransferOutcome outcome)
{
    return nameOf(Outcomes, outcome);
}

QString TransferRecord::phaseName(TransferPhase phase)
{
    return nameOf(Phases, phase);
}

TransferOperation TransferRecord::operationFromName(const QString &name)
{
    return valueOf(Operations, name, TransferOperation::Unknown);
}

TransferOutcome TransferRecord::outcomeFromName(const QString &name)
{
    return valueOf(Outcomes, name, TransferOutcome::Running);
}

TransferPhase TransferRecord::phaseFromName(const QString &name)
{
    return valueOf(Phases, name, TransferPhase::Ended);
}

void TransferRecord::setCompareRanges(const QList<CompareRange> &ranges, qint64 differing)
{
    compareRanges = ranges.first(std::min(ranges.size(), MaxCompareRanges));
    compareRangesTruncated = ranges.size() > MaxCompareRanges;
    bytesDiffering = differing;
}

QJsonObject TransferRecord::toJson() const
{
    QJsonObject o;
    o.insert(QStringLiteral("id"), id);
    o.insert(QStringLiteral("tool_version"), toolVersion);
    o.insert(QStringLiteral("operation"), operationName(operation));
    o.insert(QStringLiteral("device_type"), deviceKindName(deviceType));
    o.insert(QStringLiteral("interface"), interfaceName);
    o.insert(QStringLiteral("port"), portName);
    o.insert(QStringLiteral("port_path"), portPath);
    o.insert(QStringLiteral("unit"),
             unitId.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(unitId));
    o.insert(QStringLiteral("line_rate"), lineRate);
    o.insert(QStringLiteral("can_bit_rate"), canBitRate);
    o.insert(QStringLiteral("image_file"), imageFile);
    o.insert(QStringLiteral("image_sha256"), QString::fromLatin1(imageSha256.toHex()));
    o.insert(QStringLiteral("first_sector"), firstSector);
    o.insert(QStringLiteral("end_sector"), endSector);
    o.insert(QStringLiteral("start_address"), static_cast<qint64>(startAddress));
    o.insert(QStringLiteral("end_address"), static_cast<qint64>(endAddress));
    o.insert(QStringLiteral("retain"), retain);
    o.insert(QStringLiteral("loader_file"), loaderFile);
    o.insert(QStringLiteral("program_file"), programFile);
    o.insert(QStringLiteral("started"), timeText(started));
    o.insert(QStringLiteral("ended"), timeText(ended));
    o.insert(QStringLiteral("bytes"), bytes);
    o.insert(QStringLiteral("total_bytes"), totalBytes);
    o.insert(QStringLiteral("blocks"), blocks);
    o.insert(QStringLiteral("blocks_resent"), blocksResent);
    o.insert(QStringLiteral("outcome"), outcomeName(outcome));
    o.insert(QStringLiteral("modal_result"), modalResult);
    o.insert(QStringLiteral("report"), reportText);
    if (hasFailure) {
        o.insert(QStringLiteral("failed_phase"), phaseName(failedPhase));
        o.insert(QStringLiteral("failed_sector"), failedSector);
        o.insert(QStringLiteral("failed_address"), failedAddress);
    } else {
        o.insert(QStringLiteral("failed_phase"), QJsonValue::Null);
        o.insert(QStringLiteral("failed_sector"), QJsonValue::Null);
        o.insert(QStringLiteral("failed_address"), QJsonValue::Null);
    }
    const bool resumable = hasFailure && resumeSector >= 0;
    o.insert(QStringLiteral("resume_sector"),
             resumable ? QJsonValue(resumeSector) : QJsonValue(QJsonValue::Null));
    o.insert(QStringLiteral("resumed_from_sector"),
             resumedFromSector >= 0 ? QJsonValue(resumedFromSector) : QJsonValue(QJsonValue::Null));
    if (attempts > 0) {
        o.insert(QStringLiteral("attempt"), attempt);
        o.insert(QStringLiteral("attempts"), attempts);
    }
    if (!proofSectors.isEmpty()) {
        QJsonArray sectors;
        for (const qint32 sector : proofSectors)
            sectors.append(sector);
        o.insert(QStringLiteral("proof_sectors"), sectors);
    }
    if (compared) {
        QJsonObject c;
        c.insert(QStringLiteral("equal"), compareEqual);
        c.insert(QStringLiteral("address"), compareAddress);
        c.insert(QStringLiteral("report"), compareText);
        c.insert(QStringLiteral("bytes_differing"), bytesDiffering);
        QJsonArray ranges;
        for (const CompareRange &range : compareRanges) {
            ranges.append(QJsonObject {
                {QStringLiteral("start"), range.start},
                {QStringLiteral("end"), range.end},
                {QStringLiteral("bytes"), range.bytes},
                {QStringLiteral("sector"),
                 range.sector >= 0 ? QJsonValue(range.sector) : QJsonValue(QJsonValue::Null)},
            });
        }
        c.insert(QStringLiteral("ranges"), ranges);
        c.insert(QStringLiteral("ranges_truncated"), compareRangesTruncated);
        o.insert(QStringLiteral("compare"), c);
    } else {
        o.insert(QStringLiteral("compare"), QJsonValue::Null);
    }
    return o;
}

TransferRecord TransferRecord::fromJson(const QJsonObject &o)
{
    TransferRecord r;
    r.id = o.value(QStringLiteral("id")).toString();
    r.toolVersion = o.value(QStringLiteral("tool_version")).toString();
    r.operation = operationFromName(o.value(QStringLiteral("operation")).toString());
    r.deviceType = deviceKindFromName(o.value(QStringLiteral("device_type")).toString())
                       .value_or(DeviceKind::None);
    r.interfaceName = o.value(QStringLiteral("interface")).toString();
    r.portName = o.value(QStringLiteral("port")).toString();
    r.portPath = o.value(QStringLiteral("port_path")).toString();
    r.unitId = o.value(QStringLiteral("unit")).toString();
    r.attempt = o.value(QStringLiteral("attempt")).toInt();
    r.attempts = o.value(QStringLiteral("attempts")).toInt();
    for (const QJsonValue &sector : o.value(QStringLiteral("proof_sectors")).toArray())
        r.proofSectors.append(sector.toInt());
    r.lineRate = o.value(QStringLiteral("line_rate")).toInt();
    r.canBitRate = o.value(QStringLiteral("can_bit_rate")).toInt();
    r.imageFile = o.value(QStringLiteral("image_file")).toString();
    r.imageSha256
        = QByteArray::fromHex(o.value(QStringLiteral("image_sha256")).toString().toLatin1());
    r.firstSector = o.value(QStringLiteral("first_sector")).toInt();
    r.endSector = o.value(QStringLiteral("end_sector")).toInt();
    r.startAddress = static_cast<quint32>(o.value(QStringLiteral("start_address")).toInteger());
    r.endAddress = static_cast<quint32>(o.value(QStringLiteral("end_address")).toInteger());
    r.retain = o.value(QStringLiteral("retain")).toBool();
    r.loaderFile = o.value(QStringLiteral("loader_file")).toString();
    r.programFile = o.value(QStringLiteral("program_file")).toString();
    r.started = timeOf(o.value(QStringLiteral("started")));
    r.ended = timeOf(o.value(QStringLiteral("ended")));
    r.bytes = o.value(QStringLiteral("bytes")).toInteger();
    r.totalBytes = o.value(QStringLiteral("total_bytes")).toInteger();
    r.blocks = o.value(QStringLiteral("blocks")).toInteger();
    r.blocksResent = o.value(QStringLiteral("blocks_resent")).toInteger();
    r.outcome = outcomeFromName(o.value(QStringLiteral("outcome")).toString());
    r.modalResult = o.value(QStringLiteral("modal_result")).toInt();
    r.reportText = o.value(QStringLiteral("report")).toString();
    const QJsonValue phase = o.value(QStringLiteral("failed_phase"));
    r.hasFailure = phase.isString();
    if (r.hasFailure) {
        r.failedPhase = phaseFromName(phase.toString());
        r.failedSector = o.value(QStringLiteral("failed_sector")).toInt(-1);
        r.failedAddress = o.value(QStringLiteral("failed_address")).toInteger(-1);
    }
    const QJsonValue resume = o.value(QStringLiteral("resume_sector"));
    if (r.hasFailure && !resume.isNull() && !resume.isUndefined()) {
        const double sector = resume.toDouble(-1);
        r.resumeSector = sector >= 0 && sector < 0x7FFFFFFF && sector == std::floor(sector)
            ? qint32(sector)
            : UnreadableSector;
    }
    r.resumedFromSector = o.value(QStringLiteral("resumed_from_sector")).toInt(-1);
    const QJsonValue compare = o.value(QStringLiteral("compare"));
    r.compared = compare.isObject();
    if (r.compared) {
        const QJsonObject c = compare.toObject();
        r.compareEqual = c.value(QStringLiteral("equal")).toBool();
        r.compareAddress = c.value(QStringLiteral("address")).toInteger(-1);
        r.compareText = c.value(QStringLiteral("report")).toString();
        r.bytesDiffering = c.value(QStringLiteral("bytes_differing")).toInteger();
        const QJsonArray ranges = c.value(QStringLiteral("ranges")).toArray();
        for (const QJsonValue &value : ranges) {
            const QJsonObject range = value.toObject();
            r.compareRanges.append({range.value(QStringLiteral("start")).toInt(),
                                    range.value(QStringLiteral("end")).toInt(),
                                    range.value(QStringLiteral("bytes")).toInt(),
                                    range.value(QStringLiteral("sector")).toInt(-1)});
        }
        r.compareRangesTruncated = c.value(QStringLiteral("ranges_truncated")).toBool();
    }
    return r;
}
