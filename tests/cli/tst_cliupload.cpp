#include "support/CliProcess.h"
#include "support/H86Builder.h"
#include "support/SimDevice.h"
#include "support/TempSettings.h"
#include "support/TestFiles.h"
#include "transfer/ServiceRecord.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

// brasvik-cli upload and compare end to end against the simulated device: exit statuses, the
// file written, stdout with the log and the reports.
class tst_CliUpload : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void uploadWritesTheB86File();
    void uploadRefusesChoicesNotOffered_data();
    void uploadRefusesChoicesNotOffered();
    void failedUploadWritesNothing();
    void retainValuesOverCan();
    void boardImage();
    void compare_data();
    void compare();
    void compareImageShorterThanTheRange();
    void compareDiff_data();
    void compareDiff();
    void compareDiffUsage_data();
    void compareDiffUsage();
    void outputsThatAreInputs_data();
    void outputsThatAreInputs();

private:
    using Run = CliRun;
    Run cli(const QStringList &args);
    // brasvik-cli compare `args` against a `device` whose memory file holds `memory`.
    Run compareWith(const QString &device, const QByteArray &memory, const QStringList &args);
    QString path(const QString &name) const { return QDir(m_dir.path()).filePath(name); }

    TempSettings m_settings;
    QTemporaryDir m_dir;
};

namespace {

QByteArray pattern(qsizetype n, int seed)
{
    QByteArray b(n, Qt::Uninitialized);
    for (qsizetype i = 0; i < n; ++i)
        b[i] = char((i * 11 + (i >> 8) + seed) % 0xFB);
    return b;
}

QStringList transferArgs(const SimDevice &sim)
{
    return {QStringLiteral("--port"), sim.serialPath(), QStringLiteral("--h86-dir"),
            SimDevice::h86Directory(), QStringLiteral("--yes")};
}

} // namespace

void tst_CliUpload::initTestCase()
{
    QVERIFY(QFileInfo(cliPath()).isExecutable());
    QVERIFY(m_dir.isValid());
    // The settings offer the parameters and the retain values, nothing else.
    QSettings ini(m_settings.iniFile(), QSettings::IniFormat);
    ini.setValue(QStringLiteral("UploadOpt2"), 1);
    ini.setValue(QStringLiteral("UploadOpt6"), 1);
}

tst_CliUpload::Run tst_CliUpload::cli(const QStringList &args)
{
    return runCli(args);
}

tst_CliUpload::Run tst_CliUpload::compareWith(const QString &device, const QByteArray &memory,
                                              const QStringList &args)
{
    SimDeviceOptions options;
    options.device = device;
    options.initialMemory = memory;
    SimDevice sim(options);
    if (!sim.isReady())
        return {-1, {}, sim.errorString()};
    return cli(QStringList {"compare"} + args + transferArgs(sim));
}

void tst_CliUpload::uploadWritesTheB86File()
{
    SimDeviceOptions options;
    options.initialMemory = pattern(0x100000, 1) + pattern(4096, 2);
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    const QString out = path(QStringLiteral("parameters.b86"));
    const Run r
        = cli(QStringList {"upload", "parameters", out, "--device", "46xx"} + transferArgs(sim));
    QCOMPARE(r.exitCode, 0);
    const QStringList lines = r.out.split(u'\n');
    QCOMPARE(lines.first(), QStringLiteral("Target-ID: C5"));
    QVERIFY(lines.contains(QStringLiteral("Transmitting sector count: 2...")));
    const int blank = int(lines.indexOf(QString()));
    QCOMPARE(lines.at(blank - 1), QStringLiteral("Flash reading finished!"));
    QCOMPARE(lines.mid(blank + 1, 3),
             QStringList({"Flash reading successful:", "", "131072 bytes have been read"}));

    // What Save writes after the same upload: 1 MiB of flash image, then the trailer 17, 19.
    const QByteArray file = readTestFile(out);
    QCOMPARE(file.size(), 0x100008);
    QCOMPARE(file.left(0xE0000), QByteArray(0xE0000, char(0xFF)));
    QCOMPARE(file.mid(0xE0000, 0x20000), sim.flash().mid(0xE0000, 0x20000));
    QCOMPARE(file.right(8), QByteArray::fromHex("1100000013000000"));

    // The file is an image the program reads back as what was uploaded.
    const Run info = cli({"info", out});
    QCOMPARE(info.exitCode, 0);
    QVERIFY2(info.out.contains(QLatin1String("Curve and system parameters")), qPrintable(info.out));
}

void tst_CliUpload::uploadRefusesChoicesNotOffered_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("setting off") << QStringList {"upload", "os", "x.b86", "--device", "46xx"}
                                 << "UploadOpt1";
    QTest::newRow("4610 board") << QStringList {"upload", "retain", "x.b86", "--device", "4610"}
                                << "only flash";
    QTest::newRow("unknown choice")
        << QStringList {"upload", "nvram", "x.b86", "--device", "46xx"} << "CHOICE must be one of";
    QTest::newRow("no device") << QStringList {"upload", "flash", "x.b86"} << "--device";
    QTest::newRow("H86 output") << QStringList {"upload", "flash", "keep.h86", "--device", "46xx"}
                                << "OUTPUT must end in .b86";
}

void tst_CliUpload::uploadRefusesChoicesNotOffered()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    args[2] = path(args[2]);
    const Run r = cli(args + QStringList {"--port", "/nonexistent/tty", "--yes"});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QVERIFY(r.out.isEmpty());
    QVERIFY(!QFile::exists(args[2]));
}

void tst_CliUpload::failedUploadWritesNothing()
{
    SimDeviceOptions options;
    options.extraArguments = {QStringLiteral("--silent-from"), QStringLiteral("block:3")};
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    const QString out = writeTestFile(m_dir, QStringLiteral("kept.b86"), "previous contents");
    const Run r = cli(QStringList {"upload", "flash", out, "--device", "46xx"} + transferArgs(sim));
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.out.endsWith(QStringLiteral("TIMEOUT\n\nFlash reading aborted:\n\nTIMEOUT\n")));
    QCOMPARE(readTestFile(out), QByteArray("previous contents"));
}

void tst_CliUpload::retainValuesOverCan()
{
    SimDeviceOptions options;
    options.can = true;
    options.initialMemory = pattern(0x100000, 3) + pattern(4096, 4);
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    const QString out = path(QStringLiteral("retain.b86"));
    const Run r = cli(QStringList {"upload", "retain", out, "--device", "46xx", "--interface",
                                   "can1", "--can-bus", sim.canBus()}
                      + transferArgs(sim));
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.contains(QLatin1String("Retain values reading successful:\n\n"
                                         "4096 bytes have been read")));
    QCOMPARE(readTestFile(out), sim.nvRam());
}

void tst_CliUpload::boardImage()
{
    SimDeviceOptions options;
    options.device = QStringLiteral("4610");
    options.initialMemory = pattern(0x50000, 5) + pattern(2304, 6) + pattern(0x7000, 7);
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    const QString out = path(QStringLiteral("board.b86"));
    const Run r = cli(QStringList {"upload", "flash", out, "--device", "4610"} + transferArgs(sim));
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(readTestFile(out), sim.memory().left(329984));

    // The same image compared with the device is equal over its 329732 bytes.
    SimDevice again(options);
    QVERIFY(again.isReady());
    const Run c = cli(QStringList {"compare", out} + transferArgs(again));
    QCOMPARE(c.exitCode, 0);
    QVERIFY(c.out.endsWith(QLatin1String("329732 bytes have been compared.\n\n"
                                         "Data compare successful!\n")));
}

void tst_CliUpload::compare_data()
{
    QTest::addColumn<qint32>("diffAt"); // -1: equal
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("reportEnd");
    QTest::newRow("equal") << -1 << 0
                           << "1048576 bytes have been compared.\n\nData compare successful!\n";
    QTest::newRow("first byte") << 0 << 4
                                << "1 bytes have been compared.\n\n"
                                   "Different value at address 000000h found!\n";
}

void tst_CliUpload::compare()
{
    QFETCH(qint32, diffAt);
    QFETCH(int, exitCode);
    QFETCH(QString, reportEnd);

    const QByteArray flash = pattern(0x100000, 8);
    QByteArray image = flash;
    if (diffAt >= 0)
        image[diffAt] = char(~image[diffAt]);
    const QString file = writeTestFile(m_dir, QStringLiteral("compare.b86"), image);
    const Run r = compareWith("46xx", flash + pattern(4096, 9), {file});
    QCOMPARE(r.exitCode, exitCode);
    // The log, the reading's report, then the compare's report.
    const QStringList lines = r.out.split(u'\n');
    QCOMPARE(lines.first(), QStringLiteral("Target-ID: C5"));
    const qsizetype report = lines.indexOf(QStringLiteral("Flash reading successful:"));
    QVERIFY(report > 0);
    QVERIFY(lines.indexOf(QStringLiteral("Comparing data...")) > report);
    QVERIFY2(r.out.endsWith(reportEnd), qPrintable(r.out));
    QCOMPARE(readTestFile(file), image);
}

void tst_CliUpload::compareImageShorterThanTheRange()
{
    // A 4610 image from an H86 file holds 0x50000 bytes; the compared range runs to 329732.
    const QByteArray flash = pattern(0x50000, 10);
    const QString file = writeTestFile(m_dir, QStringLiteral("board.h86"),
                                       H86Builder().data(0, flash, 32).end().text());
    const Run r = compareWith("4610", flash + pattern(2304, 11) + pattern(0x7000, 12),
                              {file, "--device", "4610"});
    QCOMPARE(r.exitCode, 4);
    QVERIFY2(
        r.out.endsWith(QLatin1String("327680 bytes have been compared.\n\n"
                                     "Image ends at address 050000h!\n"
                                     "Data from 050000h to 050803h have not been compared!\n")),
        qPrintable(r.out));
    QVERIFY(!r.out.contains(QLatin1String("Data compare successful!")));
}

void tst_CliUpload::compareDiff_data()
{
    QTest::addColumn<QString>("diffOption");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("tail");
    // 60 ranges of 3 differing bytes each, 0x100 apart from 0x0E8001 on.
    QTest::newRow("--diff") << "--diff" << 50 << "… and 10 more ranges (30 bytes)";
    QTest::newRow("--diff=all") << "--diff=all" << 60 << "0EBB01h  0EBB03h  3         17";
}

void tst_CliUpload::compareDiff()
{
    QFETCH(QString, diffOption);
    QFETCH(int, rows);
    QFETCH(QString, tail);

    const QByteArray flash = pattern(0x100000, 13);
    QByteArray image = flash;
    for (qint32 i = 0; i < 60; ++i) {
        for (qint32 at : {0xE8001 + i * 0x100, 0xE8003 + i * 0x100})
            image[at] = char(~image[at]);
        image[0xE8002 + i * 0x100] = char(image[0xE8002 + i * 0x100] ^ 0x10);
    }
    const QString file = writeTestFile(m_dir, QStringLiteral("diff.b86"), image);
    const QString dump = path(QStringLiteral("device.b86"));
    const Run r
        = compareWith("46xx", flash + pattern(4096, 14), {file, diffOption, "--diff-dump", dump});
    QCOMPARE(r.exitCode, 4);

    // The report as without the option, then the table.
    const QString report = QStringLiteral("950274 bytes have been compared.\n\n"
                                          "Different value at address 0E8001h found!\n\n");
    const qsizetype at = r.out.indexOf(report);
    QVERIFY2(at > 0, qPrintable(r.out));
    const QStringList table = r.out.mid(at + report.size()).split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(table.mid(0, 3),
             QStringList({"180 bytes differ in 60 ranges:", "Start    End      Bytes     Sector",
                          "0E8001h  0E8003h  3         17"}));
    QCOMPARE(table.size(), 2 + rows + (rows < 60 ? 1 : 0));
    QCOMPARE(table.last(), tail);

    // The dump is the image with the device's bytes: byte for byte what the device holds.
    QCOMPARE(readTestFile(dump), flash);
    QCOMPARE(readTestFile(file), image);
}

void tst_CliUpload::compareDiffUsage_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("message");
    QTest::newRow("--diff with a value")
        << QStringList {"--diff=some"} << "--diff takes no value or \"all\"";
    QTest::newRow("--diff with --json")
        << QStringList {"--diff", "--json"} << "--diff and --json exclude each other";
    QTest::newRow("several ports")
        << QStringList {"--diff-dump", "x.b86", "--port", "COM1", "--port", "COM2"}
        << "--diff and --diff-dump compare one device";
    QTest::newRow("dump not writable")
        << QStringList {"--diff-dump", "/proc/version"} << "cannot write --diff-dump /proc/version";
}

void tst_CliUpload::compareDiffUsage()
{
    QFETCH(QStringList, options);
    QFETCH(QString, message);
    const QString file = writeTestFile(m_dir, QStringLiteral("usage.b86"), pattern(0x100000, 15));
    CLI_VERIFY_REFUSED(cli(QStringList {"compare", file, "--yes"} + options), message);
}

void tst_CliUpload::outputsThatAreInputs_data()
{
    // @IMAGE: an image; @SAME: the image by another name (a link); @RECORD: the service record;
    // @DIR: the test's folder.
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("--diff-dump onto the image")
        << QStringList {"compare", "@IMAGE", "--diff-dump", "@DIR/./image.b86"}
        << "--diff-dump @DIR/./image.b86 is the image @IMAGE";
    QTest::newRow("--diff-dump onto the service record")
        << QStringList {"compare", "@IMAGE", "--diff-dump", "@RECORD"}
        << "--diff-dump @RECORD is the service record file";
    QTest::newRow("--diff-dump onto --record")
        << QStringList {"compare",        "@IMAGE",      "--record",
                        "@DIR/run.jsonl", "--diff-dump", "@DIR/sub/../run.jsonl"}
        << "is the service record file @DIR/run.jsonl";
    QTest::newRow("upload OUTPUT onto --record")
        << QStringList {"upload", "flash",    "@DIR/rec.b86", "--device",
                        "46xx",   "--record", "@DIR/rec.b86"}
        << "OUTPUT @DIR/rec.b86 is the service record file";
    QTest::newRow("convert OUTPUT onto the image")
        << QStringList {"convert", "@IMAGE", "@SAME"} << "OUTPUT @SAME is the image @IMAGE";
    QTest::newRow("--log onto the image")
        << QStringList {"download", "@IMAGE", "--log", "@SAME"} << "--log @SAME is the image";
    QTest::newRow("--trace onto --log")
        << QStringList {"download", "@IMAGE", "--log", "@DIR/a.txt", "--trace", "@DIR/a.txt"}
        << "--trace @DIR/a.txt is --log @DIR/a.txt";
    QTest::newRow("--diff-dump onto --trace")
        << QStringList {"compare", "@IMAGE", "--trace", "@DIR/t.b86", "--diff-dump", "@DIR/t.b86"}
        << "--diff-dump @DIR/t.b86 is --trace";
}

// Refused before anything is opened or sent: every input stays as it was.
void tst_CliUpload::outputsThatAreInputs()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    const QByteArray data = pattern(0x100000, 21);
    const QString image = writeTestFile(m_dir, QStringLiteral("image.b86"), data);
    const QString same = path(QStringLiteral("same.b86"));
    QFile::remove(same);
    QVERIFY(QFile::link(image, same));
    QDir().mkpath(path(QStringLiteral("sub")));
    const QString record = ServiceRecord::defaultPath();
    const auto expand = [&](QString text) {
        return text.replace(QLatin1String("@IMAGE"), image)
            .replace(QLatin1String("@SAME"), same)
            .replace(QLatin1String("@RECORD"), record)
            .replace(QLatin1String("@DIR"), m_dir.path());
    };
    for (QString &arg : args)
        arg = expand(arg);
    const QStringList entries
        = QDir(m_dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    if (args.first() != QLatin1String("convert"))
        args += QStringList {"--port", "/nonexistent/tty", "--yes"};
    CLI_VERIFY_REFUSED(cli(args), expand(message));
    QCOMPARE(readTestFile(image), data);
    QCOMPARE(QDir(m_dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), entries);
}

QTEST_GUILESS_MAIN(tst_CliUpload)
#include "tst_cliupload.moc"
