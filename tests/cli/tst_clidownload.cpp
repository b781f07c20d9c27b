#include "support/CliProcess.h"
#include "support/H86Builder.h"
#include "support/PtyPair.h"
#include "support/SimDevice.h"
#include "support/TempSettings.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

// brasvik-cli download end to end against the simulated device: exit statuses, the stdout/stderr
// split, the wire bytes and what the device holds afterwards.
class tst_CliDownload : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void serialDownloadWritesLogAndReport();
    void progressBarCountsWhatTheReportCounts();
    void deviceFailures_data();
    void deviceFailures();
    void retainValues();
    void board4610CombinedImage();
    void canDownload();
    void canRetainValues();
    void fieldLogs_data();
    void fieldLogs();
    void usageErrors_data();
    void usageErrors();
    void missingTargetFile();
    void openErrorsNameWhatWasTried_data();
    void openErrorsNameWhatWasTried();
    void bootPromptOnStdin();
    void ctrlCIsUserBreak();
    void infoAndConvert();
    void convertedImageDownloadsEveryByte();

private:
    using Run = CliRun;
    Run cli(const QStringList &args, const QByteArray &input = {}, bool closeInput = true);

    TempSettings m_settings;
    QTemporaryDir m_dir;
    QString m_osImage;
    QByteArray m_osData;
};

void tst_CliDownload::initTestCase()
{
    QVERIFY(QFileInfo(cliPath()).isExecutable());
    m_osData = countingPattern(0x4100);
    m_osImage = writeTestFile(m_dir, QStringLiteral("os.h86"),
                              H86Builder().data(0, m_osData, 32).end().text());
}

tst_CliDownload::Run tst_CliDownload::cli(const QStringList &args, const QByteArray &input,
                                          bool closeInput)
{
    CliRunOptions options;
    options.input = input;
    options.closeInput = closeInput;
    options.timeoutMs = 60000;
    return runCli(args, options);
}

void tst_CliDownload::serialDownloadWritesLogAndReport()
{
    SimDevice sim;
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    const Run r
        = cli({QStringLiteral("download"), m_osImage, QStringLiteral("--device"),
               QStringLiteral("46xx"), QStringLiteral("--port"), sim.serialPath(),
               QStringLiteral("--h86-dir"), SimDevice::h86Directory(), QStringLiteral("--yes")});
    QCOMPARE(r.exitCode, 0);
    const QStringList lines = r.out.split(u'\n');
    QCOMPARE(lines.mid(0, 2), QStringList({"Target-ID: C5", "Transmitting DLoader.H86..."}));
    QVERIFY(lines.contains(QStringLiteral("Transmitting sector count: 2...")));
    QVERIFY(lines.contains(QStringLiteral("Erasing flash sectors 0 up to 1...")));
    const int blank = int(lines.indexOf(QString()));
    QCOMPARE(lines.at(blank - 1), QStringLiteral("Flash programming finished!"));
    QCOMPARE(lines.mid(blank + 1, 3),
             QStringList({"Flash programming successful:", "", "16640 bytes programmed"}));
    QVERIFY(lines.at(blank + 5).startsWith(QLatin1String("Used time: ")));
    QVERIFY(!r.err.contains(QLatin1String("Please press"))); // --yes prints no prompt

    QVERIFY(sim.waitForFinished());
    QCOMPARE(sim.flash().left(m_osData.size()), m_osData);
    // Boot byte first; the sector bytes 0 and 2 follow the program.
    const QByteArray host = sim.hostBytes();
    QCOMPARE(host.left(1), QByteArray(1, '\0'));
    QCOMPARE(host.right(1), QByteArray::fromHex("ff"));
    QVERIFY(host.contains(QByteArray::fromHex("2400000000") + m_osData.left(32)));
}

void tst_CliDownload::progressBarCountsWhatTheReportCounts()
{
    // The erased stretch between the two pieces is never sent: the bar on a terminal counts
    // the bytes the report and the JSON feed count, not the span of addresses.
    const QString image = writeTestFile(m_dir, QStringLiteral("gap.h86"),
                                        H86Builder()
                                            .data(0, countingPattern(0x100))
                                            .data(0x3000, countingPattern(0x100, 9))
                                            .end()
                                            .text());
    SimDevice sim;
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    PtyPair terminal;
    QVERIFY(terminal.isOpen());
    CliRunOptions options;
    options.childSetup = [tty = terminal.devicePath().toLocal8Bit()] {
        const int fd = ::open(tty.constData(), O_WRONLY | O_NOCTTY);
        if (fd >= 0)
            ::dup2(fd, STDERR_FILENO);
    };
    const Run r = runCli({"download", image, "--device", "46xx", "--port", sim.serialPath(),
                          "--h86-dir", SimDevice::h86Directory(), "--yes"},
                         options);
    QCOMPARE(r.exitCode, 0);
    const QString programmed
        = QRegularExpression("\n(\\d+) bytes programmed\n").match(r.out).captured(1);
    QVERIFY2(!programmed.isEmpty(), qPrintable(r.out));
    const QString bars = QString::fromLocal8Bit(terminal.readAvailable());
    QVERIFY2(bars.contains(programmed + u'/' + programmed + " bytes"), qPrintable(bars));
    for (auto it = QRegularExpression("/(\\d+) bytes").globalMatch(bars); it.hasNext();)
        QCOMPARE(it.next().captured(1), programmed);
}

void tst_CliDownload::deviceFailures_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<int>("idByte");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("reportEnd");
    QTest::newRow("erase error") << QStringList {"--erase-fail"} << 0xC5 << 2
                                 << "Flash erase error!";
    QTest::newRow("compare error")
        << QStringList {"--compare-error", "3"} << 0xC5 << 2 << "Range:  000040h to 000060h";
    QTest::newRow("invalid identification")
        << QStringList() << 0xB5 << 3 << "Invalid Target-ID: B5";
    QTest::newRow("refused block is sent again whole")
        << QStringList {"--refuse-block", "2", "--refuse-count", "2"} << 0xC5 << 0 << "Used time: ";
    QTest::newRow("device hangs up") << QStringList {"--hangup-after-rx", "3000"} << 0xC5 << 2
                                     << "An I/O error occurred during communications with the "
                                        "interface.";
    QTest::newRow("no answer") << QStringList {"--silent-from", "id"} << 0xC5 << 2 << "TIMEOUT";
}

void tst_CliDownload::deviceFailures()
{
    QFETCH(QStringList, simArgs);
    QFETCH(int, idByte);
    SimDeviceOptions options;
    options.idByte = idByte;
    options.extraArguments = simArgs;
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    const Run r = cli({"download", m_osImage, "--device", "46xx", "--port", sim.serialPath(),
                       "--h86-dir", SimDevice::h86Directory(), "--yes"});
    QTEST(r.exitCode, "exitCode");
    QFETCH(QString, reportEnd);
    const QString report = r.out.section(QStringLiteral("\n\n"), -3).trimmed();
    QVERIFY2(report.contains(reportEnd), qPrintable(r.out + r.err));
    // Only a boot byte that got no answer earns the hint, on stderr after the report.
    QCOMPARE(r.err.endsWith(QLatin1String(
                 "No answer to the boot byte: the device did not send its target ID.\n"
                 "Check the cable and the port, and put the device into its boot mode (boot "
                 "switch, then reset).\n")),
             reportEnd == QLatin1String("TIMEOUT"));
}

void tst_CliDownload::retainValues()
{
    const QByteArray nv = countingPattern(4096, 7);
    const QString image = writeTestFile(m_dir, QStringLiteral("nv.b86"), nv);
    SimDevice sim;
    QVERIFY(sim.isReady());
    const Run r = cli({"download", image, "--port", sim.serialPath(), "--h86-dir",
                       SimDevice::h86Directory(), "--yes"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.contains(QLatin1String("Start retain values programming...")));
    QVERIFY(r.out.contains(
        QLatin1String("Retain values programming successful:\n\n4096 bytes programmed")));
    QVERIFY(sim.waitForFinished());
    QCOMPARE(sim.nvRam().left(4096), nv);
}

void tst_CliDownload::board4610CombinedImage()
{
    QByteArray image(329984, char(0xFF));
    image.replace(0, 0x100, countingPattern(0x100));
    image.replace(0x50000, 0x900, countingPattern(0x900, 5));
    const QString path = writeTestFile(m_dir, QStringLiteral("board.b86"), image);
    SimDeviceOptions options;
    options.device = QStringLiteral("4610");
    SimDevice sim(options);
    QVERIFY(sim.isReady());
    const Run r = cli({"download", path, "--device", "4610", "--port", sim.serialPath(),
                       "--h86-dir", SimDevice::h86Directory(), "--yes"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.contains(QLatin1String("Flash erased\nStart flash programming...")));
    QVERIFY(r.out.contains(QLatin1String("Retain values programming finished!")));
    QVERIFY(r.out.contains(QStringLiteral("%1 bytes programmed").arg(0x100 + 0x900)));
    QVERIFY(sim.waitForFinished());
    QCOMPARE(sim.flash().left(0x100), image.left(0x100));
    QCOMPARE(sim.nvParameters().left(0x900), image.mid(0x50000, 0x900));
    QVERIFY(sim.hostBytes().contains(QByteArray::fromHex("f010")));
}

void tst_CliDownload::canDownload()
{
    SimDeviceOptions options;
    options.can = true;
    options.canChannel = 2;
    options.canBitrate = 250000;
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    const Run r = cli({"download", m_osImage, "--device", "46xx", "--interface", "can2",
                       "--can-bitrate", "250", "--can-bus", sim.canBus(), "--port",
                       sim.serialPath(), "--h86-dir", SimDevice::h86Directory(), "--yes"});
    QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
    QVERIFY(r.out.contains(QLatin1String("Transmitting DownloadCAN2_250K.H86...")));
    QVERIFY(r.out.contains(QLatin1String("Erasing flash sectors 0 up to 1...")));
    QVERIFY(sim.waitForFinished());
    QCOMPARE(sim.flash().left(m_osData.size()), m_osData);
    const QList<SimTraceLine> can = sim.canMessages();
    QVERIFY(!can.isEmpty());
    QCOMPARE(can.first().canId, 0x63Fu);
    QCOMPARE(can.first().bytes, QByteArray::fromHex("0002"));
}

void tst_CliDownload::canRetainValues()
{
    const QByteArray nv = countingPattern(4096, 11);
    const QString image = writeTestFile(m_dir, QStringLiteral("nv-can.b86"), nv);
    SimDeviceOptions options;
    options.can = true;
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    const Run r
        = cli({"download", image, "--interface", "can1", "--can-bus", sim.canBus(), "--port",
               sim.serialPath(), "--h86-dir", SimDevice::h86Directory(), "--yes"});
    QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
    QVERIFY(r.out.contains(QLatin1String("Transmitting DownloadNVCAN1_500K.H86...")));
    QVERIFY(r.out.contains(QLatin1String("Retain values programming successful:\n\n4096 bytes")));
    QVERIFY(sim.waitForFinished());
    QCOMPARE(sim.nvRam().left(4096), nv);
    // 128 blocks of 32 bytes, then the end of data with the count 0.
    int commands = 0;
    QByteArray last;
    for (const SimTraceLine &line : sim.canMessages()) {
        if (line.canId == 0x63F && line.kind == SimTraceLine::Kind::HostToDevice) {
            ++commands;
            last = line.bytes;
        }
    }
    QCOMPARE(commands, 129);
    QCOMPARE(last, QByteArray(1, '\0'));
}

void tst_CliDownload::fieldLogs_data()
{
    QTest::addColumn<bool>("can");
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QString>("level"); // -q or -v
    QTest::addColumn<int>("repeats");
    QTest::newRow("serial, a block refused once")
        << false << QStringList {"--refuse-block", "2"} << "-v" << 1;
    QTest::newRow("CAN") << true << QStringList() << "-v" << 0;
    QTest::newRow("quiet") << false << QStringList() << "-q" << 0;
}

// -q, -v, --log and --trace: the terminal, the log file and the trace tell the same run; the
// trace holds exactly the bytes and frames the device saw, in the device's own trace form.
void tst_CliDownload::fieldLogs()
{
    QFETCH(bool, can);
    QFETCH(QStringList, simArgs);
    QFETCH(QString, level);
    QFETCH(int, repeats);
    SimDeviceOptions options;
    options.can = can;
    options.extraArguments = simArgs;
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    const QString log = QDir(m_dir.path()).filePath(QStringLiteral("field.log"));
    const QString trace = QDir(m_dir.path()).filePath(QStringLiteral("tool.trace"));
    QFile::remove(trace);
    QVERIFY(writeTestFile(m_dir, QStringLiteral("field.log"), "earlier line\n") == log);
    QStringList args {"download",  m_osImage,
                      "--device",  "46xx",
                      "--port",    sim.serialPath(),
                      "--h86-dir", SimDevice::h86Directory(),
                      "--yes",     level,
                      "--log",     log,
                      "--trace",   trace};
    if (can)
        args += QStringList {"--interface", "can1", "--can-bus", sim.canBus()};
    const Run r = cli(args);
    QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
    QVERIFY(sim.waitForFinished());

    const qsizetype answered = r.out.count(QLatin1String("Block answered: "));
    if (level == QLatin1String("-q")) {
        QVERIFY2(r.out.startsWith(QLatin1String("\nFlash programming successful:\n")),
                 qPrintable(r.out));
    } else {
        QVERIFY2(r.out.startsWith(QLatin1String("Target-ID: C5\n")), qPrintable(r.out));
        QVERIFY(r.out.contains(
            QStringLiteral("Block answered: %1 of %1 bytes\n").arg(m_osData.size())));
        QCOMPARE(answered, m_osData.size() / 32); // one line per block of 32 bytes
    }
    QCOMPARE(r.out.count(QLatin1String("Block repeated (")), repeats);

    // Appended, each line stamped; the terminal's lines are all there.
    QFile logFile(log);
    QVERIFY(logFile.open(QIODevice::ReadOnly));
    const QStringList logged
        = QString::fromUtf8(logFile.readAll()).split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(logged.first(), QStringLiteral("earlier line"));
    static const QRegularExpression stamp(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\S* "));
    QStringList texts;
    for (const QString &line : logged.mid(1)) {
        QVERIFY2(stamp.match(line).hasMatch(), qPrintable(line));
        texts << line.section(u' ', 1);
    }
    QVERIFY(texts.contains(QStringLiteral("Target-ID: C5")));
    QVERIFY(texts.contains(QStringLiteral("Flash programming successful:")));
    QCOMPARE(texts.last(), QStringLiteral("Result: success (exit status 0)"));
    if (level == QLatin1String("-v"))
        QCOMPARE(texts.filter(QStringLiteral("Block answered: ")).size(), answered);

    // The tool's trace reads as the device's: the same bytes and frames each way, in order.
    QFile traceFile(trace);
    QVERIFY(traceFile.open(QIODevice::ReadOnly));
    const QList<SimTraceLine> tool = SimDevice::parseTrace(traceFile.readAll());
    QByteArray sent, received;
    QList<QPair<quint32, QByteArray>> framesSent, framesReceived;
    qint64 last = 0;
    for (const SimTraceLine &line : tool) {
        QVERIFY(line.micros >= last);
        last = line.micros;
        const bool toDevice = line.kind == SimTraceLine::Kind::HostToDevice;
        if (line.kind == SimTraceLine::Kind::Event)
            continue;
        if (line.can)
            (toDevice ? framesSent : framesReceived).append({line.canId, line.bytes});
        else
            (toDevice ? sent : received) += line.bytes;
    }
    QCOMPARE(sent, sim.hostBytes());
    QCOMPARE(received, sim.deviceBytes());
    QList<QPair<quint32, QByteArray>> simSent, simReceived;
    for (const SimTraceLine &line : sim.canMessages())
        (line.kind == SimTraceLine::Kind::HostToDevice ? simSent : simReceived)
            .append({line.canId, line.bytes});
    QCOMPARE(framesSent, simSent);
    QCOMPARE(framesReceived, simReceived);
    QCOMPARE(framesSent.isEmpty(), !can);
}

void tst_CliDownload::usageErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("H86 without device") << QStringList {"download", "@os"} << "--device";
    QTest::newRow("erase all not offered")
        << QStringList {"download", "@os", "--device", "46xx", "--erase", "all"} << "DownloadOpt1";
    QTest::newRow("unknown option") << QStringList {"download", "@os", "--fast"} << "--fast";
    QTest::newRow("bad interface")
        << QStringList {"download", "@os", "--device", "46xx", "--interface", "usb"}
        << "--interface";
    QTest::newRow("CAN on the board")
        << QStringList {"download", "@os", "--device", "4610", "--interface", "can1"} << "CAN";
    QTest::newRow("image that cannot be loaded")
        << QStringList {"download", "@bad", "--device", "46xx"} << "Invalid file type!";
    QTest::newRow("unknown command") << QStringList {"flash"} << "unknown command";
}

void tst_CliDownload::usageErrors()
{
    QFETCH(QStringList, args);
    const QString bad = writeTestFile(m_dir, QStringLiteral("bad.b86"), QByteArray(100, 'x'));
    args.replaceInStrings(QStringLiteral("@os"), m_osImage);
    args.replaceInStrings(QStringLiteral("@bad"), bad);
    QFETCH(QString, message);
    CLI_VERIFY_REFUSED(cli(args), message);
}

void tst_CliDownload::missingTargetFile()
{
    QTemporaryDir empty;
    const Run r = cli({"download", m_osImage, "--device", "46xx", "--port", "/dev/null",
                       "--h86-dir", empty.path(), "--yes"});
    QCOMPARE(r.exitCode, 3);
    QCOMPARE(r.out, QString());
    QVERIFY(r.err.contains(QLatin1String(
        "Missing bootstrap loader file!\n\nFile: DLoader.H86\n\nDownload will be aborted!")));
    // The folder searched, then what to do about it.
    QVERIFY2(r.err.contains(QStringLiteral("\n\nFolder searched: 1) %1 (used)\n\nCopy the device "
                                           "maker's target programs into %1.\n")
                                .arg(QDir(empty.path()).absolutePath())),
             qPrintable(r.err));
}

void tst_CliDownload::openErrorsNameWhatWasTried_data()
{
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("expected"); // @port: the port path tried
    const QStringList download {"download", "@os", "--device", "46xx"};
    const QStringList upload {"upload", "flash", "@out", "--device", "46xx"};
    const QStringList noPort {"--port", "@port"};
    const QStringList badBus {"--interface", "can1", "--can-bus", ":can0", "--port", "/dev/null"};
    const QString portText = QStringLiteral("\n\nPort: COM1 (@port)\n\n");
    const QString busText = QStringLiteral(
        "CAN bus setting error: The setting \"CANBus\" has the value \":can0\", which does not "
        "name a CAN bus: the plugin before \":\" is missing. The accepted form is "
        "plugin:interface, for example socketcan:can0.\n");
    QTest::newRow("download port") << download << noPort << portText;
    QTest::newRow("upload port") << upload << noPort << portText;
    QTest::newRow("download CAN bus") << download << badBus << busText;
    QTest::newRow("upload CAN bus") << upload << badBus << busText;
}

void tst_CliDownload::openErrorsNameWhatWasTried()
{
    QFETCH(QStringList, command);
    QFETCH(QStringList, options);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    const QString port = QDir(dir.path()).filePath(QStringLiteral("ttyUSB9"));
    QStringList args = command + options;
    args << "--h86-dir" << SimDevice::h86Directory() << "--yes";
    args.replaceInStrings(QStringLiteral("@os"), m_osImage);
    args.replaceInStrings(QStringLiteral("@out"), QDir(dir.path()).filePath("out.b86"));
    args.replaceInStrings(QStringLiteral("@port"), port);
    expected.replace(QStringLiteral("@port"), port);
    const Run r = cli(args);
    QCOMPARE(r.exitCode, 3);
    QVERIFY2(r.err.contains(expected), qPrintable(r.err));
    if (expected.startsWith(QLatin1String("\n\nPort"))) {
        // The error's own text first, the doctor's advice for that port after the port line.
        QVERIFY2(r.err.contains(QLatin1String("Open COM error: ")), qPrintable(r.err));
        QVERIFY2(r.err.contains(QLatin1String("set COM1 to that path"))
                     || r.err.contains(QLatin1String("Set COM1 to one of them")),
                 qPrintable(r.err));
    }
}

void tst_CliDownload::bootPromptOnStdin()
{
    {
        SimDevice sim;
        QVERIFY(sim.isReady());
        // End of input declines the prompt.
        const Run r = cli({"download", m_osImage, "--device", "46xx", "--port", sim.serialPath(),
                           "--h86-dir", SimDevice::h86Directory()});
        QCOMPARE(r.exitCode, 3);
        QVERIFY(r.err.contains(
            QLatin1String("Please press the boot pushbutton\nand restart your hardware now!")));
        QCOMPARE(r.out, QString());
    }
    SimDevice sim;
    QVERIFY(sim.isReady());
    const Run r = cli({"download", m_osImage, "--device", "46xx", "--port", sim.serialPath(),
                       "--h86-dir", SimDevice::h86Directory()},
                      "\n");
    QCOMPARE(r.exitCode, 0);
}

void tst_CliDownload::ctrlCIsUserBreak()
{
    SimDeviceOptions options;
    options.baud = 9600; // slow enough to interrupt
    SimDevice sim(options);
    QVERIFY(sim.isReady());
    QProcess p;
    p.start(cliPath(),
            {"download", m_osImage, "--device", "46xx", "--port", sim.serialPath(), "--h86-dir",
             SimDevice::h86Directory(), "--yes"});
    QVERIFY(p.waitForStarted());
    QString out;
    QTRY_VERIFY_WITH_TIMEOUT((out += QString::fromLocal8Bit(p.readAllStandardOutput()))
                                 .contains(QLatin1String("Start flash programming...")),
                             20000);
    ::kill(pid_t(p.processId()), SIGINT);
    QVERIFY(p.waitForFinished(10000));
    out += QString::fromLocal8Bit(p.readAllStandardOutput());
    QCOMPARE(p.exitCode(), 2);
    QVERIFY(out.contains(QLatin1String("TIMEOUT\n\nFlash programming aborted:\n\nUser break!")));
    QVERIFY(sim.waitForFinished()); // the port was closed: the one-shot device ends
}

void tst_CliDownload::infoAndConvert()
{
    const Run info = cli({"info", m_osImage, "--device", "46xx"});
    QCOMPARE(info.exitCode, 0);
    QVERIFY(info.out.contains(QLatin1String("Content: Operating system")));
    QVERIFY(info.out.contains(QLatin1String("DataEnd: 0x4100 (16640)")));
    QVERIFY(info.out.contains(QLatin1String("EndSector: 2")));

    const QString b86 = QDir(m_dir.path()).filePath(QStringLiteral("os.b86"));
    const Run convert = cli({"convert", m_osImage, b86, "--device", "46xx"});
    QCOMPARE(convert.exitCode, 0);
    QCOMPARE(QFileInfo(b86).size(), 0x100008);
    const Run again = cli({"info", b86});
    QVERIFY(again.out.contains(QLatin1String("Content: Operating system")));
    const Run contradiction = cli({"info", b86, "--device", "4610"});
    QCOMPARE(contradiction.exitCode, 1);
}

// An image with data past the operating-system sectors, converted to B86, programs the device
// exactly as a direct download of the image does: the B86 names the same sectors.
void tst_CliDownload::convertedImageDownloadsEveryByte()
{
    const QByteArray far = countingPattern(0x400, 3);
    const QString hex = writeTestFile(m_dir, QStringLiteral("far.hex"),
                                      H86Builder()
                                          .data(0, m_osData.left(0x100))
                                          .data(0x9C000, far) // sector 12
                                          .data(0xFFC00, far) // up to the last byte of sector 18
                                          .end()
                                          .text());
    const QString b86 = QDir(m_dir.path()).filePath(QStringLiteral("far.b86"));
    const Run convert = cli({"convert", hex, b86, "--device", "46xx"});
    QVERIFY2(convert.exitCode == 0, qPrintable(convert.err));

    QByteArray flash[2];
    const QStringList images[2] = {{hex, "--device", "46xx"}, {b86}};
    for (int i = 0; i < 2; ++i) {
        SimDevice sim;
        QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
        const Run r = cli(QStringList {"download"} + images[i]
                          + QStringList {"--port", sim.serialPath(), "--h86-dir",
                                         SimDevice::h86Directory(), "--yes"});
        QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
        QVERIFY2(r.out.contains(QLatin1String("Erasing flash sectors 0 up to 18...")),
                 qPrintable(r.out));
        QVERIFY(sim.waitForFinished());
        flash[i] = sim.flash();
    }
    QCOMPARE(flash[0].mid(0x9C000, far.size()), far);
    QCOMPARE(flash[0].right(far.size()), far);
    QVERIFY(flash[1] == flash[0]);
}

QTEST_GUILESS_MAIN(tst_CliDownload)
#include "tst_clidownload.moc"
