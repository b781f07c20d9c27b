#include "transfer/ResumePoint.h"
#include "transfer/ServiceRecord.h"
#include "transfer/ServiceRecordWriter.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(TransferRecord)

// Where a failed download may go on: what the record stores for it, and which record of the
// service record the decision reads.
class tst_ResumePoint : public QObject
{
    Q_OBJECT
private slots:
    void recordFields_data();
    void recordFields();
    void latestTransferOnThePortDecides_data();
    void latestTransferOnThePortDecides();
    void unusableRecordsAreRefused_data();
    void unusableRecordsAreRefused();
};

namespace {

const QByteArray Sha = QByteArray(32, '\x42');
const QString Port = QStringLiteral("/dev/ttyUSB0");

TransferRecord failedAt(qint32 sector, const QString &id, const QString &port = Port)
{
    TransferRecord r;
    r.id = id;
    r.portPath = port;
    r.imageSha256 = Sha;
    r.started = QDateTime(QDate(2024, 5, 2), QTime(9, 0), Qt::UTC);
    r.ended = r.started.addSecs(60);
    r.outcome = TransferOutcome::Failed;
    r.hasFailure = true;
    r.failedPhase = TransferPhase::Data;
    r.failedSector = sector;
    r.resumeSector = sector;
    return r;
}

} // namespace

void tst_ResumePoint::recordFields_data()
{
    QTest::addColumn<bool>("failed");
    QTest::addColumn<int>("resumeSector");
    QTest::addColumn<int>("resumedFrom");
    QTest::addColumn<QByteArray>("json"); // the two fields as the line has them
    QTest::newRow("failure in programming")
        << true << 12 << -1 << QByteArray("\"resume_sector\":12,\"resumed_from_sector\":null");
    QTest::newRow("resumed and failed again")
        << true << 14 << 12 << QByteArray("\"resume_sector\":14,\"resumed_from_sector\":12");
    // A sector kept up to date while blocks went out means nothing once the download succeeded.
    QTest::newRow("success") << false << 18 << 12
                             << QByteArray("\"resume_sector\":null,\"resumed_from_sector\":12");
    QTest::newRow("failure before programming")
        << true << -1 << -1 << QByteArray("\"resume_sector\":null,\"resumed_from_sector\":null");
}

void tst_ResumePoint::recordFields()
{
    QFETCH(bool, failed);
    QFETCH(int, resumeSector);
    QFETCH(int, resumedFrom);
    TransferRecord r = failedAt(resumeSector, QStringLiteral("a"));
    r.hasFailure = failed;
    r.outcome = failed ? TransferOutcome::Failed : TransferOutcome::Success;
    r.resumedFromSector = resumedFrom;
    const QByteArray line = ServiceRecord::toLine(r);
    QFETCH(QByteArray, json);
    QVERIFY2(line.contains(json), line.constData());
    const std::optional<TransferRecord> back = ServiceRecord::fromLine(line);
    QVERIFY(back);
    QCOMPARE(back->resumeSector, failed ? resumeSector : -1);
    QCOMPARE(back->resumedFromSector, resumedFrom);
}

void tst_ResumePoint::latestTransferOnThePortDecides_data()
{
    QTest::addColumn<QList<TransferRecord>>("records"); // oldest first
    QTest::addColumn<int>("sector");
    QTest::addColumn<QString>("reason");
    const TransferRecord failed = failedAt(12, QStringLiteral("f"));
    TransferRecord succeeded = failedAt(-1, QStringLiteral("s"));
    succeeded.outcome = TransferOutcome::Success;
    succeeded.hasFailure = false;
    TransferRecord started = failedAt(-1, QStringLiteral("s"));
    started.outcome = TransferOutcome::Running;
    started.hasFailure = false;

    QTest::newRow("failure is the latest") << QList<TransferRecord> {succeeded, failed} << 12 << "";
    QTest::newRow("another port's later transfer does not count")
        << QList<TransferRecord> {failed, failedAt(3, QStringLiteral("o"), "/dev/ttyS0")} << 12
        << "";
    QTest::newRow("a later success on the port")
        << QList<TransferRecord> {failed, succeeded} << -1
        << "the last transfer on /dev/ttyUSB0 (%1) succeeded; there is nothing to resume";
    // The end line of a transfer wins over its start line.
    QTest::newRow("start and end of the failure")
        << QList<TransferRecord> {started, failedAt(5, QStringLiteral("s"))} << 5 << "";
    QTest::newRow("past the sector map") << QList<TransferRecord> {failedAt(19, "x")} << -1
                                         << "the last transfer on /dev/ttyUSB0 (%1) is not "
                                            "usable: its resume_sector 19 is past the last "
                                            "sector (18)";
    QTest::newRow("nothing") << QList<TransferRecord>() << -1
                             << "no transfer on /dev/ttyUSB0 is on record";
}

void tst_ResumePoint::latestTransferOnThePortDecides()
{
    QFETCH(QList<TransferRecord>, records);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("t.jsonl"));
    ServiceRecordWriter writer(file);
    for (const TransferRecord &r : records)
        QVERIFY(writer.append(r));
    const ResumePoint::Decision d = ResumePoint::lookup(file, Port, Sha, DeviceKind::Device46xx);
    QTEST(d.sector, "sector");
    QFETCH(QString, reason);
    if (reason.contains(QLatin1String("%1")))
        reason = reason.arg(ResumePoint::timeText(records.last().ended));
    QCOMPARE(d.reason, reason);
}

void tst_ResumePoint::unusableRecordsAreRefused_data()
{
    QTest::addColumn<QJsonObject>("edit"); // fields of the end line replaced (null: removed)
    QTest::addColumn<int>("sector");
    QTest::addColumn<QString>("why"); // after "is not usable: "
    const auto edit = [](const char *key, const QJsonValue &value) {
        return QJsonObject {{QLatin1String(key), value}};
    };
    // The fixture failed in sector 5 after 1500 bytes; the image has 300 bytes per sector.
    QTest::newRow("as written") << QJsonObject() << 5 << "";
    QTest::newRow("resume edited past the failure")
        << edit("resume_sector", 7) << -1 << "its resume_sector 7 lies beyond its failed_sector 5";
    QTest::newRow("beyond the bytes programmed")
        << edit("bytes", 1499) << -1
        << "its resume_sector 5 lies beyond what its 1499 bytes programmed cover";
    QTest::newRow("resume is text")
        << edit("resume_sector", "5") << -1 << "its resume_sector is not a sector number";
    QTest::newRow("resume is negative")
        << edit("resume_sector", -4) << -1 << "its resume_sector is not a sector number";
    QTest::newRow("no device type")
        << edit("device_type", QJsonValue::Null) << -1 << "its device type is missing or unknown";
    QTest::newRow("unknown device type")
        << edit("device_type", "47xx") << -1 << "its device type is missing or unknown";
    QTest::newRow("no operation") << edit("operation", QJsonValue::Null) << -1
                                  << "it names no operation";
}

void tst_ResumePoint::unusableRecordsAreRefused()
{
    QFETCH(QJsonObject, edit);
    TransferRecord failed = failedAt(5, QStringLiteral("e"));
    failed.bytes = 1500;
    QJsonObject line = QJsonDocument::fromJson(ServiceRecord::toLine(failed)).object();
    for (auto it = edit.begin(); it != edit.end(); ++it) {
        if (it.value().isNull())
            line.remove(it.key());
        else
            line.insert(it.key(), it.value());
    }
    const std::optional<TransferRecord> read
        = ServiceRecord::fromLine(QJsonDocument(line).toJson(QJsonDocument::Compact));
    QVERIFY(read);
    const auto perSector = [](qint32 from, qint32 to) {
        return qint64(to - from) * 300;
    };
    const ResumePoint::Decision d
        = ResumePoint::decide(read, Port, Sha, DeviceKind::Device46xx, perSector);
    QTEST(d.sector, "sector");
    QFETCH(QString, why);
    if (!why.isEmpty()) {
        why = QStringLiteral("the last transfer on /dev/ttyUSB0 (%1) is not usable: ")
                  .arg(ResumePoint::timeText(failed.ended))
            + why;
    }
    QCOMPARE(d.reason, why);
}

QTEST_GUILESS_MAIN(tst_ResumePoint)
#include "tst_resumepoint.moc"
