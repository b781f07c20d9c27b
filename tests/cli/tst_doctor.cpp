#include "support/H86Builder.h"
#include "support/PtyPair.h"
#include "support/TempSettings.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

// brasvik-cli doctor end to end: a sound setup on a pseudo-terminal passes, each problem gives
// a FAIL or WARN line with its hint and the matching exit status, and --json carries the same.
class tst_Doctor : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void soundSetupPasses();
    void json();
    void problems_data();
    void problems();
    void portHeldByAnotherProcess();
    void virtualCanBus();
    void standInsAreFlagged();
    void usageErrors_data();
    void usageErrors();

private:
    struct Run
    {
        int exitCode = -1;
        QString out;
        QString err;
    };
    Run doctor(const QStringList &args);
    void writeSettings(const QByteArray &content);
    // The line starting with `verdict` that contains `fragment`, with the hint line after it.
    static QString lineWith(const QString &out, const QString &verdict, const QString &fragment);

    TempSettings m_settings;
    QTemporaryDir m_h86;
    PtyPair m_pty;
};

namespace {

QString cliPath()
{
    return QDir(qEnvironmentVariable("BRASVIK_BIN_DIR")).filePath(QStringLiteral("brasvik-cli"));
}

} // namespace

void tst_Doctor::initTestCase()
{
    QVERIFY(QFileInfo(cliPath()).isExecutable());
    QVERIFY(m_pty.isOpen());
    // A complete set of (made-up, non-stand-in) target programs for every device type over
    // RS-232.
    const QByteArray text = H86Builder().data(0, QByteArray(48, '\x3C')).end().text();
    for (const char *name :
         {"DLoader.H86", "Download.H86", "DLoaderNV.H86", "DownloadNV.H86", "ULoader.H86",
          "Upload.H86", "ULoaderNV.H86", "UploadNV.H86", "DLoaderIF.H86", "DownloadIF.H86",
          "DLoaderNVIF.H86", "DownloadNVIF.H86", "ULoaderIF.H86", "UploadIF.H86", "ULoaderNVIF.H86",
          "UploadNVIF.H86"}) {
        QFile f(QDir(m_h86.path()).filePath(QString::fromLatin1(name)));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
}

void tst_Doctor::init()
{
    writeSettings("[Ports]\nCOM2=" + m_pty.devicePath().toUtf8() + "\n[General]\nCOMPort=2\n");
}

void tst_Doctor::writeSettings(const QByteArray &content)
{
    QDir().mkpath(QFileInfo(m_settings.iniFile()).absolutePath());
    QFile f(m_settings.iniFile());
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
}

tst_Doctor::Run tst_Doctor::doctor(const QStringList &args)
{
    QProcess p;
    p.start(cliPath(), QStringList {QStringLiteral("doctor")} + args);
    Run r;
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

QString tst_Doctor::lineWith(const QString &out, const QString &verdict, const QString &fragment)
{
    const QStringList lines = out.split(u'\n');
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).startsWith(verdict) && lines.at(i).contains(fragment))
            return lines.at(i) + u'\n' + lines.value(i + 1);
    }
    return {};
}

void tst_Doctor::soundSetupPasses()
{
    const Run r = doctor({QStringLiteral("--h86-dir"), m_h86.path()});
    QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
    QVERIFY(r.err.isEmpty());
    QVERIFY2(!lineWith(r.out, QStringLiteral("OK "),
                       QStringLiteral("COM2 %1 is a character device").arg(m_pty.devicePath()))
                  .isEmpty(),
             qPrintable(r.out));
    QVERIFY(!lineWith(r.out, QStringLiteral("OK "), QStringLiteral("CAN: not in use")).isEmpty());
    QVERIFY(!lineWith(r.out, QStringLiteral("OK "),
                      QStringLiteral("for the VMC 4610 board: all 8 present"))
                 .isEmpty());
    QVERIFY2(r.out.trimmed().endsWith(QStringLiteral("0 FAIL")), qPrintable(r.out));
    QVERIFY(!r.out.contains(QStringLiteral("\nFAIL")));
}

void tst_Doctor::json()
{
    Run r = doctor({QStringLiteral("--h86-dir"), m_h86.path(), QStringLiteral("--json")});
    QCOMPARE(r.exitCode, 0);
    QJsonParseError error;
    QJsonObject root = QJsonDocument::fromJson(r.out.toUtf8(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(root.value(QStringLiteral("failed")).toBool(true), false);
    QCOMPARE(root.value(QStringLiteral("fail")).toInt(-1), 0);
    const QJsonArray checks = root.value(QStringLiteral("checks")).toArray();
    QStringList ids;
    for (const QJsonValue &v : checks) {
        const QJsonObject c = v.toObject();
        ids.append(c.value(QStringLiteral("id")).toString());
        QVERIFY(QStringList({"OK", "WARN", "FAIL"}).contains(c.value("verdict").toString()));
        QVERIFY(!c.value(QStringLiteral("text")).toString().isEmpty());
    }
    for (const char *id : {"settings.file", "port.path", "port.access", "port.holders",
                           "target.folders", "target.files"})
        QVERIFY2(ids.contains(QLatin1String(id)), id);
    QCOMPARE(root.value(QStringLiteral("ok")).toInt() + root.value(QStringLiteral("warn")).toInt(),
             int(checks.size()));

    // A failing run says so in the JSON and in the status.
    r = doctor({QStringLiteral("--port"), QStringLiteral("/nonexistent/ttyUSB9"),
                QStringLiteral("--h86-dir"), m_h86.path(), QStringLiteral("--json")});
    QCOMPARE(r.exitCode, 1);
    root = QJsonDocument::fromJson(r.out.toUtf8()).object();
    QCOMPARE(root.value(QStringLiteral("failed")).toBool(false), true);
    bool found = false;
    for (const QJsonValue &v : root.value(QStringLiteral("checks")).toArray()) {
        const QJsonObject c = v.toObject();
        if (c.value(QStringLiteral("id")).toString() == QLatin1String("port.path")) {
            QCOMPARE(c.value(QStringLiteral("verdict")).toString(), QStringLiteral("FAIL"));
            QVERIFY(!c.value(QStringLiteral("hint")).toString().isEmpty());
            found = true;
        }
    }
    QVERIFY(found);
}

void tst_Doctor::problems_data()
{
    QTest::addColumn<QByteArray>("settings"); // appended to the sound settings
    QTest::addColumn<QStringList>("args"); // after --h86-dir <complete folder>
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("verdict");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("hint");
    QTest::newRow("value out of range")
        << QByteArray("brDefault=5\n") << QStringList() << 0 << "WARN"
        << "brDefault = 5 is not 3, 4, 6 or 7: the default 7 (57600 bit/s) is used"
        << "Set it in the configuration dialog";
    QTest::newRow("missing port") << QByteArray() << QStringList {"--port", "/nonexistent/ttyUSB0"}
                                  << 1 << "FAIL"
                                  << "/nonexistent/ttyUSB0 does not exist"
                                  << "[Ports]";
    QTest::newRow("port is a file")
        << QByteArray() << QStringList {"--port", QStringLiteral("%TMP%/ttyS3")} << 1 << "FAIL"
        << "is a plain file, not a serial device"
        << "Set COM2 to the device path";
    QTest::newRow("missing target program")
        << QByteArray() << QStringList {"--h86-dir", "%TMP%"} << 1 << "FAIL"
        << "8 of 8 missing in %TMP%: DLoader.H86, Download.H86, DLoaderNV.H86"
        << "Copy the device maker's target programs into";
    QTest::newRow("CAN interface missing")
        << QByteArray() << QStringList {"--interface", "can1", "--can-bus", "socketcan:brasvik9"}
        << 1 << "FAIL"
        << "CAN: there is no network interface brasvik9"
        << "";
    QTest::newRow("CAN plugin unknown")
        << QByteArray() << QStringList {"--can-bus", "nosuchplugin:can0"} << 1 << "FAIL"
        << "CAN: Qt has no CAN plugin \"nosuchplugin\""
        << "socketcan";
    QTest::newRow("CANBus malformed")
        << QByteArray("CANEnabled=1\nCOMInterface=1\nCANBus=socketcan\n") << QStringList() << 1
        << "FAIL"
        << "CANBus = \"socketcan\" is not plugin:interface"
        << "socketcan:can0";
}

void tst_Doctor::problems()
{
    QFETCH(QByteArray, settings);
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, verdict);
    QFETCH(QString, text);
    QFETCH(QString, hint);
    QTemporaryDir tmp;
    QFile plain(QDir(tmp.path()).filePath(QStringLiteral("ttyS3")));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    for (QString &a : args)
        a.replace(QStringLiteral("%TMP%"), tmp.path());
    text.replace(QStringLiteral("%TMP%"), tmp.path());
    writeSettings("[Ports]\nCOM2=" + m_pty.devicePath().toUtf8() + "\n[General]\nCOMPort=2\n"
                  + settings);
    if (!args.contains(QStringLiteral("--h86-dir")))
        args << QStringLiteral("--h86-dir") << m_h86.path();
    const Run r = doctor(args);
    QVERIFY2(r.exitCode == exitCode, qPrintable(r.out + r.err));
    const QString found = lineWith(r.out, verdict, text);
    QVERIFY2(!found.isEmpty(), qPrintable(r.out));
    QVERIFY2(found.section(u'\n', 1).startsWith(QStringLiteral("      -> ")), qPrintable(found));
    QVERIFY2(found.section(u'\n', 1).contains(hint), qPrintable(found));
}

void tst_Doctor::portHeldByAnotherProcess()
{
    const int fd
        = ::open(QFile::encodeName(m_pty.devicePath()).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    const Run r = doctor({QStringLiteral("--h86-dir"), m_h86.path()});
    ::close(fd);
    QCOMPARE(r.exitCode, 1);
    const QString held = lineWith(r.out, QStringLiteral("FAIL"), QStringLiteral("is held open by"));
    QVERIFY2(held.contains(QStringLiteral("(pid %1)").arg(::getpid())), qPrintable(r.out));
    QVERIFY2(held.contains(QStringLiteral("kill %1").arg(::getpid())), qPrintable(held));
}

void tst_Doctor::virtualCanBus()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const QString bus
        = QStringLiteral("virtualcan:tcp://127.0.0.1:%1/can0").arg(server.serverPort());
    Run r = doctor({QStringLiteral("--interface"), QStringLiteral("can1"),
                    QStringLiteral("--can-bus"), bus, QStringLiteral("--device"),
                    QStringLiteral("46xx"), QStringLiteral("--h86-dir"), m_h86.path()});
    QVERIFY(!lineWith(r.out, QStringLiteral("OK "),
                      QStringLiteral("the virtual bus server at 127.0.0.1"))
                 .isEmpty());
    // The folder holds RS-232 programs only: the CAN ones are missing.
    QVERIFY2(!lineWith(r.out, QStringLiteral("FAIL"),
                       QStringLiteral("over CAN1 at 500 kbit/s: 8 of 8 missing in %1: "
                                      "DLoaderCAN.H86, DownloadCAN1_500K.H86")
                           .arg(m_h86.path()))
                  .isEmpty(),
             qPrintable(r.out));
    QCOMPARE(r.exitCode, 1);

    server.close();
    r = doctor({QStringLiteral("--interface"), QStringLiteral("can1"), QStringLiteral("--can-bus"),
                bus, QStringLiteral("--h86-dir"), m_h86.path()});
    QVERIFY2(
        !lineWith(r.out, QStringLiteral("FAIL"), QStringLiteral("no virtual bus server answers"))
             .isEmpty(),
        qPrintable(r.out));
}

void tst_Doctor::standInsAreFlagged()
{
    const QString sim
        = QDir(qEnvironmentVariable("BRASVIK_SOURCE_DIR")).filePath(QStringLiteral("sim/H86"));
    const Run r = doctor({QStringLiteral("--h86-dir"), sim});
    QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
    const QString line
        = lineWith(r.out, QStringLiteral("WARN"),
                   QStringLiteral("8 of them are stand-ins of the simulated device"));
    QVERIFY2(!line.isEmpty(), qPrintable(r.out));
    QVERIFY(line.contains(QStringLiteral("must never reach a real device")));
}

void tst_Doctor::usageErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("unknown option") << QStringList {"--frobnicate"} << "frobnicate";
    QTest::newRow("positional") << QStringList {"image.h86"} << "doctor takes options only";
    QTest::newRow("bad device") << QStringList {"--device", "4620"} << "--device must be";
    QTest::newRow("bad interface") << QStringList {"--interface", "usb"} << "--interface must be";
    QTest::newRow("CAN for the board") << QStringList {"--device", "4610", "--interface", "can1"}
                                       << "CAN is available for the 46xx devices only";
    QTest::newRow("h86 folder missing")
        << QStringList {"--h86-dir", "/nonexistent/H86"} << "is not a folder";
}

void tst_Doctor::usageErrors()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    const Run r = doctor(args);
    QCOMPARE(r.exitCode, 1);
    QVERIFY(r.out.isEmpty());
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
}

QTEST_GUILESS_MAIN(tst_Doctor)
#include "tst_doctor.moc"
