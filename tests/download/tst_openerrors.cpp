#include "support/FakeLinks.h"
#include "support/TestSetup.h"
#include "support/TransferProbe.h"
#include "support/VirtualTimerSource.h"

#include "base/BKGlobal.h"
#include "base/SettingsStore.h"
#include "comm/CanBusSetting.h"
#include "comm/PortDiagnosis.h"
#include "download/DownloadTransfer.h"
#include "transfer/TargetDiagnosis.h"
#include "transfer/TargetFiles.h"
#include "transfer/TransferMessages.h"
#include "upload/UploadTransfer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <tuple>
#include <utility>

// The boxes that stop a download or an upload before it starts, over RS-232 and CAN: each
// names what it tried and brings the doctor's hint for it.
class tst_OpenErrors : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void comErrorText_data();
    void comErrorText();
    void hintIsTheLastLine();
    void foldersSearched();
    void portThatCannotBeOpened_data();
    void portThatCannotBeOpened();
    void missingTargetFile_data();
    void missingTargetFile();
    void canBusSetting_data();
    void canBusSetting();
};

namespace {

enum class Direction { Download, Upload };

// One transfer of either direction on the fakes, with its target files in a folder of its own.
struct Run
{
    TransferSetup setup(const QString &portName, const QString &portPath, const QString &canBus)
    {
        TransferSetup result = testSetup(dir.path(), clock, portPath);
        result.portName = portName;
        result.canBus = canBus;
        return result;
    }

    QTemporaryDir dir;
    VirtualTimerSource clock;
    FakeSerialLink serial;
    std::shared_ptr<FakeCanBus> bus = std::make_shared<FakeCanBus>();
    std::unique_ptr<TransferSession> transfer;
    std::unique_ptr<TransferProbe> probe;

    Run(Direction direction, int comInterface, const QString &portName = {},
        const QString &portPath = {}, const QString &canBus = QStringLiteral("virtualcan:can0"))
    {
        TargetFiles::setDirectory(dir.path());
        const TransferSession::CanLinkFactory factory = [bus = bus] {
            return std::make_unique<FakeCanLink>(bus);
        };
        if (direction == Direction::Download) {
            DownloadRequest r;
            r.image = QByteArray(0x100008, char(0xFF));
            r.fileName = QStringLiteral("/tmp/os.h86");
            r.endSector = OperatingSystemEndSector;
            r.dataEnd = 4;
            r.deviceType = DeviceKind::Device46xx;
            r.settings.COMInterface = comInterface;
            transfer = std::make_unique<DownloadTransfer>(serial, factory, r,
                                                          setup(portName, portPath, canBus));
        } else {
            UploadSetup s;
            s.deviceType = DeviceKind::Device46xx;
            s.EndSector = OperatingSystemEndSector;
            s.comInterface = comInterface;
            transfer = std::make_unique<UploadTransfer>(s, serial, factory,
                                                        setup(portName, portPath, canBus));
        }
        TargetFiles::setDirectory(QString());
        for (const QString &file : {transfer->loaderFile(), transfer->programFile()}) {
            QFile f(file);
            if (f.open(QIODevice::WriteOnly))
                f.write(":0100000000FF\r\n:00000001FF\r\n");
        }
        probe = std::make_unique<TransferProbe>(*transfer);
    }

    void start()
    {
        transfer->start();
        clock.settle();
    }
};

QString devicePathIn(const QTemporaryDir &dir)
{
    return QDir(dir.path()).filePath(QStringLiteral("ttyUSB7"));
}

void addDirections()
{
    QTest::addColumn<Direction>("direction");
    QTest::addColumn<int>("comInterface");
}

} // namespace

Q_DECLARE_METATYPE(Direction)

void tst_OpenErrors::cleanup()
{
    SettingsStore::clearOverrides();
    TargetFiles::setDirectory(QString());
}

void tst_OpenErrors::comErrorText_data()
{
    QTest::addColumn<QString>("system");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");
    QTest::newRow("port and path") << "Permission denied"
                                   << "COM2"
                                   << "/dev/ttyUSB1"
                                   << "Permission denied\r\n\r\nPort: COM2 (/dev/ttyUSB1)";
    QTest::newRow("no system text") << " "
                                    << "COM1"
                                    << "/dev/ttyS0"
                                    << "Unknown Error!\r\n\r\nPort: COM1 (/dev/ttyS0)";
    QTest::newRow("port never described") << "Input/output error"
                                          << ""
                                          << ""
                                          << "Input/output error";
    QTest::newRow("name without path") << "Busy"
                                       << "COM4"
                                       << ""
                                       << "Busy\r\n\r\nPort: COM4";
}

void tst_OpenErrors::comErrorText()
{
    QFETCH(QString, system);
    QFETCH(QString, port);
    QFETCH(QString, path);
    QTEST(TransferMessages::openComError(system, port, path), "expected");
}

void tst_OpenErrors::hintIsTheLastLine()
{
    QCOMPARE(TransferMessages::withHint(QStringLiteral("Busy"), QStringLiteral("Close it.")),
             QStringLiteral("Busy\r\n\r\nClose it."));
    QCOMPARE(TransferMessages::withHint(QStringLiteral("Busy"), QStringLiteral("  ")),
             QStringLiteral("Busy"));
}

// Three folders searched: the first is missing, the second is taken, the third is not reached.
void tst_OpenErrors::foldersSearched()
{
    QTemporaryDir root;
    const QString missing = QDir(root.path()).filePath(QStringLiteral("gone"));
    const QString used = QDir(root.path()).filePath(QStringLiteral("used"));
    const QString other = QDir(root.path()).filePath(QStringLiteral("other"));
    QVERIFY(QDir().mkpath(used));
    QVERIFY(QDir().mkpath(other));
    QCOMPARE(TransferMessages::missingTargetFile(QDir(used).filePath(QStringLiteral("ULoader.H86")),
                                                 QStringLiteral("Upload"), {missing, used, other}),
             QStringLiteral("Missing bootstrap loader file!\r\n\r\nFile: ULoader.H86\r\n\r\n"
                            "Upload will be aborted!\r\n\r\nFolders searched: 1) %1 (missing), "
                            "2) %2 (used), 3) %3 (no target programs)")
                 .arg(missing, used, other));
    // A file outside the search names its own folder alone.
    QCOMPARE(TransferMessages::missingTargetFile(QDir(other).filePath(QStringLiteral("X.H86")),
                                                 QStringLiteral("Download"), {used}),
             QStringLiteral("Missing bootstrap loader file!\r\n\r\nFile: X.H86\r\n\r\n"
                            "Download will be aborted!\r\n\r\nFolder searched: 1) %1 (used)")
                 .arg(other));
}

void tst_OpenErrors::portThatCannotBeOpened_data()
{
    addDirections();
    QTest::addColumn<int>("status");
    for (const auto &[name, direction] :
         {std::pair("download", Direction::Download), std::pair("upload", Direction::Upload)}) {
        for (const auto &[iface, comInterface] : {std::pair("rs232", 0), std::pair("can2", 2)}) {
            QTest::addRow("%s %s raises", name, iface)
                << direction << comInterface << int(SerialLink::OpenStatus::Raised);
            QTest::addRow("%s %s not active", name, iface)
                << direction << comInterface << int(SerialLink::OpenStatus::NotActive);
        }
    }
}

void tst_OpenErrors::portThatCannotBeOpened()
{
    QFETCH(Direction, direction);
    QFETCH(int, comInterface);
    QFETCH(int, status);
    QTemporaryDir devices;
    const QString path = devicePathIn(devices);
    SettingsStore::overrideComPortDevicePath(1, path);
    Run run(direction, comInterface, QStringLiteral("COM2"), path);
    run.serial.openResult = {SerialLink::OpenStatus(status), QStringLiteral("Permission denied")};
    run.serial.lastError = QStringLiteral("Permission denied");
    run.start();

    QCOMPARE(run.probe->boxes.size(), 1);
    QCOMPARE(run.probe->boxes.first().title, QStringLiteral("Open COM error"));
    QCOMPARE(run.probe->boxes.first().text,
             QStringLiteral("Permission denied\r\n\r\nPort: COM2 (%1)").arg(path));
    // The doctor's advice for that very path, which does not exist.
    QVERIFY(!run.probe->boxes.first().hint.isEmpty());
    QCOMPARE(run.probe->boxes.first().hint, PortDiagnosis::hintFor(path, QStringLiteral("COM2")));
    QVERIFY2(run.probe->boxes.first().hint.contains(QLatin1String("COM2 ")),
             qPrintable(run.probe->boxes.first().hint));
    QCOMPARE(run.probe->result().modalResult, 3);
    QVERIFY(!run.probe->promptShown);
    QCOMPARE(run.bus->opened, comInterface != 0);
}

void tst_OpenErrors::missingTargetFile_data()
{
    addDirections();
    QTest::addColumn<bool>("loader"); // the loader is missing, else the program
    QTest::addColumn<QString>("word");
    for (const auto &[name, direction, word] :
         {std::tuple("download", Direction::Download, "Download"),
          std::tuple("upload", Direction::Upload, "Upload")}) {
        for (const auto &[iface, comInterface] : {std::pair("rs232", 0), std::pair("can1", 1)}) {
            QTest::addRow("%s %s loader", name, iface)
                << direction << comInterface << true << QString::fromLatin1(word);
            QTest::addRow("%s %s program", name, iface)
                << direction << comInterface << false << QString::fromLatin1(word);
        }
    }
}

void tst_OpenErrors::missingTargetFile()
{
    QFETCH(Direction, direction);
    QFETCH(int, comInterface);
    QFETCH(bool, loader);
    QFETCH(QString, word);
    Run run(direction, comInterface);
    const QString missing = loader ? run.transfer->loaderFile() : run.transfer->programFile();
    QVERIFY(QFile::remove(missing));
    run.start();

    QCOMPARE(run.probe->boxes.size(), 1);
    QCOMPARE(run.probe->boxes.first().title, QStringLiteral("Brasvik"));
    QCOMPARE(run.probe->boxes.first().text,
             QStringLiteral("Missing bootstrap loader file!\r\n\r\nFile: %1\r\n\r\n%2 will be "
                            "aborted!\r\n\r\nFolder searched: 1) %3 (used)")
                 .arg(QFileInfo(missing).fileName(), word, run.dir.path()));
    QVERIFY(!run.probe->boxes.first().hint.isEmpty());
    QCOMPARE(run.probe->boxes.first().hint,
             TargetDiagnosis::hintForFile(missing, {run.dir.path()}));
    QCOMPARE(run.probe->result().modalResult, 3);
    QCOMPARE(run.serial.openCount, 0);
    QVERIFY(!run.bus->opened);
}

void tst_OpenErrors::canBusSetting_data()
{
    addDirections();
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("refused");
    for (const auto &each :
         {std::pair("download", Direction::Download), std::pair("upload", Direction::Upload)}) {
        // Named copies: a lambda may not capture structured bindings on every compiler.
        const char *const name = each.first;
        const Direction direction = each.second;
        const auto row = [&](const char *what, int comInterface, const char *value, bool refused) {
            QTest::addRow("%s %s", name, what)
                << direction << comInterface << QString::fromLatin1(value) << refused;
        };
        row("no plugin part", 2, "can0", true);
        row("no interface", 1, "socketcan:", true);
        row("blank in interface", 2, "socketcan:can 0", true);
        row("plugin not a name", 2, "peak-can:usb0", true);
        row("unknown plugin", 2, "nosuchplugin:can0", true);
        row("well formed", 2, "socketcan:can0", false);
        // Over RS-232 the bus is not used, so its setting does not stop the transfer.
        row("malformed but unused", 0, "can0", false);
    }
}

void tst_OpenErrors::canBusSetting()
{
    QFETCH(Direction, direction);
    QFETCH(int, comInterface);
    QFETCH(QString, value);
    QFETCH(bool, refused);
    Run run(direction, comInterface, {}, {}, value);
    run.start();
    if (!refused) {
        QVERIFY(run.probe->boxes.isEmpty());
        QVERIFY(run.probe->promptShown);
        return;
    }
    QCOMPARE(run.probe->boxes.size(), 1);
    QCOMPARE(run.probe->boxes.first().title, QStringLiteral("CAN bus setting error"));
    const QString text = run.probe->boxes.first().text;
    QCOMPARE(text, CanBusSettingProblem(value));
    QVERIFY2(text.contains(QLatin1String("\"CANBus\"")), qPrintable(text));
    QVERIFY2(text.contains(QLatin1Char('"') + value + QLatin1Char('"')), qPrintable(text));
    QVERIFY2(text.contains(QLatin1String("plugin:interface")), qPrintable(text));
    // Refused before the dongle or the port is touched.
    QVERIFY(!run.bus->opened);
    QCOMPARE(run.serial.openCount, 0);
    QCOMPARE(run.probe->result().modalResult, 3);
}

QTEST_GUILESS_MAIN(tst_OpenErrors)
#include "tst_openerrors.moc"
