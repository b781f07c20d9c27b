#include "base/SettingsCheck.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using Verdict = DiagnosisCheck::Verdict;
Q_DECLARE_METATYPE(DiagnosisCheck::Verdict)

// The settings check against files written for each case: values out of range or not numbers
// (named with the default used instead), keys in the wrong case, port paths, and a file this
// user may not read or write (judged by an injected rule, as the suite may run as root).
class tst_SettingsCheck : public QObject
{
    Q_OBJECT

private slots:
    void values_data();
    void values();
    void missingFile();
    void unreadableFile();
    void unwritableFile();
    void checkingNeverWrites();
    void textAndJson();

private:
    QString write(const QByteArray &content);
    SettingsCheck::Environment environment(const QString &ini) const;

    QTemporaryDir m_dir;
};

namespace {

const QString Ini = QStringLiteral("Halvero/BrasvikV6.ini");

} // namespace

QString tst_SettingsCheck::write(const QByteArray &content)
{
    // A file of its own per case: QSettings caches what it read by path, size and time.
    static int n = 0;
    const QString path = QDir(m_dir.path()).filePath(QString::number(++n) + u'/' + Ini);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return {};
    f.write(content);
    return path;
}

SettingsCheck::Environment tst_SettingsCheck::environment(const QString &ini) const
{
    SettingsCheck::Environment env;
    env.iniPath = ini;
    env.userName = QStringLiteral("tester");
    env.canRead = [](const QString &) {
        return true;
    };
    env.canWrite = [](const QString &) {
        return true;
    };
    return env;
}

void tst_SettingsCheck::values_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("warnings"); // text fragments, in order; empty: all in range
    QTest::newRow("all in range") << QByteArray(
        "[General]\nCOMPort=3\nBaudrate=8\nbrDefault=6\nbrCVBRDx=8\n"
        "COMInterface=1\nCANEnabled=1\nCANBaudrate=5\nCANIOPort=14\n"
        "CANInterrupt=0\nState=2\nLeft=-20\nCANBus=socketcan:can1\n"
        "[Ports]\nCOM3=/dev/serial/by-id/usb-X\nCOM3BootLines=dtr=1,wait=50,dtr=0\n"
        "COM16BootLines=\n")
                                  << QStringList();
    QTest::newRow("rate out of its set")
        << QByteArray("[General]\nbrDefault=5\n")
        << QStringList {"brDefault = 5 is not 3, 4, 6 or 7: the default 7 (57600 bit/s) is used"};
    QTest::newRow("board rate out of range") << QByteArray("[General]\nbrCVBRDx=9\n")
                                             << QStringList {"brCVBRDx = 9 is not 3, 4, 6, 7 or 8"};
    QTest::newRow("port number too high")
        << QByteArray("[General]\nCOMPort=17\n")
        << QStringList {"COMPort = 17 is not 1 to 16: the default 1 (COM1) is used"};
    QTest::newRow("not a number")
        << QByteArray("[General]\nCANBaudrate=fast\n")
        << QStringList {"CANBaudrate = \"fast\" is not a whole number: the default 7 (500 kbit/s)"};
    QTest::newRow("hex is not a number")
        << QByteArray("[General]\nCANIOPort=0x0B\n")
        << QStringList {"CANIOPort = \"0x0B\" is not a whole number: the default 11 is used"};
    QTest::newRow("list value") << QByteArray("[General]\nbrDefault=3, 4\n")
                                << QStringList {"brDefault = \"3, 4\" is not a whole number"};
    QTest::newRow("geometry not a number")
        << QByteArray("[General]\nWidth=wide\n")
        << QStringList {"Width = \"wide\" is not a whole number: the window's own default"};
    QTest::newRow("flag not a number")
        << QByteArray("[General]\nUploadOpt3=yes\n")
        << QStringList {"UploadOpt3 = \"yes\" is not a whole number"};
    QTest::newRow("CAN interface without CAN")
        << QByteArray("[General]\nCOMInterface=2\nCANEnabled=0\n")
        << QStringList {"COMInterface = 2 (CAN2) is ignored while CANEnabled is off"};
    QTest::newRow("key in the wrong case")
        << QByteArray("[General]\ncomport=3\n")
        << QStringList {"the key \"comport\" is not read: keys are case-sensitive, the program "
                        "reads \"COMPort\""};
    QTest::newRow("relative port path")
        << QByteArray("[Ports]\nCOM2=ttyUSB0\n")
        << QStringList {"Ports/COM2 = ttyUSB0 is not an absolute path"};
    QTest::newRow("empty port path") << QByteArray("[Ports]\nCOM4=\n")
                                     << QStringList {"Ports/COM4 is empty: /dev/ttyS3 is used"};
    QTest::newRow("port beyond COM16")
        << QByteArray("[Ports]\nCOM17=/dev/ttyUSB0\ncom1=/dev/ttyUSB1\n")
        << QStringList {"Ports/COM17 is not read", "Ports/com1 is not read"};
    QTest::newRow("boot lines of no port")
        << QByteArray("[Ports]\nCOM17BootLines=dtr=1\nCOM1bootlines=dtr=1\nBootLines=dtr=1\n")
        << QStringList {"Ports/BootLines is not read", "Ports/COM17BootLines is not read",
                        "Ports/COM1bootlines is not read"};
    QTest::newRow("two problems") << QByteArray("[General]\nBaudrate=12\nState=7\n")
                                  << QStringList {"Baudrate = 12 is not 0 to 8",
                                                  "State = 7 is not 0, 1 or 2"};
}

void tst_SettingsCheck::values()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, warnings);
    const QString ini = write(content);
    const DiagnosisChecks checks = SettingsCheck::run(environment(ini));
    QCOMPARE(checks.first().id, QStringLiteral("settings.file"));
    QCOMPARE(checks.first().verdict, Verdict::Ok);
    const DiagnosisChecks values = checks.mid(1);
    if (warnings.isEmpty()) {
        QCOMPARE(values.size(), 1);
        QCOMPARE(values.first().verdict, Verdict::Ok);
        QVERIFY2(values.first().text.contains(QStringLiteral("all in range")),
                 qPrintable(values.first().text));
        return;
    }
    QCOMPARE(values.size(), warnings.size());
    for (int i = 0; i < warnings.size(); ++i) {
        const DiagnosisCheck &c = values.at(i);
        QCOMPARE(c.verdict, Verdict::Warn);
        QVERIFY2(c.text.contains(warnings.at(i)), qPrintable(c.text));
        // Every hint names the file to correct.
        QVERIFY2(c.hint.contains(ini), qPrintable(c.hint));
    }
}

void tst_SettingsCheck::missingFile()
{
    const QString ini = QDir(m_dir.path()).filePath(QStringLiteral("nowhere/BrasvikV6.ini"));
    SettingsCheck::Environment env = environment(ini);
    DiagnosisChecks checks = SettingsCheck::run(env);
    QCOMPARE(checks.size(), 1);
    QCOMPARE(checks.first().verdict, Verdict::Ok);
    QVERIFY(checks.first().text.contains(QStringLiteral("not there yet, the defaults are in use")));

    // The first save could not create it: the folder it goes into is closed.
    env.canWrite = [](const QString &) {
        return false;
    };
    checks = SettingsCheck::run(env);
    QCOMPARE(checks.size(), 2);
    QCOMPARE(checks.at(1).id, QStringLiteral("settings.write"));
    QCOMPARE(checks.at(1).verdict, Verdict::Warn);
    QCOMPARE(checks.at(1).hint,
             QStringLiteral("Make the folder yours: sudo chown tester: %1").arg(m_dir.path()));
}

void tst_SettingsCheck::unreadableFile()
{
    const QString ini = write("[General]\nbrDefault=5\n");
    SettingsCheck::Environment env = environment(ini);
    env.canRead = [ini](const QString &path) {
        return path != ini;
    };
    const DiagnosisChecks checks = SettingsCheck::run(env);
    // Nothing more is said about values that cannot be read.
    QCOMPARE(checks.size(), 1);
    QCOMPARE(checks.first().verdict, Verdict::Fail);
    QVERIFY(checks.first().text.contains(QStringLiteral("cannot be read")));
    QCOMPARE(checks.first().hint,
             QStringLiteral("Make it yours again (a run under sudo may have written it): sudo "
                            "chown tester: %1")
                 .arg(ini));

    QVERIFY(QDir().mkpath(QDir(m_dir.path()).filePath(QStringLiteral("folder.ini"))));
    const DiagnosisChecks folder = SettingsCheck::run(
        environment(QDir(m_dir.path()).filePath(QStringLiteral("folder.ini"))));
    QCOMPARE(folder.first().verdict, Verdict::Fail);
    QVERIFY(folder.first().text.contains(QStringLiteral("is not a file")));
}

void tst_SettingsCheck::unwritableFile()
{
    const QString ini = write("[General]\nbrDefault=3\n");
    SettingsCheck::Environment env = environment(ini);
    env.canWrite = [](const QString &) {
        return false;
    };
    const DiagnosisChecks checks = SettingsCheck::run(env);
    QCOMPARE(checks.size(), 3);
    QCOMPARE(checks.at(1).id, QStringLiteral("settings.write"));
    QCOMPARE(checks.at(1).verdict, Verdict::Warn);
    QVERIFY(checks.at(1).text.contains(QStringLiteral("are lost at exit")));
    QCOMPARE(checks.at(2).verdict, Verdict::Ok);
}

void tst_SettingsCheck::checkingNeverWrites()
{
    const QByteArray content("[General]\r\nbrDefault=5\r\ncomport=2\r\n\r\n[Ports]\r\nCOM2=x\r\n");
    const QString ini = write(content);
    (void)SettingsCheck::run(environment(ini));
    QFile f(ini);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), content);
}

void tst_SettingsCheck::textAndJson()
{
    const QString ini = write("[General]\nbrDefault=5\n");
    const DiagnosisChecks checks = SettingsCheck::run(environment(ini));
    const QStringList lines = Diagnosis::toText(checks).split(u'\n');
    QCOMPARE(lines.size(), 4);
    QVERIFY(lines.at(0).startsWith(QStringLiteral("OK    Settings file ")));
    QVERIFY(lines.at(1).startsWith(QStringLiteral("WARN  Settings: brDefault = 5")));
    QVERIFY(lines.at(2).startsWith(QStringLiteral("      -> Set it in the configuration dialog")));
    QCOMPARE(lines.at(3), QStringLiteral("1 OK, 1 WARN, 0 FAIL"));
    QVERIFY(!Diagnosis::anyFailed(checks));
    QCOMPARE(Diagnosis::firstHint(checks), checks.at(1).hint);
}

QTEST_GUILESS_MAIN(tst_SettingsCheck)
#include "tst_settingscheck.moc"
