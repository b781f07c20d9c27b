#include "support/CliProcess.h"
#include "transfer/ServiceRecordWriter.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

// brasvik-cli history: the table and the JSON lines of the latest records, and its refusals.
class tst_CliHistory : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void table();
    void longNamesFitTheTerminal();
    void latestN_data();
    void latestN();
    void jsonLines();
    void defaultLocation();
    void nothingOnRecord();
    void garbageLinesAreSkipped();
    void oddFieldsAreShownSafely();
    void partialDownloads();
    void comparesThatDiffer();
    void refusals_data();
    void refusals();

private:
    using Run = CliRun;
    Run cli(const QStringList &args, const QString &stateHome = {});
    // The table's lines for `records` in a record file `name` (none when anything failed).
    QStringList tableOf(const QString &name, const QList<TransferRecord> &records);

    QTemporaryDir m_dir;
    QString m_file;
    QList<TransferRecord> m_records; // as the file ends up holding them, oldest first
};

namespace {

QDateTime at(int hour, int minute, int second)
{
    return QDateTime(QDate(2024, 5, 2), QTime(hour, minute, second), Qt::UTC);
}

} // namespace

void tst_CliHistory::initTestCase()
{
    QVERIFY(QFileInfo(cliPath()).isExecutable());
    QVERIFY(m_dir.isValid());
    m_file = QDir(m_dir.path()).filePath(QStringLiteral("transfers.jsonl"));

    TransferRecord download;
    download.id = QStringLiteral("a");
    download.portName = QStringLiteral("COM1");
    download.portPath = QStringLiteral("/dev/ttyS0");
    download.imageFile = QStringLiteral("/home/tech/os.h86");
    download.started = at(10, 14, 3);
    TransferRecord upload;
    upload.id = QStringLiteral("b");
    upload.operation = TransferOperation::Upload;
    upload.deviceType = DeviceKind::Board4610;
    upload.portPath = QStringLiteral("/dev/ttyUSB0");
    upload.started = at(11, 0, 0);
    upload.ended = at(11, 0, 5);
    upload.outcome = TransferOutcome::Failed;
    TransferRecord compare;
    compare.id = QStringLiteral("c");
    compare.operation = TransferOperation::Compare;
    compare.portName = QStringLiteral("COM2");
    compare.imageFile = QStringLiteral("cmp.b86");
    compare.started = at(12, 30, 59);

    ServiceRecordWriter writer(m_file);
    QVERIFY(writer.append(download)); // start line
    download.ended = download.started.addSecs(62);
    download.outcome = TransferOutcome::Success;
    QVERIFY(writer.append(download)); // end line
    QVERIFY(writer.append(upload));
    QVERIFY(writer.append(compare)); // no end line: still running, or the program died
    m_records = {download, upload, compare};
}

tst_CliHistory::Run tst_CliHistory::cli(const QStringList &args, const QString &stateHome)
{
    CliRunOptions options;
    options.environment = QProcessEnvironment::systemEnvironment();
    options.environment.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
    options.environment.insert(QStringLiteral("XDG_STATE_HOME"),
                               stateHome.isEmpty()
                                   ? QDir(m_dir.path()).filePath(QStringLiteral("unused"))
                                   : stateHome);
    options.timeoutMs = 30000;
    return runCli(QStringList {QStringLiteral("history")} + args, options);
}

QStringList tst_CliHistory::tableOf(const QString &name, const QList<TransferRecord> &records)
{
    const QString path = QDir(m_dir.path()).filePath(name);
    ServiceRecordWriter writer(path);
    for (const TransferRecord &r : records) {
        if (!writer.append(r))
            return {};
    }
    const Run r = cli({QStringLiteral("--record"), path});
    return r.exitCode == 0 ? r.out.split(u'\n', Qt::SkipEmptyParts) : QStringList();
}

void tst_CliHistory::table()
{
    const Run r = cli({QStringLiteral("--record"), m_file});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.err, QString());
    // Columns as wide as their widest cell, two spaces apart, the result last; the start and
    // the end line of "a" are one row, the end winning. The port is the device path, where the
    // record has one.
    const QStringList expected {
        "Date              Operation  Device  Port          Image    Time  Result",
        "2024-05-02 10:14  download   46xx    /dev/ttyS0    os.h86   1:02  success",
        "2024-05-02 11:00  upload     4610    /dev/ttyUSB0  -        0:05  failed",
        "2024-05-02 12:30  compare    46xx    COM2          cmp.b86  -     unfinished",
        "",
    };
    QCOMPARE(r.out.split(u'\n'), expected);
}

void tst_CliHistory::longNamesFitTheTerminal()
{
    TransferRecord r;
    r.id = QStringLiteral("l");
    r.portName = QStringLiteral("COM1");
    r.portPath = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    r.imageFile = QStringLiteral("/home/tech/VMC4650_operating_system_V6.12_release.h86");
    r.started = at(8, 0, 0);
    r.ended = at(8, 1, 2);
    r.outcome = TransferOutcome::Success;
    const QString path = QDir(m_dir.path()).filePath(QStringLiteral("long.jsonl"));
    QVERIFY(ServiceRecordWriter(path).append(r));
    const Run run = cli({QStringLiteral("--record"), path});
    QCOMPARE(run.exitCode, 0);
    const QStringList lines = run.out.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    for (const QString &line : lines)
        QVERIFY2(line.size() <= 80, qPrintable(line));
    // Shortened in the middle: both ends still tell the device and the image apart.
    QVERIFY2(lines.at(1).contains(QRegularExpression(QStringLiteral(
                 "  /dev/\\S*\u2026\\S*port0  VMC\\S*\u2026\\S*\\.h86  1:02  success$"))),
             qPrintable(lines.at(1)));
}

void tst_CliHistory::latestN_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("ids");
    QTest::newRow("default") << QStringList {} << QStringList {"a", "b", "c"};
    QTest::newRow("last 1") << QStringList {"--last", "1"} << QStringList {"c"};
    QTest::newRow("last=2") << QStringList {"--last=2"} << QStringList {"b", "c"};
    QTest::newRow("more than there are")
        << QStringList {"--last", "500"} << QStringList {"a", "b", "c"};
}

void tst_CliHistory::latestN()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, ids);
    const Run r
        = cli(args + QStringList {QStringLiteral("--json"), QStringLiteral("--record"), m_file});
    QCOMPARE(r.exitCode, 0);
    QStringList got;
    for (const QString &line : r.out.split(u'\n', Qt::SkipEmptyParts))
        got.append(QJsonDocument::fromJson(line.toUtf8()).object().value("id").toString());
    QCOMPARE(got, ids);
}

void tst_CliHistory::jsonLines()
{
    const Run r = cli({QStringLiteral("--json"), QStringLiteral("--record"), m_file});
    QCOMPARE(r.exitCode, 0);
    const QStringList lines = r.out.split(u'\n');
    QCOMPARE(lines.size(), m_records.size() + 1);
    QCOMPARE(lines.last(), QString());
    for (qsizetype i = 0; i < m_records.size(); ++i) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(lines.at(i).toUtf8(), &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(doc.object(), m_records.at(i).toJson());
    }
}

void tst_CliHistory::defaultLocation()
{
    QTemporaryDir state;
    const QString dir = QDir(state.path()).filePath(QStringLiteral("Halvero/BrasvikV6"));
    QVERIFY(QDir().mkpath(dir));
    QVERIFY(QFile::copy(m_file, dir + QStringLiteral("/transfers.jsonl")));
    const Run r = cli({QStringLiteral("--last"), QStringLiteral("1")}, state.path());
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.contains(QLatin1String("cmp.b86")), qPrintable(r.out));
    QCOMPARE(r.out.count(u'\n'), 2);
}

void tst_CliHistory::nothingOnRecord()
{
    const QString missing = QDir(m_dir.path()).filePath(QStringLiteral("none.jsonl"));
    for (const bool json : {false, true}) {
        QStringList args {QStringLiteral("--record"), missing};
        if (json)
            args.append(QStringLiteral("--json"));
        const Run r = cli(args);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, QString());
        QVERIFY2(r.err.contains(QLatin1String("no transfers on record")), qPrintable(r.err));
    }
}

void tst_CliHistory::garbageLinesAreSkipped()
{
    const QString path = QDir(m_dir.path()).filePath(QStringLiteral("garbage.jsonl"));
    QVERIFY(QFile::copy(m_file, path));
    QFile f(path);
    QVERIFY(f.open(QIODevice::Append));
    f.write("not a record\n{\"id\":\"d\",\"operation\":\"download\",\"star"); // torn at the end
    f.close();
    const Run r = cli({QStringLiteral("--record"), path});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out.count(u'\n'), 4);
    QVERIFY2(r.err.contains(QLatin1String("skipped 2 line(s)")), qPrintable(r.err));
}

void tst_CliHistory::oddFieldsAreShownSafely()
{
    // No operation, an unknown device type, control characters in the image name.
    const QString path = QDir(m_dir.path()).filePath(QStringLiteral("odd.jsonl"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("{\"id\":\"x\",\"device_type\":\"47xx\",\"started\":\"2024-05-02T09:00:00Z\","
            "\"image_file\":\"/tmp/\\u0001\\u001b\\n.h86\"}\n");
    f.close();
    const Run r = cli({QStringLiteral("--record"), path});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out.split(u'\n').value(1),
             QStringLiteral("2024-05-02 09:00  unknown    unknown  -     "
                            "\\x01\\x1b\\x0a.h86  -     unfinished"));
    QCOMPARE(r.out.count(u'\n'), 2);
}

void tst_CliHistory::partialDownloads()
{
    // A download that failed at sector 17, its resumption there, then one from sector 4 on.
    TransferRecord failed;
    failed.id = QStringLiteral("f");
    failed.portName = QStringLiteral("COM1");
    failed.imageFile = QStringLiteral("/home/tech/os.h86");
    failed.imageSha256 = QByteArray(32, '\x5a');
    failed.started = at(9, 0, 0);
    failed.ended = at(9, 1, 0);
    failed.outcome = TransferOutcome::Failed;
    failed.hasFailure = true;
    failed.resumeSector = 17;
    TransferRecord resumed = failed;
    resumed.id = QStringLiteral("r");
    resumed.started = at(9, 5, 0);
    resumed.ended = at(9, 6, 0);
    resumed.outcome = TransferOutcome::Success;
    resumed.hasFailure = false;
    resumed.resumeSector = -1;
    resumed.resumedFromSector = 17;
    TransferRecord fromSector = resumed;
    fromSector.id = QStringLiteral("s");
    fromSector.started = at(9, 10, 0);
    fromSector.resumedFromSector = 4;

    const QStringList lines
        = tableOf(QStringLiteral("partial.jsonl"), {failed, resumed, fromSector});
    QCOMPARE(lines.size(), 4);
    QVERIFY2(lines.at(1).endsWith(QLatin1String("  failed")), qPrintable(lines.at(1)));
    QVERIFY2(lines.at(2).contains(QLatin1String("success (resumed from sector 17)")),
             qPrintable(lines.at(2)));
    QVERIFY2(lines.at(3).contains(QLatin1String("success (from sector 4)")),
             qPrintable(lines.at(3)));
}

void tst_CliHistory::comparesThatDiffer()
{
    // One as this version records it, one as earlier versions did ("success", not equal).
    TransferRecord different;
    different.id = QStringLiteral("d");
    different.operation = TransferOperation::Compare;
    different.started = at(8, 0, 0);
    different.ended = at(8, 0, 9);
    different.outcome = TransferOutcome::Different;
    different.compared = true;
    different.setCompareRanges({{0x10, 0x11, 2, 0}, {0x20000, 0x20002, 3, 2}}, 5);
    TransferRecord earlier = different;
    earlier.id = QStringLiteral("e");
    earlier.outcome = TransferOutcome::Success;
    // An image that ends inside the compared range: nothing differs before its end.
    TransferRecord shorter = different;
    shorter.id = QStringLiteral("s");
    shorter.compareAddress = 0x50000;
    shorter.setCompareRanges({}, 0);

    const QStringList lines
        = tableOf(QStringLiteral("differ.jsonl"), {different, earlier, shorter});
    QCOMPARE(lines.size(), 4);
    for (const QString &line : lines.mid(1, 2))
        QVERIFY2(line.contains(QLatin1String("differs: 5 bytes in 2 ranges")), qPrintable(line));
    QVERIFY2(lines.at(3).contains(QLatin1String("differs: not compared from 050000h")),
             qPrintable(lines.at(3)));
}

void tst_CliHistory::refusals_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("zero") << QStringList {"--last", "0"} << "--last needs a number";
    QTest::newRow("not a number") << QStringList {"--last", "ten"} << "--last needs a number";
    QTest::newRow("no value") << QStringList {"--last"} << "needs a value";
    QTest::newRow("argument") << QStringList {"extra"} << "history takes no arguments";
    QTest::newRow("unknown option") << QStringList {"--port", "COM1"} << "unknown option --port";
    QTest::newRow("record is a folder") << QStringList {"--record", "."} << "is a folder";
}

void tst_CliHistory::refusals()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    CLI_VERIFY_REFUSED(cli(args), message);
}

QTEST_GUILESS_MAIN(tst_CliHistory)
#include "tst_clihistory.moc"
