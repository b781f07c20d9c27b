#include "transfer/ResumePoint.h"
#include "transfer/ServiceRecord.h"
#include "transfer/ServiceRecordWriter.h"

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
                                         << "the last transfer on /dev/ttyUSB0 (%1) stopped "
                                            "before programming began (data)";
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

QTEST_GUILESS_MAIN(tst_ResumePoint)
#include "tst_resumepoint.moc"
