#include "support/CliProcess.h"
#include "support/H86Builder.h"
#include "support/SimDevice.h"
#include "support/TempSettings.h"
#include "support/TestFiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

// brasvik-cli's traces of a transfer against the simulated device: the service record's start
// and end lines, --record and --no-record, a record that cannot be written, and the --json feed.
class tst_CliRecord : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void startAndEndLines_data();
    void startAndEndLines();
    void recordOptions_data();
    void recordOptions();
    void unwritableRecordWarnsOnce_data();
    void unwritableRecordWarnsOnce();
    void conflictingOptions_data();
    void conflictingOptions();
    void jsonFeed_data();
    void jsonFeed();
    void jsonProgressIsRateLimited();

private:
    CliRun cli(const QStringList &args);
    QString defaultRecord() const;
    // The transfer command for `operation` against `sim`, without the feed options.
    QStringList command(const QString &operation, const SimDevice &sim);

    TempSettings m_settings;
    QTemporaryDir m_dir;
    std::unique_ptr<QTemporaryDir> m_state; // XDG_STATE_HOME of the runs, fresh per test
    QString m_osImage;
    QByteArray m_osData;
};

namespace {

// The lines of a file as JSON objects; an empty object for a line that is not one.
QList<QJsonObject> jsonLines(const QByteArray &text)
{
    QList<QJsonObject> objects;
    for (const QByteArray &line : text.split('\n')) {
        if (!line.isEmpty())
            objects.append(QJsonDocument::fromJson(line).object());
    }
    return objects;
}

QList<QJsonObject> recordLines(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? jsonLines(f.readAll()) : QList<QJsonObject>();
}

} // namespace

void tst_CliRecord::initTestCase()
{
    QVERIFY(QFileInfo(cliPath()).isExecutable());
    QVERIFY(m_dir.isValid());
    m_osData = countingPattern(0x4100);
    m_osImage = writeTestFile(m_dir, QStringLiteral("os.h86"),
                              H86Builder().data(0, m_osData, 32).end().text());
    QSettings ini(m_settings.iniFile(), QSettings::IniFormat);
    ini.setValue(QStringLiteral("UploadOpt2"), 1);
}

void tst_CliRecord::init()
{
    m_state = std::make_unique<QTemporaryDir>();
    QVERIFY(m_state->isValid());
}

QString tst_CliRecord::defaultRecord() const
{
    return m_state->filePath(QStringLiteral("Halvero/BrasvikV6/transfers.jsonl"));
}

CliRun tst_CliRecord::cli(const QStringList &args)
{
    CliRunOptions options;
    options.environment = QProcessEnvironment::systemEnvironment();
    options.environment.insert(QStringLiteral("XDG_STATE_HOME"), m_state->path());
    options.timeoutMs = 60000;
    return runCli(args, options);
}

QStringList tst_CliRecord::command(const QString &operation, const SimDevice &sim)
{
    QStringList args {operation};
    if (operation == QLatin1String("upload"))
        args << QStringLiteral("parameters") << m_dir.filePath(QStringLiteral("read.b86"));
    else
        args << m_osImage;
    return args << QStringList {"--device",       "46xx",      "--port",
                                sim.serialPath(), "--h86-dir", SimDevice::h86Directory(),
                                "--yes"};
}

void tst_CliRecord::startAndEndLines_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<bool>("deviceHoldsImage");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("failedPhase"); // empty: no failure

    QTest::newRow("download") << "download" << QStringList() << false << 0 << "success"
                              << "";
    QTest::newRow("download, erase fails")
        << "download" << QStringList {"--erase-fail"} << false << 2 << "failed"
        << "erase";
    QTest::newRow("download, device hangs up")
        << "download" << QStringList {"--hangup-after-rx", "3000"} << false << 2 << "failed"
        << "data";
    QTest::newRow("download, invalid identification")
        << "download" << QStringList {"--id", "0xB5"} << false << 3 << "aborted"
        << "identification";
    QTest::newRow("upload") << "upload" << QStringList() << false << 0 << "success"
                            << "";
    QTest::newRow("upload, no answer")
        << "upload" << QStringList {"--silent-from", "id"} << false << 2 << "failed"
        << "identification";
    QTest::newRow("compare, equal") << "compare" << QStringList() << true << 0 << "success"
                                    << "";
    QTest::newRow("compare, different") << "compare" << QStringList() << false << 4 << "different"
                                        << "";
}

void tst_CliRecord::startAndEndLines()
{
    QFETCH(QString, operation);
    QFETCH(QStringList, simArgs);
    QFETCH(bool, deviceHoldsImage);
    QFETCH(QString, outcome);
    QFETCH(QString, failedPhase);

    SimDeviceOptions options;
    const qsizetype id = simArgs.indexOf(QStringLiteral("--id"));
    if (id >= 0) {
        options.idByte = simArgs.at(id + 1).toInt(nullptr, 16);
        simArgs.remove(id, 2);
    }
    options.extraArguments = simArgs;
    if (deviceHoldsImage) {
        QByteArray flash = m_osData;
        flash.append(QByteArray(0x100000 - flash.size(), char(0xFF)));
        options.initialMemory = flash + QByteArray(4096, '\0');
    }
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    const CliRun r = cli(command(operation, sim));
    QVERIFY2(r.exitCode >= 0, qPrintable(r.err));
    QTEST(r.exitCode, "exitCode");
    QVERIFY2(!r.err.contains(QLatin1String("service record")), qPrintable(r.err));

    const QList<QJsonObject> lines = recordLines(defaultRecord());
    QCOMPARE(lines.size(), 2);
    const QJsonObject start = lines.at(0);
    const QJsonObject end = lines.at(1);
    QVERIFY(!start.value("id").toString().isEmpty());
    QCOMPARE(end.value("id"), start.value("id"));
    QCOMPARE(start.value("outcome").toString(), QStringLiteral("running"));
    QCOMPARE(end.value("outcome").toString(), outcome);
    QCOMPARE(end.value("operation").toString(), operation);
    QCOMPARE(end.value("device_type").toString(), QStringLiteral("46xx"));
    QCOMPARE(end.value("port_path").toString(), sim.serialPath());
    QCOMPARE(end.value("tool_version").toString(), QStringLiteral(BRASVIK_VERSION));
    QVERIFY(!end.value("ended").toString().isEmpty());
    QVERIFY(!end.value("report").toString().isEmpty());
    if (failedPhase.isEmpty())
        QVERIFY(end.value("failed_phase").isNull());
    else
        QCOMPARE(end.value("failed_phase").toString(), failedPhase);
    if (operation != QLatin1String("upload"))
        QCOMPARE(end.value("image_file").toString(), m_osImage);
    if (operation == QLatin1String("download") && outcome == QLatin1String("success")) {
        const QByteArray sha = QCryptographicHash::hash(m_osData, QCryptographicHash::Sha256);
        QCOMPARE(end.value("image_sha256").toString(), QString::fromLatin1(sha.toHex()));
        QCOMPARE(end.value("bytes").toInteger(), m_osData.size());
    }
}

void tst_CliRecord::recordOptions_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("written"); // relative to the test's folder; empty: none
    QTest::addColumn<bool>("defaultWritten");
    QTest::newRow("default") << QStringList() << "" << true;
    QTest::newRow("--no-record") << QStringList {"--no-record"} << "" << false;
    QTest::newRow("--record FILE")
        << QStringList {"--record", "@/run.jsonl"} << "run.jsonl" << false;
    QTest::newRow("--record=FILE in a new folder")
        << QStringList {"--record=@/new/folder/run.jsonl"} << "new/folder/run.jsonl" << false;
}

void tst_CliRecord::recordOptions()
{
    QFETCH(QStringList, options);
    QFETCH(QString, written);
    QFETCH(bool, defaultWritten);
    QTemporaryDir target;
    for (QString &option : options)
        option.replace(u'@', target.path());

    for (const QString &operation : {QStringLiteral("download"), QStringLiteral("compare")}) {
        SimDevice sim;
        QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
        const CliRun r = cli(command(operation, sim) + options);
        QVERIFY2(r.exitCode == 0 || r.exitCode == 4, qPrintable(r.err));
        QVERIFY2(r.err.isEmpty() || !r.err.contains(QLatin1String("record")), qPrintable(r.err));
    }
    QCOMPARE(QFileInfo::exists(defaultRecord()), defaultWritten);
    if (defaultWritten)
        QCOMPARE(recordLines(defaultRecord()).size(), 4);
    if (!written.isEmpty()) {
        const QList<QJsonObject> lines = recordLines(target.filePath(written));
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines.at(1).value("operation").toString(), QStringLiteral("download"));
        QCOMPARE(lines.at(3).value("operation").toString(), QStringLiteral("compare"));
    } else {
        QCOMPARE(QDir(target.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList());
    }
}

void tst_CliRecord::unwritableRecordWarnsOnce_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("record"); // '@': the test's folder
    QTest::newRow("download, not a regular file") << "download"
                                                  << "/dev/null";
    QTest::newRow("download, a file in the way of the folder") << "download"
                                                               << "@/os.h86/x.jsonl";
    QTest::newRow("upload, a folder in the way of the file") << "upload"
                                                             << "@";
    QTest::newRow("compare, not a regular file") << "compare"
                                                 << "/dev/null";
}

void tst_CliRecord::unwritableRecordWarnsOnce()
{
    QFETCH(QString, operation);
    QFETCH(QString, record);
    record.replace(u'@', m_dir.path());
    SimDeviceOptions options;
    QByteArray flash = m_osData;
    flash.append(QByteArray(0x100000 - flash.size(), char(0xFF)));
    options.initialMemory = flash + QByteArray(4096, '\0');
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    const CliRun r = cli(command(operation, sim) << QStringLiteral("--record") << record);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.err.count(QLatin1String("service record")), 1);
    QVERIFY2(
        r.err.contains(QStringLiteral("warning: Cannot write the service record %1: ").arg(record)),
        qPrintable(r.err));
    QVERIFY(r.out.startsWith(QLatin1String("Target-ID: C5\n")));
    QVERIFY(r.out.contains(QLatin1String(" successful")));
    QVERIFY(sim.waitForFinished());
}

void tst_CliRecord::conflictingOptions_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("message");
    QTest::newRow("both") << QStringList {"--record", "x.jsonl", "--no-record"}
                          << "--record and --no-record exclude each other";
    QTest::newRow("empty file name") << QStringList {"--record="} << "--record needs a file name";
    QTest::newRow("no file name") << QStringList {"--record"} << "option --record needs a value";
    QTest::newRow("--json with a value")
        << QStringList {"--json=1"} << "option --json takes no value";
}

void tst_CliRecord::conflictingOptions()
{
    QFETCH(QStringList, options);
    QFETCH(QString, message);
    for (const QString &operation :
         {QStringLiteral("download"), QStringLiteral("upload"), QStringLiteral("compare")}) {
        QStringList args {operation};
        if (operation == QLatin1String("upload"))
            args << QStringLiteral("flash") << m_dir.filePath(QStringLiteral("never.b86"));
        else
            args << m_osImage;
        const CliRun r
            = cli(args << QStringLiteral("--device") << QStringLiteral("46xx") << options);
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(r.out, QString());
        QCOMPARE(r.err.trimmed(), QStringLiteral("brasvik-cli: ") + message);
    }
    QVERIFY(!QFileInfo::exists(defaultRecord()));
}

void tst_CliRecord::jsonFeed_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("outcome");
    QTest::newRow("download") << "download" << QStringList() << 0 << "success";
    QTest::newRow("download, compare error")
        << "download" << QStringList {"--compare-error", "3"} << 2 << "failed";
    QTest::newRow("upload") << "upload" << QStringList() << 0 << "success";
    QTest::newRow("compare") << "compare" << QStringList() << 4 << "different";
}

void tst_CliRecord::jsonFeed()
{
    QFETCH(QString, operation);
    QFETCH(QStringList, simArgs);
    QFETCH(QString, outcome);
    SimDeviceOptions options;
    options.extraArguments = simArgs;
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    const CliRun r = cli(command(operation, sim) << QStringLiteral("--json"));
    QTEST(r.exitCode, "exitCode");

    // Every line of stdout is one object that says first what it is; nothing else is there.
    const QStringList lines = r.out.split(u'\n', Qt::SkipEmptyParts);
    QVERIFY(lines.size() >= 3);
    QList<QJsonObject> events;
    for (const QString &line : lines) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
        QVERIFY2(error.error == QJsonParseError::NoError && document.isObject(), qPrintable(line));
        QVERIFY2(line.startsWith(QLatin1String("{\"event\":\"")), qPrintable(line));
        events.append(document.object());
    }
    QVERIFY(r.out.endsWith(u'\n'));
    QVERIFY2(!r.err.contains(u'{'), qPrintable(r.err));

    QCOMPARE(events.first().value("event").toString(), QStringLiteral("started"));
    const QJsonObject finished = events.last();
    QCOMPARE(finished.value("event").toString(), QStringLiteral("finished"));
    const QJsonObject record = finished.value("record").toObject();
    QCOMPARE(record.value("outcome").toString(), outcome);
    QCOMPARE(record.value("operation").toString(), operation);
    QCOMPARE(record.value("id"), events.first().value("record").toObject().value("id"));

    // The log lines are the memo's, in order; the first is the target's answer.
    QStringList log;
    for (const QJsonObject &event : events) {
        if (event.value("event") == QLatin1String("log"))
            log << event.value("text").toString();
    }
    QCOMPARE(log.value(0), QStringLiteral("Target-ID: C5"));
    QVERIFY(std::any_of(events.cbegin(), events.cend(), [](const QJsonObject &event) {
        return event.value("event") == QLatin1String("phase")
            && event.value("phase") == QLatin1String("data");
    }));
    if (outcome == QLatin1String("success")) {
        const auto last = std::find_if(events.crbegin(), events.crend(), [](const QJsonObject &e) {
            return e.value("event") == QLatin1String("progress");
        });
        QVERIFY(last != events.crend());
        QCOMPARE(last->value("bytes"), last->value("total"));
        QCOMPARE(last->value("bytes").toInteger(), record.value("bytes").toInteger());
    }

    // The feed's finished record is the one in the service record.
    const QList<QJsonObject> stored = recordLines(defaultRecord());
    QCOMPARE(stored.size(), 2);
    QCOMPARE(stored.last().value("id"), record.value("id"));
    QCOMPARE(stored.last().value("outcome"), record.value("outcome"));
}

void tst_CliRecord::jsonProgressIsRateLimited()
{
    // 520 blocks of 32 bytes on a line paced at 57600 bit/s: several seconds of blocks, each
    // with its progress event inside the transfer.
    SimDeviceOptions options;
    options.baud = 57600;
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    QElapsedTimer clock;
    clock.start();
    const CliRun r = cli(command(QStringLiteral("download"), sim) << QStringLiteral("--json"));
    const qint64 elapsedMs = clock.elapsed();
    QCOMPARE(r.exitCode, 0);
    const QList<QJsonObject> events = jsonLines(r.out.toUtf8());
    QList<QJsonObject> progress;
    for (const QJsonObject &event : events) {
        if (event.value("event") == QLatin1String("progress"))
            progress.append(event);
    }
    const qint64 blocks = m_osData.size() / 32;
    QVERIFY2(progress.size() >= 5, qPrintable(QString::number(progress.size())));
    QVERIFY2(progress.size() <= elapsedMs / 100 + 2,
             qPrintable(
                 QStringLiteral("%1 progress lines in %2 ms").arg(progress.size()).arg(elapsedMs)));
    QVERIFY(progress.size() < blocks / 4); // one per block would be 520
    // Bytes only grow, and with a rate the time left is known.
    qint64 before = -1;
    bool rated = false;
    for (const QJsonObject &event : progress) {
        QVERIFY(event.value("bytes").toInteger() >= before);
        before = event.value("bytes").toInteger();
        QCOMPARE(event.value("total").toInteger(), m_osData.size());
        // A rate of 0 (a stall) tells no time left, unless all is done; any other rate does.
        if (event.value("rate").toInteger() > 0) {
            rated = true;
            QVERIFY(event.value("eta_s").toInteger() >= 0);
        } else {
            QVERIFY(event.value("eta_s").isNull() || event.value("bytes") == event.value("total"));
        }
    }
    QVERIFY(rated);
}

QTEST_GUILESS_MAIN(tst_CliRecord)
#include "tst_clirecord.moc"
