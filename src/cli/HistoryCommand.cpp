#include "cli/CliCommand.h"
#include "cli/CliOptions.h"
#include "transfer/ServiceRecord.h"
#include "transfer/ServiceRecordReader.h"
#include "transfer/TransferRate.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
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

// The table fits a terminal 80 columns wide: a long port path or image name is shortened in
// its middle (--json keeps them whole), and the result comes last, unpadded, so that only a
// row with a long result runs past the edge.
constexpr qsizetype TableWidth = 80;
constexpr qsizetype ShortestElided = 12; // "/dev/ttyUSB0" stays whole
constexpr qsizetype ResultRoom = 10; // "unfinished"

QString elided(const QString &text, qsizetype width)
{
    if (text.size() <= width)
        return text;
    const qsizetype head = (width - 1) / 2;
    return text.left(head) + QChar(0x2026) + text.right(width - 1 - head);
}

void printTable(const QList<TransferRecord> &records)
{
    enum Column { Date, Operation, Device, Port, Unit, Image, Time, Result, Columns };
    using Row = std::array<QString, Columns>;
    QList<Row> rows;
    rows.append({QStringLiteral("Date"), QStringLiteral("Operation"), QStringLiteral("Device"),
                 QStringLiteral("Port"), QStringLiteral("Unit"), QStringLiteral("Image"),
                 QStringLiteral("Time"), QStringLiteral("Result")});
    for (qsizetype i = 0; i < records.size(); ++i) {
        const TransferRecord &r = records.at(i);
        rows.append({
            r.started.isValid()
                ? r.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"))
                : QStringLiteral("-"),
            operationText(r),
            deviceText(r),
            // The device the transfer went through; the COM name may only be the slot that
            // --port PATH borrowed.
            orDash(r.portPath.isEmpty() ? r.portName : r.portPath),
            orDash(r.unitId),
            orDash(QFileInfo(r.imageFile).fileName()),
            usedTime(r),
            resultText(r, records.first(i)),
        });
    }
    // The unit's column only where a transfer names its unit.
    const bool units = std::any_of(records.cbegin(), records.cend(),
                                   [](const TransferRecord &r) { return !r.unitId.isEmpty(); });
    const auto shown = [units](int c) {
        return c != Unit || units;
    };
    std::array<qsizetype, Columns> width {};
    for (const Row &row : rows) {
        for (int c = 0; c < Columns; ++c)
            width[c] = std::max(width[c], row[c].size());
    }
    const auto tableWidth = [&width, &shown] {
        qsizetype total = std::min(width[Result], ResultRoom);
        for (int c = 0; c < Result; ++c)
            total += shown(c) ? width[c] + 2 : 0;
        return total;
    };
    while (tableWidth() > TableWidth) {
        Column wider = width[Image] >= width[Port] ? Image : Port;
        if (units && width[Unit] > width[wider])
            wider = Unit;
        if (width[wider] <= ShortestElided)
            break;
        --width[wider];
    }
    for (const Row &row : rows) {
        QString line;
        for (int c = 0; c < Result; ++c) {
            if (shown(c))
                line += elided(row[c], width[c]).leftJustified(width[c] + 2);
        }
        printOut(line + row[Result]);
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
