#include "support/CliProcess.h"
#include "support/H86Builder.h"
#include "support/SimDevice.h"
#include "support/TempSettings.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <vector>

// brasvik-cli download and compare over several ports at once, against one simulated device per
// port: a failing device leaves the others alone, the summary and the exit status tell them
// apart, and what is refused is refused before anything is sent.
class tst_CliBatch : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void fourDevicesOneFailing_data();
    void fourDevicesOneFailing();
    void compareBatch_data();
    void compareBatch();
    void onePromptForAll_data();
    void onePromptForAll();
    void ctrlCBreaksAll();
    void oneCanBusPerPort();
    void refusedBeforeAnythingIsSent_data();
    void refusedBeforeAnythingIsSent();

private:
    struct Devices
    {
        std::vector<std::unique_ptr<SimDevice>> sims;
        QStringList ports() const;
        QStringList portArgs() const;
    };
    // Four devices; `faulty` (0-based, -1 for none) gets `options` instead of the defaults.
    static void startDevices(Devices *devices, int count, int faulty,
                             const SimDeviceOptions &options);
    QStringList download(const Devices &devices) const;
    // The summary's rows by port: "result bytes" and the report, split at the columns.
    static QHash<QString, QStringList> summaryRows(const QString &out, const QStringList &ports);

    TempSettings m_settings;
    QTemporaryDir m_dir;
    QString m_osImage;
    QByteArray m_osData;
};

namespace {

CliRun cli(const QStringList &args, const QByteArray &input = {})
{
    CliRunOptions options;
    options.input = input;
    options.timeoutMs = 90000;
    return runCli(args, options);
}

} // namespace

QStringList tst_CliBatch::Devices::ports() const
{
    QStringList out;
    for (const auto &sim : sims)
        out << sim->serialPath();
    return out;
}

QStringList tst_CliBatch::Devices::portArgs() const
{
    QStringList out;
    for (const auto &sim : sims)
        out << QStringLiteral("--port") << sim->serialPath();
    return out;
}

void tst_CliBatch::initTestCase()
{
    QVERIFY(QFileInfo(cliPath()).isExecutable());
    m_osData = countingPattern(0x4100);
    m_osImage = writeTestFile(m_dir, QStringLiteral("os.h86"),
                              H86Builder().data(0, m_osData, 32).end().text());
    QVERIFY(!m_osImage.isEmpty());
}

void tst_CliBatch::startDevices(Devices *devices, int count, int faulty,
                                const SimDeviceOptions &options)
{
    for (int i = 0; i < count; ++i) {
        devices->sims.push_back(
            std::make_unique<SimDevice>(i == faulty ? options : SimDeviceOptions()));
        QVERIFY2(devices->sims.back()->isReady(),
                 qPrintable(devices->sims.back()->errorString()));
    }
}

QStringList tst_CliBatch::download(const Devices &devices) const
{
    return QStringList {"download", m_osImage, "--device", "46xx", "--h86-dir",
                        SimDevice::h86Directory()}
    + devices.portArgs();
}

QHash<QString, QStringList> tst_CliBatch::summaryRows(const QString &out, const QStringList &ports)
{
    QHash<QString, QStringList> rows;
    const QStringList lines = out.split(u'\n', Qt::SkipEmptyParts);
    static const QRegularExpression heading(QStringLiteral("^Port +Result +Bytes +Time +Report$"));
    qsizetype header = lines.size() - 1;
    while (header >= 0 && !heading.match(lines.at(header)).hasMatch())
        --header;
    if (header < 0)
        return rows;
    for (const QString &line : lines.mid(header + 1)) {
        for (const QString &port : ports) {
            if (line.startsWith(port + u' ')) {
                const QStringList f = line.mid(port.size()).simplified().split(u' ');
                // result, bytes, time, then the report's words
                rows.insert(port, {f.value(0), f.value(1), f.value(2),
                                   f.mid(3).join(u' ')});
            }
        }
    }
    return rows;
}

void tst_CliBatch::fourDevicesOneFailing_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<int>("idByte");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("report");
    QTest::newRow("all succeed") << QStringList() << 0xC5 << 0 << "ok"
                                 << "Flash programming successful: 16640 bytes programmed";
    QTest::newRow("silence") << QStringList {"--silent-from", "block:20"} << 0xC5 << 2 << "failed"
                             << "Flash programming aborted:";
    QTest::newRow("compare error") << QStringList {"--compare-error", "3"} << 0xC5 << 2
                                   << "failed" << "Flash programming aborted:";
    QTest::newRow("hang-up") << QStringList {"--hangup-after-rx", "3000"} << 0xC5 << 2 << "failed"
                             << "Flash programming aborted:";
    QTest::newRow("wrong identification")
        << QStringList() << 0xB5 << 3 << "refused" << "Invalid Target-ID: B5";
}

void tst_CliBatch::fourDevicesOneFailing()
{
    QFETCH(QStringList, simArgs);
    QFETCH(int, idByte);
    QFETCH(int, exitCode);
    QFETCH(QString, result);
    QFETCH(QString, report);
    constexpr int Faulty = 2;
    SimDeviceOptions faulty;
    faulty.idByte = idByte;
    faulty.extraArguments = simArgs;
    Devices devices;
    startDevices(&devices, 4, Faulty, faulty);
    if (QTest::currentTestFailed())
        return;
    const QStringList ports = devices.ports();

    const CliRun r = cli(download(devices) << "--yes");
    QVERIFY2(r.exitCode == exitCode, qPrintable(r.out + r.err));

    // Every log line names its port, and each port has its whole log.
    const QStringList lines = r.out.left(r.out.lastIndexOf(QLatin1String("\nPort "))).split(u'\n');
    for (const QString &line : lines) {
        if (!line.isEmpty())
            QVERIFY2(line.startsWith(u'['), qPrintable(line));
    }
    for (int i = 0; i < 4; ++i) {
        if (i != Faulty || exitCode == 0)
            QVERIFY(lines.contains(QStringLiteral("[%1] Target-ID: C5").arg(ports[i])));
    }

    const QHash<QString, QStringList> rows = summaryRows(r.out, ports);
    QCOMPARE(rows.size(), 4);
    for (int i = 0; i < 4; ++i) {
        const QStringList row = rows.value(ports[i]);
        if (i == Faulty) {
            QCOMPARE(row.value(0), result);
            QVERIFY2(row.value(3).contains(report), qPrintable(row.value(3)));
        } else {
            QCOMPARE(row.value(0), QStringLiteral("ok"));
            QCOMPARE(row.value(1), QString::number(m_osData.size()));
        }
    }

    // The others finished whole; every port was closed (a one-shot device ends then).
    for (int i = 0; i < 4; ++i) {
        SimDevice &sim = *devices.sims[i];
        QVERIFY(sim.waitForFinished());
        if (i != Faulty || exitCode == 0) {
            QCOMPARE(sim.summaryValue(QStringLiteral("result")), QStringLiteral("download complete"));
            QCOMPARE(sim.flash().left(m_osData.size()), m_osData);
        }
    }
}

void tst_CliBatch::compareBatch_data()
{
    // Per device: e equal memory, d different memory, s silent during the reading.
    QTest::addColumn<QString>("devices");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("all equal") << "eeee" << 0;
    QTest::newRow("one differs") << "eede" << 4;
    QTest::newRow("one silent") << "esee" << 2;
    // A difference outweighs a failure.
    QTest::newRow("one differs, one silent") << "edse" << 4;
}

void tst_CliBatch::compareBatch()
{
    QFETCH(QString, devices);
    QFETCH(int, exitCode);
    QByteArray equal(0x100000 + 4096, char(0xFF));
    equal.replace(0, m_osData.size(), m_osData);
    QByteArray different = equal;
    different[0x2000] = char(different[0x2000] ^ 0x01);

    Devices sims;
    for (const QChar kind : devices) {
        SimDeviceOptions options;
        options.initialMemory = kind == u'd' ? different : equal;
        if (kind == u's')
            options.extraArguments = QStringList {"--silent-from", "block:10"};
        sims.sims.push_back(std::make_unique<SimDevice>(options));
        QVERIFY(sims.sims.back()->isReady());
    }
    const QStringList ports = sims.ports();
    const CliRun r = cli(QStringList {"compare", m_osImage, "--device", "46xx", "--h86-dir",
                                      SimDevice::h86Directory(), "--yes"}
                         + sims.portArgs());
    QVERIFY2(r.exitCode == exitCode, qPrintable(r.out + r.err));
    const QHash<QString, QStringList> rows = summaryRows(r.out, ports);
    QCOMPARE(rows.size(), devices.size());
    for (int i = 0; i < devices.size(); ++i) {
        const QString expected = devices[i] == u'e' ? QStringLiteral("ok")
            : devices[i] == u'd'                    ? QStringLiteral("different")
                                                    : QStringLiteral("failed");
        QCOMPARE(rows.value(ports[i]).value(0), expected);
    }
}

void tst_CliBatch::onePromptForAll_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("result");
    QTest::newRow("Enter") << QByteArray("\n") << 0 << "ok";
    QTest::newRow("end of input declines") << QByteArray() << 3 << "refused";
}

void tst_CliBatch::onePromptForAll()
{
    QFETCH(QByteArray, input);
    QFETCH(int, exitCode);
    QFETCH(QString, result);
    Devices devices;
    startDevices(&devices, 3, -1, {});
    if (QTest::currentTestFailed())
        return;
    const QStringList ports = devices.ports();
    const CliRun r = cli(download(devices), input);
    QVERIFY2(r.exitCode == exitCode, qPrintable(r.out + r.err));
    QCOMPARE(r.err.count(QLatin1String("Please press the boot pushbutton")), 1);
    QVERIFY2(r.err.contains(QStringLiteral("on all 3 devices (%1)\nand restart your hardware now!")
                                .arg(ports.join(QStringLiteral(", ")))),
             qPrintable(r.err));
    const QHash<QString, QStringList> rows = summaryRows(r.out, ports);
    for (const QString &port : ports)
        QCOMPARE(rows.value(port).value(0), result);
}

void tst_CliBatch::ctrlCBreaksAll()
{
    SimDeviceOptions slow;
    slow.baud = 9600; // slow enough to interrupt
    Devices devices;
    for (int i = 0; i < 2; ++i) {
        devices.sims.push_back(std::make_unique<SimDevice>(slow));
        QVERIFY(devices.sims.back()->isReady());
    }
    QProcess p;
    p.start(cliPath(), download(devices) << "--yes");
    QVERIFY(p.waitForStarted());
    QString out;
    QTRY_VERIFY_WITH_TIMEOUT((out += QString::fromLocal8Bit(p.readAllStandardOutput()))
                                     .count(QLatin1String("Start flash programming..."))
                                 == 2,
                             30000);
    ::kill(pid_t(p.processId()), SIGINT);
    QVERIFY(p.waitForFinished(15000));
    out += QString::fromLocal8Bit(p.readAllStandardOutput());
    QCOMPARE(p.exitCode(), 2);
    const QHash<QString, QStringList> rows = summaryRows(out, devices.ports());
    for (const QString &port : devices.ports()) {
        QCOMPARE(rows.value(port).value(0), QStringLiteral("failed"));
        QVERIFY(out.contains(QStringLiteral("[%1] User break!").arg(port)));
    }
    for (const auto &sim : devices.sims)
        QVERIFY(sim->waitForFinished());
}

// --can-bus once per --port, in the same order: each device is programmed over its own bus.
void tst_CliBatch::oneCanBusPerPort()
{
    SimDeviceOptions options;
    options.can = true;
    Devices devices;
    for (int i = 0; i < 2; ++i) {
        devices.sims.push_back(std::make_unique<SimDevice>(options));
        QVERIFY2(devices.sims.back()->isReady(), qPrintable(devices.sims.back()->errorString()));
    }
    QStringList args = download(devices) << "--interface" << "can1" << "--yes";
    for (const auto &sim : devices.sims)
        args << "--can-bus" << sim->canBus();
    const CliRun r = cli(args);
    QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
    const QHash<QString, QStringList> rows = summaryRows(r.out, devices.ports());
    for (const QString &port : devices.ports()) {
        QCOMPARE(rows.value(port).value(0), QStringLiteral("ok"));
        QCOMPARE(rows.value(port).value(1), QString::number(m_osData.size()));
    }
    for (const auto &sim : devices.sims) {
        QVERIFY(sim->waitForFinished());
        QCOMPARE(sim->flash().left(m_osData.size()), m_osData);
        QVERIFY(!sim->canMessages().isEmpty());
    }
}

void tst_CliBatch::refusedBeforeAnythingIsSent_data()
{
    QTest::addColumn<QStringList>("args"); // PORT stands for the next device's path
    QTest::addColumn<QString>("message");
    QTest::newRow("CAN bus shared")
        << QStringList {"download", "IMAGE", "--device", "46xx", "--interface", "can1",
                        "--can-bus", "virtualcan:tcp://127.0.0.1:9/can7", "--port", "PORT",
                        "--port", "PORT"}
        << "the CAN bus virtualcan:tcp://127.0.0.1:9/can7 carries one transfer at a time";
    QTest::newRow("one CAN bus named for two ports")
        << QStringList {"download", "IMAGE", "--device", "46xx", "--interface", "can1",
                        "--can-bus", "virtualcan:tcp://127.0.0.1:9/can1", "--can-bus",
                        "virtualcan:tcp://127.0.0.1:9/can1", "--port", "PORT", "--port", "PORT"}
        << "the CAN bus virtualcan:tcp://127.0.0.1:9/can1 carries one transfer at a time";
    QTest::newRow("one CAN bus spelled two ways")
        << QStringList {"download", "IMAGE", "--device", "46xx", "--interface", "can1",
                        "--can-bus", "virtualcan:tcp://127.0.0.1:9/can1", "--can-bus",
                        "VirtualCAN:tcp://LOCALHOST:9/can1/", "--port", "PORT", "--port", "PORT"}
        << "the CAN bus virtualcan:tcp://127.0.0.1:9/can1 carries one transfer at a time";
    QTest::newRow("CAN buses not one per port")
        << QStringList {"download", "IMAGE", "--device", "46xx", "--interface", "can1",
                        "--can-bus", "virtualcan:tcp://127.0.0.1:9/can1", "--can-bus",
                        "virtualcan:tcp://127.0.0.1:9/can2", "--can-bus",
                        "virtualcan:tcp://127.0.0.1:9/can3", "--port", "PORT", "--port", "PORT"}
        << "--can-bus is given 3 times for 2 ports: give it once, or once per --port in the "
           "same order";
    QTest::newRow("upload takes one port")
        << QStringList {"upload", "flash", "OUT", "--device", "46xx", "--port", "PORT",
                        "--port", "PORT"}
        << "upload reads one device: give --port once";
    QTest::newRow("same port twice")
        << QStringList {"download", "IMAGE", "--device", "46xx", "--port", "COM3", "--port",
                        "com3"}
        << "--port COM3 is given twice";
    QTest::newRow("a path and its COM port")
        << QStringList {"compare", "IMAGE", "--device", "46xx", "--port", "COM2", "--port",
                        "LINKED"}
        << "--port COM2 and --port ";
    QTest::newRow("no such COM port")
        << QStringList {"download", "IMAGE", "--device", "46xx", "--port", "PORT", "--port",
                        "COM17"}
        << "--port must be COM1 to COM16 or a device path";
}

void tst_CliBatch::refusedBeforeAnythingIsSent()
{
    QFETCH(QStringList, args);
    Devices devices;
    startDevices(&devices, 2, -1, {});
    if (QTest::currentTestFailed())
        return;
    // COM2 names the first device in the settings; LINKED is a link to it.
    QFile ini(m_settings.iniFile());
    QDir().mkpath(QFileInfo(ini).path());
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write(QStringLiteral("[Ports]\nCOM2=%1\n").arg(devices.sims[0]->serialPath()).toUtf8());
    ini.close();
    const QString linked = QDir(m_dir.path()).filePath(QStringLiteral("linked"));
    QFile::remove(linked);
    QVERIFY(QFile::link(devices.sims[0]->serialPath(), linked));

    int next = 0;
    for (QString &arg : args) {
        if (arg == QLatin1String("PORT"))
            arg = devices.sims[next++]->serialPath();
        else if (arg == QLatin1String("IMAGE"))
            arg = m_osImage;
        else if (arg == QLatin1String("OUT"))
            arg = QDir(m_dir.path()).filePath(QStringLiteral("out.b86"));
        else if (arg == QLatin1String("LINKED"))
            arg = linked;
    }
    const CliRun r = cli(args << "--h86-dir" << SimDevice::h86Directory() << "--yes");
    QFile::remove(m_settings.iniFile());
    QFETCH(QString, message);
    CLI_VERIFY_REFUSED(r, message);
    for (const auto &sim : devices.sims) {
        sim->stop();
        QCOMPARE(sim->hostBytes(), QByteArray());
    }
}

QTEST_GUILESS_MAIN(tst_CliBatch)
#include "tst_clibatch.moc"
