// brasvik-cli with boot entry through the modem lines, on a pseudo-terminal (which has none):
// the setting, the option that replaces it, and the doctor's look at the setting.
#include "support/CliProcess.h"
#include "support/H86Builder.h"
#include "support/PtyPair.h"
#include "support/SimDevice.h"
#include "support/TempSettings.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

class tst_CliBootLines : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void nothingIsSent_data();
    void nothingIsSent();
    void doctorReadsTheSetting();

private:
    void store(const QString &key, const QString &value);

    TempSettings m_settings;
    QTemporaryDir m_dir;
    QString m_image;
};

void tst_CliBootLines::initTestCase()
{
    QVERIFY(QFileInfo(cliPath()).isExecutable());
    m_image = QDir(m_dir.path()).filePath(QStringLiteral("os.h86"));
    QFile f(m_image);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(H86Builder().data(0, QByteArray(64, '\x42')).end().text());
}

void tst_CliBootLines::init()
{
    QFile::remove(m_settings.iniFile());
}

void tst_CliBootLines::store(const QString &key, const QString &value)
{
    QSettings s(m_settings.iniFile(), QSettings::IniFormat);
    s.setValue(key, value);
    s.sync();
}

void tst_CliBootLines::nothingIsSent_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("setting"); // Ports/COM1BootLines; empty: none
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("err"); // a fragment of stderr
    QTest::addColumn<QString>("out"); // a fragment of stdout; empty: stdout is empty

    const QString noDtr = QStringLiteral(
        "Boot lines error: Cannot set the DTR line of COM1: the port has no modem lines (a "
        "pseudo-terminal has none), so the boot line sequence in Ports/COM1BootLines cannot "
        "run.\n\nNo byte was sent. %1 will be aborted!");
    QTest::newRow("download, setting")
        << "download"
        << "dtr=1,wait=50,dtr=0" << QStringList() << 3 << noDtr.arg("Download")
        << "Boot entry through the modem lines: dtr=1,wait=50,dtr=0";
    QTest::newRow("compare, setting")
        << "compare"
        << "DTR=1, wait=50" << QStringList() << 3 << noDtr.arg("Upload")
        << "Boot entry through the modem lines: dtr=1,wait=50";
    QTest::newRow("upload, setting") << "upload"
                                     << "dtr=1" << QStringList() << 3 << noDtr.arg("Upload")
                                     << "Boot entry through the modem lines: dtr=1";
    QTest::newRow("malformed setting")
        << "download"
        << "dtr=1,rts=2" << QStringList() << 3
        << "Boot lines error: Malformed boot line sequence in Ports/COM1BootLines: step 2 "
           "\"rts=2\": rts takes 0 or 1\n\nNo byte was sent. Download will be aborted!"
        << "";
    QTest::newRow("option replaces a malformed setting")
        << "download"
        << "dtr=2" << QStringList {"--boot-lines", "rts=1,wait=10"} << 3
        << "Cannot set the RTS line of COM1"
        << "Boot entry through the modem lines: rts=1,wait=10";
    QTest::newRow("option without a setting")
        << "compare"
        << "" << QStringList {"--boot-lines", "dtr=0"} << 3 << "in --boot-lines cannot run."
        << "Boot entry through the modem lines: dtr=0";
    QTest::newRow("malformed option is bad usage")
        << "download"
        << "dtr=1" << QStringList {"--boot-lines", "dtr=1,,rts=0"} << 1
        << "--boot-lines: step 2 is empty"
        << "";
    // No --yes, and the end of input declines the prompt.
    QTest::newRow("empty option brings the prompt back")
        << "download"
        << "dtr=1" << QStringList {"--boot-lines", ""} << 3 << "Please press the boot pushbutton"
        << "";
}

void tst_CliBootLines::nothingIsSent()
{
    QFETCH(QString, command);
    QFETCH(QString, setting);
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);
    QFETCH(QString, err);
    QFETCH(QString, out);

    if (!setting.isEmpty())
        store(QStringLiteral("Ports/COM1BootLines"), setting);
    PtyPair pty;
    QVERIFY(pty.isOpen());
    QStringList args {command};
    if (command == QLatin1String("upload"))
        args << QStringLiteral("flash") << QDir(m_dir.path()).filePath(QStringLiteral("flash.b86"));
    else
        args << m_image;
    args << QStringList {"--device",       "46xx",      "--port",
                         pty.devicePath(), "--h86-dir", SimDevice::h86Directory()}
         << options;
    if (!options.contains(QStringLiteral("")))
        args << QStringLiteral("--yes");
    const CliRun r = runCli(args);
    QVERIFY2(r.err.contains(err), qPrintable(r.err));
    QCOMPARE(r.exitCode, exitCode);
    if (out.isEmpty())
        QCOMPARE(r.out, QString());
    else
        QVERIFY2(r.out.contains(out), qPrintable(r.out));
    QCOMPARE(pty.readAvailable(), QByteArray());
}

void tst_CliBootLines::doctorReadsTheSetting()
{
    PtyPair pty;
    store(QStringLiteral("Ports/COM1"), pty.devicePath());
    store(QStringLiteral("Ports/COM1BootLines"), QStringLiteral("dtr=1,rts=2"));
    store(QStringLiteral("Ports/COM2BootLines"), QStringLiteral("dtr=1,wait=50,dtr=0"));
    store(QStringLiteral("Ports/COM3BootLines"), QStringLiteral("wait"));
    const CliRun r = runCli({"doctor", "--port", "COM1", "--h86-dir", SimDevice::h86Directory()});
    // The port in use cannot start a transfer: that fails; another port's only warns.
    QCOMPARE(r.exitCode, 1);
    const QStringList lines = r.out.split(u'\n');
    auto line = [&](const QString &fragment) {
        for (const QString &l : lines) {
            if (l.contains(fragment))
                return l;
        }
        return QString();
    };
    QCOMPARE(line("Ports/COM1BootLines"),
             QStringLiteral("FAIL  Settings: Ports/COM1BootLines = \"dtr=1,rts=2\" is malformed "
                            "(step 2 \"rts=2\": rts takes 0 or 1): transfers on COM1 stop before "
                            "anything is sent"));
    QCOMPARE(line("Ports/COM2BootLines"),
             QStringLiteral("OK    Settings: Ports/COM2BootLines = dtr=1,wait=50,dtr=0: boot entry "
                            "through the modem lines"));
    QVERIFY(line("Ports/COM3BootLines").startsWith(QLatin1String("WARN  ")));
    QVERIFY(r.out.contains(QLatin1String("-> Write comma-separated steps dtr=0|1, rts=0|1 and "
                                         "wait=MS, e.g. COM1BootLines=")));
    // The settings check knows the key and does not call it unread.
    QVERIFY(!r.out.contains(QLatin1String("BootLines is not read")));
}

QTEST_GUILESS_MAIN(tst_CliBootLines)
#include "tst_clibootlines.moc"
