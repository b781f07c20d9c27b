#include "transfer/ServiceRecord.h"
#include "transfer/ServiceRecordListener.h"
#include "transfer/ServiceRecordReader.h"
#include "transfer/ServiceRecordWriter.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/file.h>

Q_DECLARE_METATYPE(TransferRecord)

// The service record file: line format, appending from several processes, rotation, reading the
// latest records back from the end, and records that cannot be written.
class tst_ServiceRecord : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void roundTrip_data();
    void roundTrip();
    void foreignLinesAreNoRecords_data();
    void foreignLinesAreNoRecords();
    void paths_data();
    void paths();
    void defaultPathFollowsXdgStateHome_data();
    void defaultPathFollowsXdgStateHome();
    void startAndEndLinesMergeById();
    void truncatedAndGarbageLinesAreSkipped();
    void tornLineDoesNotSwallowTheNextRecord();
    void linesAcrossReadChunks();
    void rotation();
    void unwritableRecordIsReportedOnce_data();
    void unwritableRecordIsReportedOnce();
    void processesAppendingAtOnce_data();
    void processesAppendingAtOnce();
    void latestForPort();
    void listenerWritesStartAndEnd();

private:
    QString file(const QString &name = QStringLiteral("transfers.jsonl")) const
    {
        return QDir(m_dir->path()).filePath(name);
    }
    static QStringList idsOf(const QList<TransferRecord> &records);
    static QList<QByteArray> linesOf(const QString &path);

    std::unique_ptr<QTemporaryDir> m_dir;
};

namespace {

TransferRecord record(const QString &id, TransferOutcome outcome = TransferOutcome::Success,
                      const QString &port = QStringLiteral("/dev/ttyS0"))
{
    TransferRecord r;
    r.id = id;
    r.toolVersion = QStringLiteral("6.0.0");
    r.portPath = port;
    r.portName = QStringLiteral("COM1");
    r.started = QDateTime(QDate(2024, 5, 2), QTime(10, 14, 3, 250), Qt::UTC);
    if (outcome != TransferOutcome::Running)
        r.ended = r.started.addSecs(62);
    r.outcome = outcome;
    return r;
}

} // namespace

void tst_ServiceRecord::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

QStringList tst_ServiceRecord::idsOf(const QList<TransferRecord> &records)
{
    QStringList ids;
    for (const TransferRecord &r : records)
        ids.append(r.id + u':' + TransferRecord::outcomeName(r.outcome));
    return ids;
}

QList<QByteArray> tst_ServiceRecord::linesOf(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> lines = f.readAll().split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

void tst_ServiceRecord::roundTrip_data()
{
    QTest::addColumn<TransferRecord>("record");

    TransferRecord download = record(QStringLiteral("8d1f6a52-0b8e-4a57-9d8c-3f1f2f5b7a10"));
    download.interfaceName = QStringLiteral("rs232");
    download.lineRate = 57600;
    download.imageFile = QStringLiteral("/home/tech/images/os 4.2.h86");
    download.imageSha256 = QByteArray(32, '\xA5');
    download.firstSector = 0;
    download.endSector = 12;
    download.startAddress = 0;
    download.endAddress = 0xC0000;
    download.loaderFile = QStringLiteral("H86/DLoader.H86");
    download.programFile = QStringLiteral("H86/Download.H86");
    download.bytes = download.totalBytes = 786432;
    download.blocks = 24576;
    download.modalResult = 1;
    download.reportText
        = QStringLiteral("Flash programming successful:\n\n786432 bytes programmed");
    QTest::newRow("successful download") << download;

    TransferRecord failed = record(QStringLiteral("f-1"), TransferOutcome::Failed);
    failed.operation = TransferOperation::Upload;
    failed.deviceType = DeviceKind::Board4610;
    failed.interfaceName = QStringLiteral("can2");
    failed.canBitRate = 500;
    failed.retain = true;
    failed.hasFailure = true;
    failed.failedPhase = TransferPhase::Data;
    failed.failedSector = 18;
    failed.failedAddress = 0xFFFE0;
    failed.blocksResent = 3;
    failed.endAddress = 0xFFFFFFFF; // the top of the unsigned range
    failed.reportText = QStringLiteral("Flash reading aborted:\r\n\r\n\"TIMEOUT\" \\ \t ü €");
    QTest::newRow("failed upload with failure point") << failed;

    QTest::newRow("start line") << record(QStringLiteral("s-1"), TransferOutcome::Running);

    TransferRecord compare = record(QStringLiteral("c-1"), TransferOutcome::Aborted);
    compare.operation = TransferOperation::Compare;
    compare.hasFailure = true;
    compare.failedPhase = TransferPhase::BootPrompt;
    QTest::newRow("aborted compare, no sector") << compare;
}

void tst_ServiceRecord::roundTrip()
{
    QFETCH(TransferRecord, record);
    const QByteArray line = ServiceRecord::toLine(record);
    QCOMPARE(line.count('\n'), 1);
    QVERIFY(line.endsWith('\n'));
    const std::optional<TransferRecord> back = ServiceRecord::fromLine(line);
    QVERIFY(back);
    QCOMPARE(back->toJson(), record.toJson());
    QCOMPARE(back->reportText, record.reportText);
    QCOMPARE(back->started, record.started); // milliseconds survive
    QCOMPARE(back->imageSha256, record.imageSha256);
    QCOMPARE(back->endAddress, record.endAddress);
    QCOMPARE(back->failedSector, record.failedSector);

    // And through the file.
    ServiceRecordWriter writer(file());
    QVERIFY(writer.append(record));
    const ServiceRecordReader::Result read = ServiceRecordReader::latest(file(), 5);
    QCOMPARE(read.records.size(), 1);
    QCOMPARE(read.records.first().toJson(), record.toJson());
}

void tst_ServiceRecord::foreignLinesAreNoRecords_data()
{
    QTest::addColumn<QByteArray>("line");
    const QByteArray good = ServiceRecord::toLine(record(QStringLiteral("x")));
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("blank") << QByteArray("   \n");
    QTest::newRow("torn") << good.left(good.size() / 2);
    QTest::newRow("torn just before the brace") << good.left(good.size() - 2);
    QTest::newRow("text") << QByteArray("Flash programming successful:\n");
    QTest::newRow("array") << QByteArray("[1,2,3]\n");
    QTest::newRow("no id") << QByteArray("{\"operation\":\"download\"}\n");
    QTest::newRow("empty id") << QByteArray("{\"id\":\"\"}\n");
    QTest::newRow("numeric id") << QByteArray("{\"id\":7}\n");
    QTest::newRow("binary") << QByteArray("{\x00\xff\x01", 4);
}

void tst_ServiceRecord::foreignLinesAreNoRecords()
{
    QFETCH(QByteArray, line);
    QVERIFY(!ServiceRecord::fromLine(line));
}

void tst_ServiceRecord::paths_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("rotated");
    QTest::newRow("default name") << "/s/Halvero/BrasvikV6/transfers.jsonl"
                                  << "/s/Halvero/BrasvikV6/transfers.1.jsonl";
    QTest::newRow("no suffix") << "/tmp/record"
                               << "/tmp/record.1";
    QTest::newRow("dot in the folder") << "/tmp/a.b/record"
                                       << "/tmp/a.b/record.1";
    QTest::newRow("hidden file") << "/tmp/.record"
                                 << "/tmp/.record.1";
    QTest::newRow("relative") << "log.jsonl"
                              << "log.1.jsonl";
}

void tst_ServiceRecord::paths()
{
    QFETCH(QString, path);
    QFETCH(QString, rotated);
    QCOMPARE(ServiceRecord::rotatedPath(path), rotated);
}

void tst_ServiceRecord::defaultPathFollowsXdgStateHome_data()
{
    QTest::addColumn<QByteArray>("stateHome");
    QTest::addColumn<QString>("expected");
    const QString home = QDir::homePath() + QStringLiteral("/.local/state");
    QTest::newRow("set") << QByteArray("/var/tmp/state/") << "/var/tmp/state";
    QTest::newRow("unset") << QByteArray() << home;
    QTest::newRow("relative is ignored") << QByteArray("state") << home;
}

void tst_ServiceRecord::defaultPathFollowsXdgStateHome()
{
    QFETCH(QByteArray, stateHome);
    QFETCH(QString, expected);
    const QByteArray previous = qgetenv("XDG_STATE_HOME");
    const bool had = qEnvironmentVariableIsSet("XDG_STATE_HOME");
    if (stateHome.isEmpty())
        qunsetenv("XDG_STATE_HOME");
    else
        qputenv("XDG_STATE_HOME", stateHome);
    const QString path = ServiceRecord::defaultPath();
    if (had)
        qputenv("XDG_STATE_HOME", previous);
    else
        qunsetenv("XDG_STATE_HOME");
    QCOMPARE(path, expected + QStringLiteral("/Halvero/BrasvikV6/transfers.jsonl"));
}

void tst_ServiceRecord::startAndEndLinesMergeById()
{
    // Two transfers overlap (two ports), a third never wrote its end (power loss).
    ServiceRecordWriter writer(file(QStringLiteral("deep/er/transfers.jsonl")));
    QVERIFY(writer.append(record(QStringLiteral("a"), TransferOutcome::Running)));
    QVERIFY(writer.append(record(QStringLiteral("b"), TransferOutcome::Running)));
    QVERIFY(writer.append(record(QStringLiteral("b"), TransferOutcome::Failed)));
    QVERIFY(writer.append(record(QStringLiteral("a"), TransferOutcome::Success)));
    QVERIFY(writer.append(record(QStringLiteral("c"), TransferOutcome::Running)));
    QCOMPARE(linesOf(writer.path()).size(), 5);

    const auto latest = [&](int n) {
        return idsOf(ServiceRecordReader::latest(writer.path(), n).records);
    };
    QCOMPARE(latest(10), QStringList({"b:failed", "a:success", "c:running"}));
    QCOMPARE(latest(2), QStringList({"a:success", "c:running"}));
    QCOMPARE(latest(1), QStringList({"c:running"}));
    QCOMPARE(latest(0), QStringList());

    const ServiceRecordReader::Result missing = ServiceRecordReader::latest(file("none"), 3);
    QVERIFY(missing.records.isEmpty());
    QVERIFY(missing.error.isEmpty());
}

void tst_ServiceRecord::truncatedAndGarbageLinesAreSkipped()
{
    QFile f(file());
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(ServiceRecord::toLine(record(QStringLiteral("a"))));
    f.write("garbage in the middle\n\n");
    f.write(ServiceRecord::toLine(record(QStringLiteral("b"))));
    const QByteArray torn = ServiceRecord::toLine(record(QStringLiteral("c")));
    f.write(torn.left(torn.size() / 3)); // the program died mid-write
    f.close();

    const ServiceRecordReader::Result read = ServiceRecordReader::latest(file(), 10);
    QCOMPARE(idsOf(read.records), QStringList({"a:success", "b:success"}));
    QCOMPARE(read.skippedLines, 2);
    QVERIFY(read.error.isEmpty());
}

void tst_ServiceRecord::tornLineDoesNotSwallowTheNextRecord()
{
    QFile f(file());
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(ServiceRecord::toLine(record(QStringLiteral("a"))));
    f.write(ServiceRecord::toLine(record(QStringLiteral("b"))).left(40));
    f.close();

    ServiceRecordWriter writer(file());
    QVERIFY(writer.append(record(QStringLiteral("c"))));
    QVERIFY(writer.append(record(QStringLiteral("d"))));
    const ServiceRecordReader::Result read = ServiceRecordReader::latest(file(), 10);
    QCOMPARE(idsOf(read.records), QStringList({"a:success", "c:success", "d:success"}));
    QCOMPARE(read.skippedLines, 1);
}

void tst_ServiceRecord::linesAcrossReadChunks()
{
    // Lines of many lengths put line ends on both sides of every 64 KiB read boundary; one
    // overlong garbage line (no record is that long) sits in the middle.
    QFile f(file());
    QVERIFY(f.open(QIODevice::WriteOnly));
    QStringList written;
    for (int i = 0; i < 900; ++i) {
        TransferRecord r = record(QStringLiteral("r%1").arg(i));
        r.reportText = QString(i * 37 % 1500, u'x');
        f.write(ServiceRecord::toLine(r));
        written.append(r.id + QStringLiteral(":success"));
        if (i == 450)
            f.write(QByteArray(3 * 1024 * 1024, 'g') + '\n');
    }
    f.close();

    const ServiceRecordReader::Result read = ServiceRecordReader::latest(file(), 10000);
    QCOMPARE(idsOf(read.records), written);
    QCOMPARE(read.skippedLines, 1);
    QCOMPARE(idsOf(ServiceRecordReader::latest(file(), 3).records), written.mid(897));
}

void tst_ServiceRecord::rotation()
{
    const qint64 limit = 4000;
    const qint64 lineSize = ServiceRecord::toLine(record(QStringLiteral("r00"))).size();
    ServiceRecordWriter writer(file(), limit);
    QStringList all;
    for (int i = 0; i < 30; ++i) {
        QVERIFY(writer.append(record(QStringLiteral("r%1").arg(i, 2, 10, QLatin1Char('0')))));
        all.append(QStringLiteral("r%1:success").arg(i, 2, 10, QLatin1Char('0')));
        QVERIFY(QFileInfo(file()).size() <= limit);
    }
    const QString rotated = file(QStringLiteral("transfers.1.jsonl"));
    QVERIFY(QFileInfo(rotated).size() <= limit);
    QVERIFY(QFileInfo(rotated).size() > limit - lineSize);
    // Rotated more than once: the older rotated file was replaced, not appended to.
    const int perFile = int(limit / lineSize);
    QVERIFY(2 * perFile < 30);
    QCOMPARE(linesOf(rotated).size(), perFile);
    QCOMPARE(linesOf(file()).size(), (30 - 1) % perFile + 1);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files).size(), 2);

    // Reading goes on into the rotated file for more than the current one holds.
    const int kept = int(linesOf(file()).size() + linesOf(rotated).size());
    QCOMPARE(idsOf(ServiceRecordReader::latest(file(), 100).records), all.mid(30 - kept));
}

void tst_ServiceRecord::unwritableRecordIsReportedOnce_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::newRow("parent is a regular file") << "file-as-parent";
    QTest::newRow("folder in place of the file") << "folder";
    QTest::newRow("locked by another program") << "locked";
    QTest::newRow("not a regular file") << "device";
}

void tst_ServiceRecord::unwritableRecordIsReportedOnce()
{
    QFETCH(QString, obstacle);
    QString path = file();
    QFile holder(path); // keeps the lock for "locked"
    if (obstacle == QLatin1String("file-as-parent")) {
        QFile plain(file(QStringLiteral("plain")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        path = file(QStringLiteral("plain/Halvero/transfers.jsonl"));
    } else if (obstacle == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(path));
    } else if (obstacle == QLatin1String("locked")) {
        QVERIFY(holder.open(QIODevice::WriteOnly));
        QCOMPARE(::flock(holder.handle(), LOCK_EX), 0);
    } else {
        path = QStringLiteral("/dev/null");
    }

    ServiceRecordWriter writer(path);
    writer.setLockTimeoutMs(50);
    QStringList reports;
    writer.setErrorHandler([&](const QString &message) { reports.append(message); });
    QVERIFY(!writer.append(record(QStringLiteral("a"), TransferOutcome::Running)));
    QVERIFY(!writer.append(record(QStringLiteral("a"))));
    QCOMPARE(reports.size(), 1);
    QVERIFY2(reports.first().contains(path), qPrintable(reports.first()));
    QVERIFY(!writer.lastError().isEmpty());
    if (obstacle == QLatin1String("locked")) {
        QVERIFY(reports.first().contains(QLatin1String("locked")));
        QCOMPARE(holder.size(), 0);
        holder.close(); // the lock goes with it; the next line gets through, unreported
        QVERIFY(writer.append(record(QStringLiteral("b"))));
        QVERIFY(writer.lastError().isEmpty());
        QCOMPARE(reports.size(), 1);
    }
}

void tst_ServiceRecord::processesAppendingAtOnce_data()
{
    QTest::addColumn<qint64>("rotateBytes");
    QTest::newRow("one file") << ServiceRecord::DefaultRotateBytes;
    // Each appender writes about 0.5 MB; both race to rotate once half-way.
    QTest::newRow("racing to rotate") << qint64(700 * 1000);
}

void tst_ServiceRecord::processesAppendingAtOnce()
{
    QFETCH(qint64, rotateBytes);
    constexpr int PerProcess = 500;
    const QStringList tags {QStringLiteral("p"), QStringLiteral("q")};
    std::vector<std::unique_ptr<QProcess>> processes;
    for (const QString &tag : tags) {
        auto p = std::make_unique<QProcess>();
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(QStringLiteral(SERVICERECORD_APPENDER),
                 {file(), QString::number(PerProcess), tag, QString::number(rotateBytes)});
        QVERIFY(p->waitForStarted());
        processes.push_back(std::move(p));
    }
    for (auto &p : processes)
        p->write("go\n");
    for (auto &p : processes) {
        QVERIFY(p->waitForFinished(120000));
        QCOMPARE(p->exitStatus(), QProcess::NormalExit);
        QCOMPARE(p->exitCode(), 0);
    }

    QList<QByteArray> lines = linesOf(file());
    const bool rotated = rotateBytes < ServiceRecord::DefaultRotateBytes;
    QCOMPARE(QFileInfo::exists(file(QStringLiteral("transfers.1.jsonl"))), rotated);
    if (rotated) {
        QVERIFY(QFileInfo(file(QStringLiteral("transfers.1.jsonl"))).size() <= rotateBytes);
        lines = linesOf(file(QStringLiteral("transfers.1.jsonl"))) + lines;
    }
    QCOMPARE(lines.size(), PerProcess * int(tags.size()));
    QHash<QString, int> next; // each process's records arrive in its own order
    for (const QByteArray &line : lines) {
        const std::optional<TransferRecord> r = ServiceRecord::fromLine(line);
        QVERIFY2(r, line.left(80).constData());
        const QString tag = r->id.section(u'-', 0, 0);
        const int n = r->id.section(u'-', 1).toInt();
        QCOMPARE(n, next.value(tag));
        next[tag] = n + 1;
        QCOMPARE(r->reportText.size(), 400 + n % 300);
    }
    QCOMPARE(next.value(QStringLiteral("p")), PerProcess);
    QCOMPARE(next.value(QStringLiteral("q")), PerProcess);
}

void tst_ServiceRecord::latestForPort()
{
    // Four lines to a file: "old0" and the first three on ttyS1 go to the rotated file.
    const qint64 lineSize = ServiceRecord::toLine(record(QStringLiteral("s1-0"))).size();
    ServiceRecordWriter writer(file(), 4 * lineSize);
    QVERIFY(writer.append(
        record(QStringLiteral("old0"), TransferOutcome::Failed, QStringLiteral("/dev/ttyS0"))));
    for (int i = 0; i < 4; ++i)
        QVERIFY(writer.append(record(QStringLiteral("s1-%1").arg(i), TransferOutcome::Success,
                                     QStringLiteral("/dev/ttyS1"))));
    QVERIFY(QFileInfo::exists(file(QStringLiteral("transfers.1.jsonl"))));

    // Found in the rotated file when the current one has nothing for the port.
    std::optional<TransferRecord> found = ServiceRecordReader::latestForPort(file(), "/dev/ttyS0");
    QVERIFY(found);
    QCOMPARE(found->id, QStringLiteral("old0"));

    // The start line of a transfer that never ended is the latest word on that port.
    QVERIFY(writer.append(
        record(QStringLiteral("new0"), TransferOutcome::Running, QStringLiteral("/dev/ttyS0"))));
    found = ServiceRecordReader::latestForPort(file(), "/dev/ttyS0");
    QVERIFY(found);
    QCOMPARE(found->id, QStringLiteral("new0"));
    QCOMPARE(found->outcome, TransferOutcome::Running);
    QVERIFY(writer.append(
        record(QStringLiteral("new0"), TransferOutcome::Failed, QStringLiteral("/dev/ttyS0"))));
    QCOMPARE(ServiceRecordReader::latestForPort(file(), "/dev/ttyS0")->outcome,
             TransferOutcome::Failed);
    QCOMPARE(ServiceRecordReader::latestForPort(file(), "/dev/ttyS1")->id, QStringLiteral("s1-3"));
    QVERIFY(!ServiceRecordReader::latestForPort(file(), "/dev/ttyUSB0"));
}

void tst_ServiceRecord::listenerWritesStartAndEnd()
{
    ServiceRecordListener listener {ServiceRecordWriter(file())};
    QSignalSpy errors(&listener, &ServiceRecordListener::recordError);

    TransferEvent started;
    started.kind = TransferEvent::Kind::Started;
    started.record.portPath = QStringLiteral("/dev/ttyS0");
    started.record.totalBytes = 100;
    listener.onEvent(started); // no id, no times: the listener fills them in
    TransferEvent progress;
    progress.kind = TransferEvent::Kind::Progress;
    progress.bytes = 50;
    listener.onEvent(progress);
    TransferEvent finished;
    finished.kind = TransferEvent::Kind::Finished;
    finished.record = started.record;
    finished.record.outcome = TransferOutcome::Failed;
    listener.onEvent(finished);

    const QList<QByteArray> lines = linesOf(file());
    QCOMPARE(lines.size(), 2);
    const auto start = ServiceRecord::fromLine(lines.at(0));
    const auto end = ServiceRecord::fromLine(lines.at(1));
    QVERIFY(start && end);
    QVERIFY(!start->id.isEmpty());
    QCOMPARE(end->id, start->id);
    QCOMPARE(start->outcome, TransferOutcome::Running);
    QCOMPARE(end->outcome, TransferOutcome::Failed);
    QVERIFY(start->started.isValid() && end->ended.isValid());
    QCOMPARE(start->toolVersion, QStringLiteral(BRASVIK_VERSION));
    QCOMPARE(errors.size(), 0);

    // A file that cannot be written: one signal, however many transfers follow.
    ServiceRecordListener broken {ServiceRecordWriter(m_dir->path())};
    QSignalSpy brokenErrors(&broken, &ServiceRecordListener::recordError);
    for (int i = 0; i < 3; ++i) {
        broken.onEvent(started);
        broken.onEvent(finished);
    }
    QCOMPARE(brokenErrors.size(), 1);
}

QTEST_GUILESS_MAIN(tst_ServiceRecord)
#include "tst_servicerecord.moc"
