#include "comm/PortDiagnosis.h"
#include "comm/ProcessTable.h"
#include "support/PtyPair.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using Verdict = DiagnosisCheck::Verdict;
Q_DECLARE_METATYPE(DiagnosisCheck::Verdict)

// The port checks against situations built in a temporary folder: ports that are missing,
// plain files or dangling links, permissions judged for an unprivileged user (the suite may
// run as root), a fake /proc tree with programs holding the port, and the services that grab
// USB serial ports.
class tst_PortDiagnosis : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void path_data();
    void path();
    void byIdSuggestion_data();
    void byIdSuggestion();
    void access_data();
    void access();
    void holders_data();
    void holders();
    void services_data();
    void services();
    void holdersOfOtherUsersAreCounted();
    void realProcFindsOwnOpenFile();
    void ptyPassesEveryCheck();
    void usbSerialNames_data();
    void usbSerialNames();

private:
    QString path(const QString &relative) const { return QDir(m_dir->path()).filePath(relative); }
    void writeFile(const QString &relative, const QByteArray &data = {});
    void link(const QString &relative, const QString &target);
    PortDiagnosis::Environment fakeEnvironment() const;
    // The holders check of dev/ttyUSB0 in `env`, every device taken for a terminal.
    DiagnosisCheck holdersOfUsb0(PortDiagnosis::Environment env) const;

    std::unique_ptr<QTemporaryDir> m_dir;
};

namespace {

const DiagnosisCheck *find(const DiagnosisChecks &checks, const QString &id)
{
    for (const DiagnosisCheck &c : checks) {
        if (c.id == id)
            return &c;
    }
    return nullptr;
}

PortDiagnosis::User tester(QList<uint> groups = {})
{
    PortDiagnosis::User u;
    u.uid = 1000;
    u.gid = 1000;
    u.groups = groups << 1000;
    u.name = QStringLiteral("tester");
    return u;
}

} // namespace

void tst_PortDiagnosis::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("dev")));
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("serial/by-id")));
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("proc")));
}

void tst_PortDiagnosis::writeFile(const QString &relative, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path(relative)).absolutePath());
    QFile f(path(relative));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
}

void tst_PortDiagnosis::link(const QString &relative, const QString &target)
{
    QDir().mkpath(QFileInfo(path(relative)).absolutePath());
    QVERIFY2(QFile::link(target, path(relative)), qPrintable(relative));
}

PortDiagnosis::Environment tst_PortDiagnosis::fakeEnvironment() const
{
    PortDiagnosis::Environment env;
    env.user = tester();
    env.processes = ProcessTable::scan(path(QStringLiteral("proc")));
    env.byIdDir = path(QStringLiteral("serial/by-id"));
    env.devDir = path(QStringLiteral("dev"));
    env.canReadWrite = [user = env.user](const QString &p) {
        return PortDiagnosis::accessByMode(user, p);
    };
    env.groupById = [](uint gid) {
        return std::optional<PortDiagnosis::Group>({gid, QStringLiteral("dialout"), {}});
    };
    return env;
}

DiagnosisCheck tst_PortDiagnosis::holdersOfUsb0(PortDiagnosis::Environment env) const
{
    env.isTerminal = [](const QString &) {
        return true;
    };
    const DiagnosisChecks checks
        = PortDiagnosis::run(QStringLiteral("COM1"), path(QStringLiteral("dev/ttyUSB0")), env);
    const DiagnosisCheck *c = find(checks, QStringLiteral("port.holders"));
    return c ? *c : DiagnosisCheck();
}

void tst_PortDiagnosis::path_data()
{
    QTest::addColumn<QString>("setup"); // what sits at dev/ttyUSB0
    QTest::addColumn<bool>("otherPort"); // dev/ttyUSB1 is there as well
    QTest::addColumn<Verdict>("verdict");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("hint");
    QTest::newRow("missing, nothing plugged in")
        << "none" << false << Verdict::Fail << "ttyUSB0 does not exist"
        << "Run \"ls -l /dev/serial/by-id\" before and after plugging in";
    QTest::newRow("missing, another adapter present")
        << "none" << true << Verdict::Fail << "ttyUSB0 does not exist"
        << "Serial ports present: ";
    QTest::newRow("dangling link")
        << "dangling" << false << Verdict::Fail << "which does not exist: the adapter is unplugged"
        << "before and after plugging in the serial adapter";
    QTest::newRow("plain file") << "file" << false << Verdict::Fail
                                << "is a plain file, not a serial device"
                                << "Set COM1 to";
    QTest::newRow("folder") << "folder" << false << Verdict::Fail
                            << "is a folder, not a serial device"
                            << "Set COM1 to";
    QTest::newRow("character device, no terminal")
        << "null" << false << Verdict::Fail << "is a character device but no terminal"
        << "Set COM1 to";
}

void tst_PortDiagnosis::path()
{
    QFETCH(QString, setup);
    QFETCH(bool, otherPort);
    QFETCH(Verdict, verdict);
    QFETCH(QString, text);
    QFETCH(QString, hint);
    const QString port = path(QStringLiteral("dev/ttyUSB0"));
    if (setup == QLatin1String("dangling"))
        link(QStringLiteral("dev/ttyUSB0"), path(QStringLiteral("dev/gone")));
    else if (setup == QLatin1String("file"))
        writeFile(QStringLiteral("dev/ttyUSB0"));
    else if (setup == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(port));
    else if (setup == QLatin1String("null"))
        link(QStringLiteral("dev/ttyUSB0"), QStringLiteral("/dev/null"));
    if (otherPort)
        link(QStringLiteral("dev/ttyUSB1"), QStringLiteral("/dev/null"));

    const DiagnosisChecks checks
        = PortDiagnosis::run(QStringLiteral("COM1"), port, fakeEnvironment());
    const DiagnosisCheck *c = find(checks, QStringLiteral("port.path"));
    QVERIFY(c);
    QCOMPARE(c->verdict, verdict);
    QVERIFY2(c->text.startsWith(QStringLiteral("COM1 ") + port), qPrintable(c->text));
    QVERIFY2(c->text.contains(text), qPrintable(c->text));
    QVERIFY2(c->hint.contains(hint), qPrintable(c->hint));
    if (otherPort)
        QVERIFY2(c->hint.contains(path(QStringLiteral("dev/ttyUSB1"))), qPrintable(c->hint));
    // Nothing further can be said about a port that is not there.
    if (setup == QLatin1String("none") || setup == QLatin1String("dangling"))
        QVERIFY(!find(checks, QStringLiteral("port.access")));
    // Only a terminal's holders matter (everything holds /dev/null).
    QVERIFY(!find(checks, QStringLiteral("port.holders")));
}

void tst_PortDiagnosis::byIdSuggestion_data()
{
    QTest::addColumn<QString>("portName");
    QTest::addColumn<QString>("byIdTarget"); // empty: no by-id link
    QTest::addColumn<bool>("suggested");
    QTest::newRow("ttyUSB with a stable name") << "dev/ttyUSB0"
                                               << "../../dev/ttyUSB0" << true;
    QTest::newRow("ttyACM with a stable name") << "dev/ttyACM3"
                                               << "../../dev/ttyACM3" << true;
    QTest::newRow("ttyUSB without one") << "dev/ttyUSB0"
                                        << "" << false;
    QTest::newRow("by-id link of another adapter") << "dev/ttyUSB0"
                                                   << "../../dev/ttyUSB7" << false;
    QTest::newRow("on-board port") << "dev/ttyS0"
                                   << "../../dev/ttyS0" << false;
}

void tst_PortDiagnosis::byIdSuggestion()
{
    QFETCH(QString, portName);
    QFETCH(QString, byIdTarget);
    QFETCH(bool, suggested);
    writeFile(portName);
    writeFile(QStringLiteral("dev/ttyUSB7"));
    const QString stable = QStringLiteral("serial/by-id/usb-FTDI_FT232R_A1B2C3-if00-port0");
    if (!byIdTarget.isEmpty())
        link(stable, byIdTarget);

    const DiagnosisChecks checks
        = PortDiagnosis::run(QStringLiteral("COM2"), path(portName), fakeEnvironment());
    const DiagnosisCheck *c = find(checks, QStringLiteral("port.by-id"));
    QCOMPARE(c != nullptr, suggested);
    if (suggested) {
        QCOMPARE(c->verdict, Verdict::Warn);
        QCOMPARE(
            c->hint,
            QStringLiteral("Set COM2=%1 in the group [Ports] of the settings.").arg(path(stable)));
    }
    // A port named by its stable name gets no suggestion.
    if (!byIdTarget.isEmpty())
        QVERIFY(!find(PortDiagnosis::run(QStringLiteral("COM2"), path(stable), fakeEnvironment()),
                      QStringLiteral("port.by-id")));
}

void tst_PortDiagnosis::access_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("inSession"); // the session runs with the port's group
    QTest::addColumn<bool>("inDatabase"); // the group database lists the user
    QTest::addColumn<bool>("kernelRefuses"); // an ACL says no whatever the mode
    QTest::addColumn<Verdict>("verdict");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("hint");
    QTest::newRow("member of the group")
        << 0660 << true << true << false << Verdict::Ok << "tester may read and write it"
        << "";
    QTest::newRow("open to everyone")
        << 0666 << false << false << false << Verdict::Ok << "tester may read and write it"
        << "";
    QTest::newRow("not in the group")
        << 0660 << false << false << false << Verdict::Fail << "tester is not in the group dialout"
        << "usermod -aG dialout tester, then log out and back in.";
    QTest::newRow("added, session older")
        << 0660 << false << true << false << Verdict::Fail
        << "tester was added to the group dialout after this session started"
        << "newgrp dialout";
    QTest::newRow("group may not use it") << 0600 << false << false << false << Verdict::Fail
                                          << "its group dialout has no read and write access"
                                          << "udev rule";
    QTest::newRow("group may only read")
        << 0640 << true << true << false << Verdict::Fail << "no read and write access"
        << "MODE=\"0660\"";
    QTest::newRow("in the group, still refused")
        << 0660 << true << true << true << Verdict::Fail << "although the group dialout may use it"
        << "getfacl";
}

void tst_PortDiagnosis::access()
{
    QFETCH(int, mode);
    QFETCH(bool, inSession);
    QFETCH(bool, inDatabase);
    QFETCH(bool, kernelRefuses);
    QFETCH(Verdict, verdict);
    QFETCH(QString, text);
    QFETCH(QString, hint);
    writeFile(QStringLiteral("dev/ttyUSB0"));
    const QString port = path(QStringLiteral("dev/ttyUSB0"));
    QVERIFY(::chmod(QFile::encodeName(port).constData(), mode_t(mode)) == 0);
    struct stat st;
    QVERIFY(::stat(QFile::encodeName(port).constData(), &st) == 0);
    gid_t portGroup = st.st_gid;
    if (portGroup == 0) {
        // Root's group means "root only" to the checks; give the file another group.
        if (::chown(QFile::encodeName(port).constData(), uid_t(-1), 20) != 0)
            QSKIP("the test file cannot be given a group other than root");
        portGroup = 20;
    }

    PortDiagnosis::Environment env = fakeEnvironment();
    env.user = tester(inSession ? QList<uint> {uint(portGroup)} : QList<uint> {});
    env.canReadWrite = [user = env.user, kernelRefuses](const QString &p) {
        return !kernelRefuses && PortDiagnosis::accessByMode(user, p);
    };
    env.groupById = [inDatabase](uint gid) {
        return std::optional<PortDiagnosis::Group>(
            {gid, QStringLiteral("dialout"),
             inDatabase ? QStringList {QStringLiteral("bob"), QStringLiteral("tester")}
                        : QStringList {QStringLiteral("bob")}});
    };
    const DiagnosisChecks checks = PortDiagnosis::run(QStringLiteral("COM1"), port, env);
    const DiagnosisCheck *c = find(checks, QStringLiteral("port.access"));
    QVERIFY(c);
    QCOMPARE(c->verdict, verdict);
    QVERIFY2(c->text.contains(text), qPrintable(c->text));
    QVERIFY2(c->hint.contains(hint), qPrintable(c->hint));
    QCOMPARE(c->hint.isEmpty(), verdict == Verdict::Ok);
}

void tst_PortDiagnosis::holders_data()
{
    QTest::addColumn<QString>("fdTarget"); // what process 4242's fd 3 links to
    QTest::addColumn<qint64>("ownPid");
    QTest::addColumn<Verdict>("verdict");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("program"); // process 4242's name
    QTest::addColumn<QString>("hint");
    QTest::newRow("held by minicom")
        << "dev/ttyUSB0" << qint64(1) << Verdict::Fail << "is held open by minicom (pid 4242)"
        << "minicom"
        << "kill 4242";
    QTest::newRow("held through its by-id name")
        << "serial/by-id/usb-X" << qint64(1) << Verdict::Fail << "minicom (pid 4242)"
        << "minicom"
        << "kill 4242";
    // A terminal a shell runs on is someone's session: never advise ending it.
    QTest::newRow("a shell's terminal")
        << "dev/ttyUSB0" << qint64(1) << Verdict::Fail << "is held open by bash (pid 4242)"
        << "bash"
        << "It is the terminal of the shell bash (pid 4242), not a free serial port";
    QTest::newRow("another file") << "dev/ttyUSB1" << qint64(1) << Verdict::Ok
                                  << "no other process holds it open"
                                  << "minicom"
                                  << "";
    QTest::newRow("the doctor itself")
        << "dev/ttyUSB0" << qint64(4242) << Verdict::Ok << "no other process holds it open"
        << "minicom"
        << "";
}

void tst_PortDiagnosis::holders()
{
    QFETCH(QString, fdTarget);
    QFETCH(qint64, ownPid);
    QFETCH(Verdict, verdict);
    QFETCH(QString, text);
    QFETCH(QString, program);
    QFETCH(QString, hint);
    // Two character devices told to be terminals, so that holders are looked for.
    link(QStringLiteral("dev/ttyUSB0"), QStringLiteral("/dev/null"));
    link(QStringLiteral("dev/ttyUSB1"), QStringLiteral("/dev/zero"));
    writeFile(QStringLiteral("dev/log"));
    link(QStringLiteral("serial/by-id/usb-X"), path(QStringLiteral("dev/ttyUSB0")));
    writeFile(QStringLiteral("proc/4242/comm"), program.toUtf8() + "\n");
    link(QStringLiteral("proc/4242/fd/0"), path(QStringLiteral("dev/log")));
    link(QStringLiteral("proc/4242/fd/3"), path(fdTarget));
    writeFile(QStringLiteral("proc/77/comm"), "bash\n");
    link(QStringLiteral("proc/77/fd/0"), path(QStringLiteral("dev/ttyUSB1")));
    writeFile(QStringLiteral("proc/self/comm"), "not a process\n");

    PortDiagnosis::Environment env = fakeEnvironment();
    env.ownPid = ownPid;
    const DiagnosisCheck c = holdersOfUsb0(env);
    QCOMPARE(c.id, QStringLiteral("port.holders"));
    QCOMPARE(c.verdict, verdict);
    QVERIFY2(c.text.contains(text), qPrintable(c.text));
    QVERIFY2(c.hint.contains(hint), qPrintable(c.hint));
    QCOMPARE(c.hint.contains(QLatin1String("kill")), hint.startsWith(QLatin1String("kill")));
}

void tst_PortDiagnosis::services_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QStringList>("running");
    QTest::addColumn<QStringList>("warnings"); // hint fragments, one per WARN expected
    const QStringList mm {QStringLiteral("ModemManager")};
    const QStringList brl {QStringLiteral("brltty")};
    QTest::newRow("USB port, ModemManager")
        << "ttyUSB0" << mm << QStringList {"ID_MM_DEVICE_IGNORE"};
    QTest::newRow("ACM port, brltty") << "ttyACM0" << brl << QStringList {"brltty-udev.service"};
    QTest::newRow("USB port, both")
        << "ttyUSB0" << (mm + brl) << QStringList {"systemctl stop ModemManager", "mask brltty"};
    QTest::newRow("USB port, neither")
        << "ttyUSB0" << QStringList {"ModemManagerX", "brltty2"} << QStringList {};
    QTest::newRow("on-board port, both") << "ttyS0" << (mm + brl) << QStringList {};
}

void tst_PortDiagnosis::services()
{
    QFETCH(QString, port);
    QFETCH(QStringList, running);
    QFETCH(QStringList, warnings);
    writeFile(QStringLiteral("dev/") + port);
    qint64 pid = 300;
    for (const QString &name : running)
        writeFile(QStringLiteral("proc/%1/comm").arg(++pid), name.toUtf8() + '\n');

    const DiagnosisChecks checks = PortDiagnosis::run(
        QStringLiteral("COM1"), path(QStringLiteral("dev/") + port), fakeEnvironment());
    QStringList hints;
    int okLines = 0;
    for (const DiagnosisCheck &c : checks) {
        if (c.id != QLatin1String("port.services"))
            continue;
        if (c.verdict == Verdict::Warn)
            hints.append(c.hint);
        else
            ++okLines;
    }
    QCOMPARE(hints.size(), warnings.size());
    for (int i = 0; i < warnings.size(); ++i)
        QVERIFY2(hints.at(i).contains(warnings.at(i)), qPrintable(hints.at(i)));
    // USB ports get one line either way; an on-board port none.
    QCOMPARE(okLines, port.startsWith(QLatin1String("ttyS")) || !warnings.isEmpty() ? 0 : 1);
}

void tst_PortDiagnosis::holdersOfOtherUsersAreCounted()
{
    link(QStringLiteral("dev/ttyUSB0"), QStringLiteral("/dev/null"));
    ProcessTable::Process hidden;
    hidden.pid = 900;
    hidden.name = QStringLiteral("screen");
    hidden.filesReadable = false;
    PortDiagnosis::Environment env = fakeEnvironment();
    env.processes
        = ProcessTable({hidden, ProcessTable::Process {901, QStringLiteral("bash"), {}, true}});
    const DiagnosisCheck c = holdersOfUsb0(env);
    QCOMPARE(c.id, QStringLiteral("port.holders"));
    QCOMPARE(c.verdict, Verdict::Ok);
    QVERIFY2(c.text.contains(QStringLiteral("1 processes of other users cannot be looked into")),
             qPrintable(c.text));
}

void tst_PortDiagnosis::realProcFindsOwnOpenFile()
{
    writeFile(QStringLiteral("dev/ttyUSB0"));
    const QString port = path(QStringLiteral("dev/ttyUSB0"));
    QFile held(port);
    QVERIFY(held.open(QIODevice::ReadWrite));
    const ProcessTable table = ProcessTable::scan();
    const QList<ProcessTable::Process> holders = table.holding(port);
    QCOMPARE(holders.size(), 1);
    QCOMPARE(holders.first().pid, qint64(::getpid()));
    QVERIFY(table.holding(port, ::getpid()).isEmpty());
    held.close();
    QVERIFY(ProcessTable::scan().holding(port).isEmpty());
}

void tst_PortDiagnosis::ptyPassesEveryCheck()
{
    // The real environment on a pseudo-terminal nobody holds: the path, access and holder checks
    // pass, whatever else runs on this machine.
    PtyPair pty;
    QVERIFY(pty.isOpen());
    const DiagnosisChecks checks = PortDiagnosis::run(QStringLiteral("COM1"), pty.devicePath(),
                                                      PortDiagnosis::Environment::current());
    for (const QString &id : {QStringLiteral("port.path"), QStringLiteral("port.access"),
                              QStringLiteral("port.holders")}) {
        const DiagnosisCheck *c = find(checks, id);
        QVERIFY2(c, qPrintable(id));
        QVERIFY2(c->verdict == Verdict::Ok, qPrintable(c->text));
    }
    QVERIFY(!find(checks, QStringLiteral("port.services")));
    QVERIFY(PortDiagnosis::hintFor(pty.devicePath()).isEmpty());
    const QString hint = PortDiagnosis::hintFor(path(QStringLiteral("dev/none")));
    QVERIFY2(hint.contains(QStringLiteral("COMn")) && hint.contains(QStringLiteral("[Ports]")),
             qPrintable(hint));
}

void tst_PortDiagnosis::usbSerialNames_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("usb");
    QTest::newRow("ttyUSB") << "/dev/ttyUSB12" << true;
    QTest::newRow("ttyACM") << "/dev/ttyACM0" << true;
    QTest::newRow("by-id") << "/dev/serial/by-id/usb-FTDI_X-if00-port0" << true;
    QTest::newRow("by-path") << "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0" << true;
    QTest::newRow("on-board") << "/dev/ttyS0" << false;
    QTest::newRow("pseudo-terminal") << "/dev/pts/3" << false;
    QTest::newRow("lookalike") << "/dev/ttyUSBX" << false;
}

void tst_PortDiagnosis::usbSerialNames()
{
    QFETCH(QString, path);
    QFETCH(bool, usb);
    QCOMPARE(PortDiagnosis::isUsbSerial(path), usb);
}

QTEST_GUILESS_MAIN(tst_PortDiagnosis)
#include "tst_portdiagnosis.moc"
