#include "cli/CliCommand.h"
#include "cli/CliOptions.h"
#include "transfer/ServiceRecord.h"
#include "transfer/ServiceRecordReader.h"
#include "transfer/TransferRate.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <array>

namespace {

constexpr int DefaultCount = 10;

// Whether `record`, a download that started past its image's first sector, picks up the
// latest earlier download on its port: the same image on the same device type, stopped at
// the sector this one started at.
bool continuesFailure(const TransferRecord &record, const QList<TransferRecord> &earlier)
{
    for (qsizetype i = earlier.size() - 1; i >= 0; --i) {
        const TransferRecord &e = earlier.at(i);
        if (e.operation != TransferOperation::Download || e.portPath != record.portPath
            || e.portName != record.portName)
            continue;
        return e.outcome != TransferOutcome::Success && e.outcome != TransferOutcome::Running
            && e.deviceType == record.deviceType && e.imageSha256 == record.imageSha256
            && e.resumeSector == record.resumedFromSector;
    }
    return false;
}

// `earlier`: the records listed before this one, oldest first.
QString resultText(const TransferRecord &record, const QList<TransferRecord> &earlier)
{
    // Only a start line: the transfer is still running, or its program died before the end.
    QString text = record.outcome == TransferOutcome::Running
        ? QStringLiteral("unfinished")
        : TransferRecord::outcomeName(record.outcome);
    // A partial download (--resume, --from-sector) says so: the sectors below stayed as they
    // were, so it does not stand for the whole image.
    if (record.operation == TransferOperation::Download && record.resumedFromSector >= 0) {
        text += continuesFailure(record, earlier)
            ? QStringLiteral(" (resumed from sector %1)").arg(record.resumedFromSector)
            : QStringLiteral(" (from sector %1)").arg(record.resumedFromSector);
    }
    if (record.operation == TransferOperation::Download && record.compared && record.compareEqual)
        text += QStringLiteral(", verified");
    if (record.attempts > 0)
        text += QStringLiteral(", try %1 of %2").arg(record.attempt).arg(record.attempts);
    return text;
}

QString usedTime(const TransferRecord &record)
{
    if (!record.started.isValid() || !record.ended.isValid())
        return QStringLiteral("-");
    return TransferRate::durationText(record.started.secsTo(record.ended));
}

// A record's texts are whatever its line held: control characters are shown as escapes, so
// that a file name never moves the cursor, colours the terminal or splits a row.
QString printable(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() < 0xA0))
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QString orDash(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("-") : printable(text);
}

// A line that names no operation or device type says so, instead of the defaults.
QString operationText(const TransferRecord &r)
{
    return r.operation == TransferOperation::Unknown ? QStringLiteral("unknown")
                                                     : TransferRecord::operationName(r.operation);
}

QString deviceText(const TransferRecord &r)
{
    return r.deviceType == DeviceKind::None ? QStringLiteral("unknown")
                                            : deviceKindName(r.deviceType);
}

void printTable(const QList<TransferRecord> &records)
{
    constexpr int Columns = 8;
    using Row = std::array<QString, Columns>;
    QList<Row> rows;
    rows.append({QStringLiteral("Date"), QStringLiteral("Operation"), QStringLiteral("Device"),
                 QStringLiteral("Port"), QStringLiteral("Unit"), QStringLiteral("Image"),
                 QStringLiteral("Result"), QStringLiteral("Time")});
    for (qsizetype i = 0; i < records.size(); ++i) {
        const TransferRecord &r = records.at(i);
        rows.append({
            r.started.isValid()
                ? r.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                : QStringLiteral("-"),
            operationText(r),
            deviceText(r),
            orDash(r.portName.isEmpty() ? r.portPath : r.portName),
            orDash(r.unitId),
            orDash(QFileInfo(r.imageFile).fileName()),
            resultText(r, records.first(i)),
            usedTime(r),
        });
    }
    std::array<qsizetype, Columns> width {};
    for (const Row &row : rows) {
        for (int c = 0; c < Columns; ++c)
            width[c] = std::max(width[c], row[c].size());
    }
    for (const Row &row : rows) {
        QString line;
        for (int c = 0; c < Columns; ++c)
            line += c + 1 < Columns ? row[c].leftJustified(width[c] + 2) : row[c];
        printOut(line);
    }
}

} // namespace

int runHistory(const QStringList &args)
{
    CliOptions options({QStringLiteral("last"), QStringLiteral("record"), QStringLiteral("unit")},
                       {QStringLiteral("json")});
    if (!options.parse(args))
        return usageError(options.error());
    if (!options.positional().isEmpty())
        return usageError(QStringLiteral("history takes no arguments besides its options"));
    int count = DefaultCount;
    if (options.isSet(QStringLiteral("last"))) {
        bool ok = false;
        count = options.value(QStringLiteral("last")).toInt(&ok);
        if (!ok || count < 1)
            return usageError(QStringLiteral("--last needs a number of records, 1 or more"));
    }
    const QString path = options.isSet(QStringLiteral("record"))
        ? options.value(QStringLiteral("record"))
        : ServiceRecord::defaultPath();

    const QString unit = options.value(QStringLiteral("unit"));
    if (options.isSet(QStringLiteral("unit")) && unit.isEmpty())
        return usageError(QStringLiteral("--unit needs a unit ID"));
    const ServiceRecordReader::Result result = ServiceRecordReader::latest(
        path, count,
        unit.isEmpty() ? std::function<bool(const TransferRecord &)>()
                       : [unit](const TransferRecord &r) { return r.unitId == unit; });
    if (!result.error.isEmpty())
        return usageError(result.error);
    if (result.skippedLines > 0)
        printErr(QStringLiteral("brasvik-cli: skipped %1 line(s) of %2 that hold no record")
                     .arg(result.skippedLines)
                     .arg(path));
    if (result.records.isEmpty()) {
        printErr(QStringLiteral("brasvik-cli: no transfers on record in %1").arg(path));
        return ExitSuccess;
    }
    if (options.isSet(QStringLiteral("json"))) {
        for (const TransferRecord &record : result.records) {
            QJsonObject object = record.toJson();
            if (record.deviceType == DeviceKind::None)
                object.insert(QStringLiteral("device_type"), QString());
            printOut(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
        }
    } else {
        printTable(result.records);
    }
    return ExitSuccess;
}
