#include "base/BKGlobal.h"
#include "base/RegistryUnit.h"
#include "base/SettingsStore.h"
#include "support/TempSettings.h"

#include <QFile>
#include <QSettings>
#include <QTest>

#include <unistd.h>

using namespace RegistryUnit;

class tst_RegistryUnit : public QObject
{
    Q_OBJECT

private:
    // Writes raw INI lines, as a hand-edited or damaged file would hold them.
    static void writeIni(const TempSettings &temp, const QByteArray &body)
    {
        QDir().mkpath(QFileInfo(temp.iniFile()).absolutePath());
        QFile f(temp.iniFile());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("[General]\n" + body);
    }

private slots:
    void firstStartGivesDefaults()
    {
        TempSettings temp;
        TSettings s;
        s.UploadOpt3 = true; // must be overwritten
        s.CANIOPort = 2;
        TSerialSelection serial {5, 8};
        LoadSettings(s, serial);
        QCOMPARE(serial.PortIndex, 0);
        QCOMPARE(serial.Baudrate, 8); // the component's current rate stays
        QCOMPARE(s.brDefault, quint8(7));
        QCOMPARE(s.brCVBRDx, quint8(7));
        QVERIFY(!s.DownloadOpt1);
        QVERIFY(!s.UploadOpt1 && !s.UploadOpt2 && !s.UploadOpt3 && !s.UploadOpt4 && !s.UploadOpt5
                && !s.UploadOpt6);
        QVERIFY(!s.CANEnabled);
        QVERIFY(!s.CANEPP);
        QCOMPARE(s.COMInterface, 0);
        QCOMPARE(s.CANBaudrate, quint8(7));
        QCOMPARE(s.CANIOPort, quint8(11));
        QCOMPARE(s.CANInterrupt, quint8(3));
        QVERIFY(!QFile::exists(temp.iniFile())); // reading never creates the file
    }

    void roundTrip()
    {
        TempSettings temp;
        TSettings out;
        out.brDefault = 4;
        out.brCVBRDx = 8;
        out.DownloadOpt1 = true;
        out.DownloadVerify = true;
        out.UploadOpt2 = true;
        out.UploadOpt6 = true;
        out.COMInterface = 2;
        out.CANEnabled = true;
        out.CANEPP = true;
        out.CANBaudrate = 5;
        out.CANIOPort = 14;
        out.CANInterrupt = 8;
        QVERIFY(SaveSettings(out, {15, 3}));

        TSettings in;
        TSerialSelection serial {0, 7};
        LoadSettings(in, serial);
        QCOMPARE(serial.PortIndex, 15);
        QCOMPARE(serial.Baudrate, 3);
        QCOMPARE(in.brDefault, out.brDefault);
        QCOMPARE(in.brCVBRDx, out.brCVBRDx);
        QCOMPARE(in.DownloadOpt1, true);
        QCOMPARE(in.DownloadVerify, true);
        QCOMPARE(in.UploadOpt1, false);
        QCOMPARE(in.UploadOpt2, true);
        QCOMPARE(in.UploadOpt6, true);
        QCOMPARE(in.COMInterface, 2);
        QCOMPARE(in.CANEnabled, true);
        QCOMPARE(in.CANEPP, true);
        QCOMPARE(in.CANBaudrate, quint8(5));
        QCOMPARE(in.CANIOPort, quint8(14));
        QCOMPARE(in.CANInterrupt, quint8(8));

        // Integers are stored as plain decimal numbers.
        QFile f(temp.iniFile());
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray text = f.readAll();
        QVERIFY(text.contains("COMPort=16\n"));
        QVERIFY(text.contains("CANEnabled=1\n"));
    }

    void badStoredValues_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("field");
        QTest::addColumn<int>("expected");

        QTest::newRow("port as text") << QByteArray("COMPort=COM3") << "port" << 0;
        QTest::newRow("port 17") << QByteArray("COMPort=17") << "port" << 0;
        QTest::newRow("port 0") << QByteArray("COMPort=0") << "port" << 0;
        QTest::newRow("port 16") << QByteArray("COMPort=16") << "port" << 15;
        QTest::newRow("port hex") << QByteArray("COMPort=0x3") << "port" << 0;
        QTest::newRow("baud 9") << QByteArray("Baudrate=9") << "baud" << 7;
        QTest::newRow("baud -1") << QByteArray("Baudrate=-1") << "baud" << 7;
        QTest::newRow("baud 8") << QByteArray("Baudrate=8") << "baud" << 8;
        QTest::newRow("brDefault 8") << QByteArray("brDefault=8") << "brDefault" << 7;
        QTest::newRow("brDefault 5") << QByteArray("brDefault=5") << "brDefault" << 7;
        QTest::newRow("brDefault 259") << QByteArray("brDefault=259") << "brDefault" << 7;
        QTest::newRow("brDefault 6") << QByteArray("brDefault=6") << "brDefault" << 6;
        QTest::newRow("brCVBRDx 8") << QByteArray("brCVBRDx=8") << "brCVBRDx" << 8;
        QTest::newRow("brCVBRDx 2") << QByteArray("brCVBRDx=2") << "brCVBRDx" << 7;
        QTest::newRow("CANBaudrate 4") << QByteArray("CANBaudrate=4") << "CANBaudrate" << 7;
        QTest::newRow("CANBaudrate 5") << QByteArray("CANBaudrate=5") << "CANBaudrate" << 5;
        QTest::newRow("CANIOPort 15") << QByteArray("CANIOPort=15") << "CANIOPort" << 11;
        QTest::newRow("CANIOPort 14") << QByteArray("CANIOPort=14") << "CANIOPort" << 14;
        QTest::newRow("CANInterrupt 9") << QByteArray("CANInterrupt=9") << "CANInterrupt" << 3;
        QTest::newRow("CANInterrupt text")
            << QByteArray("CANInterrupt=IRQ7") << "CANInterrupt" << 3;
        QTest::newRow("interface 3")
            << QByteArray("CANEnabled=1\nCOMInterface=3") << "COMInterface" << 0;
        QTest::newRow("interface 2, dongle on")
            << QByteArray("CANEnabled=1\nCOMInterface=2") << "COMInterface" << 2;
        QTest::newRow("interface 2, dongle off")
            << QByteArray("CANEnabled=0\nCOMInterface=2") << "COMInterface" << 0;
        QTest::newRow("bool as word") << QByteArray("UploadOpt1=true") << "UploadOpt1" << 1;
        QTest::newRow("bool 2") << QByteArray("UploadOpt1=2") << "UploadOpt1" << 1;
        QTest::newRow("bool yes") << QByteArray("UploadOpt1=yes") << "UploadOpt1" << 1;
        QTest::newRow("bool TRUE") << QByteArray("UploadOpt1=TRUE") << "UploadOpt1" << 1;
        QTest::newRow("bool false") << QByteArray("UploadOpt1=false") << "UploadOpt1" << 0;
        QTest::newRow("bool No") << QByteArray("UploadOpt1=No") << "UploadOpt1" << 0;
        QTest::newRow("bool other word") << QByteArray("UploadOpt1=on") << "UploadOpt1" << 0;
        QTest::newRow("dongle on as word")
            << QByteArray("CANEnabled=yes\nCOMInterface=1") << "COMInterface" << 1;
        QTest::newRow("dongle off as word")
            << QByteArray("CANEnabled=false\nCOMInterface=1") << "COMInterface" << 0;
        QTest::newRow("blank") << QByteArray("brCVBRDx= 4") << "brCVBRDx" << 4;
    }

    void badStoredValues()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, field);
        QFETCH(int, expected);
        TempSettings temp;
        writeIni(temp, line + '\n');
        TSettings s;
        TSerialSelection serial {0, 7};
        LoadSettings(s, serial);
        const QHash<QString, int> got {
            {"port", serial.PortIndex},       {"baud", serial.Baudrate},
            {"brDefault", s.brDefault},       {"brCVBRDx", s.brCVBRDx},
            {"CANBaudrate", s.CANBaudrate},   {"CANIOPort", s.CANIOPort},
            {"CANInterrupt", s.CANInterrupt}, {"COMInterface", s.COMInterface},
            {"UploadOpt1", s.UploadOpt1},
        };
        QVERIFY(got.contains(field));
        QCOMPARE(got.value(field), expected);
    }

    void placementKeepsNormalGeometryWhenMaximised()
    {
        TempSettings temp;
        QVERIFY(SavePlacement({10, 20, 700, 500, StateNormal}));
        QVERIFY(SavePlacement({0, 0, 1920, 1080, StateMaximized}));
        const TWindowPlacement p = LoadPlacement({1, 2, 3, 4, StateNormal});
        QCOMPARE(p.Left, 10);
        QCOMPARE(p.Top, 20);
        QCOMPARE(p.Width, 700);
        QCOMPARE(p.Height, 500);
        QCOMPARE(p.State, StateMaximized);
    }

    void placementDefaults()
    {
        TempSettings temp;
        writeIni(temp, "State=7\nWidth=wide\n");
        const TWindowPlacement p = LoadPlacement({1, 2, 3, 4, StateNormal});
        QCOMPARE(p.Left, 1);
        QCOMPARE(p.Width, 3);
        QCOMPARE(p.State, StateNormal);
    }

    void flagWordsThroughTheStore()
    {
        TempSettings temp;
        writeIni(temp, "CANEnabled=Yes\nCANEPP=no\n");
        QVERIFY(SettingsStore::readBool(QStringLiteral("CANEnabled")));
        QVERIFY(!SettingsStore::readBool(QStringLiteral("CANEPP")));
    }

    void portPaths_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("path");
        QTest::newRow("plain") << QByteArray("COM1=/dev/ttyUSB0") << "/dev/ttyUSB0";
        QTest::newRow("comma") << QByteArray("COM1=/dev/serial/by-id/usb-FTDI,_Inc-if00")
                               << "/dev/serial/by-id/usb-FTDI,_Inc-if00";
        QTest::newRow("comma and blank") << QByteArray("COM1=/tmp/a, b") << "/tmp/a, b";
        QTest::newRow("quoted comma") << QByteArray("COM1=\"/tmp/a,b\"") << "/tmp/a,b";
        QTest::newRow("blanks around") << QByteArray("COM1 =  /dev/ttyACM0  ") << "/dev/ttyACM0";
        QTest::newRow("empty") << QByteArray("COM1=") << "/dev/ttyS0";
        QTest::newRow("blank") << QByteArray("COM1=   ") << "/dev/ttyS0";
        QTest::newRow("other port only") << QByteArray("COM2=/dev/ttyUSB1") << "/dev/ttyS0";
    }

    void portPaths()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, path);
        TempSettings temp;
        SettingsStore::clearOverrides();
        writeIni(temp, "COM1=/dev/wrong-group\n[Ports]\n" + line + "\n[Other]\nCOM1=/dev/wrong\n");
        QCOMPARE(SettingsStore::comPortDevicePath(0), path);
    }

    void portPathWrittenWithACommaReadsBack()
    {
        TempSettings temp;
        SettingsStore::clearOverrides();
        QVERIFY(SettingsStore::setComPortDevicePath(2, QStringLiteral("/tmp/x,y")));
        QCOMPARE(SettingsStore::comPortDevicePath(2), QStringLiteral("/tmp/x,y"));
        // Clearing the path gives the port its default back.
        QVERIFY(SettingsStore::setComPortDevicePath(2, QString()));
        QCOMPARE(SettingsStore::comPortDevicePath(2), QStringLiteral("/dev/ttyS2"));
    }

    void readableSettingsAreNoProblem()
    {
        TempSettings temp;
        QCOMPARE(SettingsStore::readProblem(), QString()); // a first start: nothing there
        writeIni(temp, "COMPort=2\n");
        QCOMPARE(SettingsStore::readProblem(), QString());
    }

    void unreadableSettingsAreReported_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("folder in place of the file") << "folder"
                                                     << "not a regular file";
        QTest::newRow("file in place of the folder") << "file"
                                                     << "Not a directory";
        QTest::newRow("file without read permission") << "mode"
                                                      << "Permission denied";
        QTest::newRow("folder without permission") << "dirmode"
                                                   << "Permission denied";
    }

    void unreadableSettingsAreReported()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        TempSettings temp;
        const QString folder = QFileInfo(temp.iniFile()).absolutePath();
        if (kind == QLatin1String("folder")) {
            QVERIFY(QDir().mkpath(temp.iniFile()));
        } else if (kind == QLatin1String("file")) {
            QFile f(folder);
            QVERIFY(f.open(QIODevice::WriteOnly));
        } else {
            // Permissions do not stop a privileged process.
            if (::geteuid() == 0)
                QSKIP("root reads every file");
            writeIni(temp, "COMPort=2\n");
            if (kind == QLatin1String("mode"))
                QVERIFY(QFile::setPermissions(temp.iniFile(), QFileDevice::WriteOwner));
            else
                QVERIFY(QFile::setPermissions(folder, QFileDevice::WriteOwner));
        }
        const QString problem = SettingsStore::readProblem();
        if (kind == QLatin1String("dirmode"))
            QFile::setPermissions(
                folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QVERIFY2(problem.contains(temp.iniFile()), qPrintable(problem));
        QVERIFY2(problem.contains(reason), qPrintable(problem));

        // The settings themselves fall back to the defaults.
        TSettings s;
        TSerialSelection serial {0, 7};
        LoadSettings(s, serial);
        QCOMPARE(serial.PortIndex, 0);
    }

    void saveIntoUnwritableStoreFails()
    {
        TempSettings temp;
        QDir().mkpath(QFileInfo(temp.iniFile()).absolutePath());
        // A directory where the file should be: nothing can be written.
        QVERIFY(QDir().mkpath(temp.iniFile()));
        QVERIFY(!SaveSettings(TSettings(), {0, 7}));
    }
};

QTEST_GUILESS_MAIN(tst_RegistryUnit)
#include "tst_RegistryUnit.moc"
