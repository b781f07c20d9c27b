#include "support/CliProcess.h"
#include "support/H86Builder.h"
#include "support/SimDevice.h"
#include "support/TempSettings.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// brasvik-cli under SIGINT, SIGTERM and SIGHUP: a user break with its report and the port free
// again, and the boot prompt declined with a line that says so.
class tst_CliSignals : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void signalIsUserBreak_data();
    void signalIsUserBreak();
    void secondSignalEndsAtOnce();
    void bootPromptDeclined_data();
    void bootPromptDeclined();

private:
    QStringList downloadArgs(const QString &port, bool assumeYes) const;
    static SimDeviceOptions slowDevice();
    // Starts a download on `port` and waits until its blocks go out; what it printed is in `out`.
    bool startUntilProgramming(QProcess &p, const QString &port, QString *out) const;
    static bool waitForText(QProcess &p, QString *collected, QProcess::ProcessChannel channel,
                            const QString &text, int msecs = 30000);

    TempSettings m_settings;
    QTemporaryDir m_dir;
    QString m_image;
};

namespace {

constexpr int NobodyId = 65534;

// Empty when an unprivileged process could open the terminal now; otherwise why it could not.
// Root passes over the exclusive-open flag, so root also asks the flag itself and tries the open
// as nobody.
QString portRefusal(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return QStringLiteral("open: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    int exclusive = 0;
    const bool known = ::ioctl(fd, TIOCGEXCL, &exclusive) == 0;
    ::close(fd);
    if (known && exclusive)
        return QStringLiteral("the exclusive-open flag is still set");
    if (::geteuid() != 0)
        return {};
    if (::chmod(native.constData(), 0666) != 0)
        return QStringLiteral("chmod: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(NobodyId) != 0 || ::setuid(NobodyId) != 0)
            ::_exit(100);
        const int unprivileged = ::open(native.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ::_exit(unprivileged >= 0 ? 0 : (errno & 0x7F));
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return QStringLiteral("the unprivileged open did not run");
    if (WEXITSTATUS(status) != 0)
        return QStringLiteral("unprivileged open: %1")
            .arg(QString::fromLocal8Bit(std::strerror(WEXITSTATUS(status))));
    return {};
}

QByteArray pattern(int n)
{
    QByteArray b;
    for (int i = 0; i < n; ++i)
        b.append(char((i * 7 + 3) % 0xFD));
    return b;
}

} // namespace

void tst_CliSignals::initTestCase()
{
    QVERIFY(QFileInfo(cliPath()).isExecutable());
    QVERIFY(QFileInfo::exists(SimDevice::executable()));
    m_image = QDir(m_dir.path()).filePath(QStringLiteral("os.h86"));
    QFile f(m_image);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(H86Builder().data(0, pattern(0x8000), 32).end().text());
}

QStringList tst_CliSignals::downloadArgs(const QString &port, bool assumeYes) const
{
    QStringList args = {QStringLiteral("download"), m_image,     QStringLiteral("--device"),
                        QStringLiteral("46xx"),     QStringLiteral("--port"), port,
                        QStringLiteral("--h86-dir"), SimDevice::h86Directory()};
    if (assumeYes)
        args << QStringLiteral("--yes");
    return args;
}

SimDeviceOptions tst_CliSignals::slowDevice()
{
    SimDeviceOptions options;
    options.baud = 9600; // slow enough to break into
    options.oneShot = false; // the terminal outlives the tool, as a device on a cable does
    return options;
}

bool tst_CliSignals::startUntilProgramming(QProcess &p, const QString &port, QString *out) const
{
    p.start(cliPath(), downloadArgs(port, true));
    return p.waitForStarted()
        && waitForText(p, out, QProcess::StandardOutput,
                       QStringLiteral("Start flash programming..."));
}

bool tst_CliSignals::waitForText(QProcess &p, QString *collected,
                                 QProcess::ProcessChannel channel, const QString &text, int msecs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < msecs) {
        p.setReadChannel(channel);
        *collected += QString::fromLocal8Bit(p.readAll());
        if (collected->contains(text))
            return true;
        if (p.state() != QProcess::Running)
            return false;
        p.waitForReadyRead(100);
    }
    return false;
}

void tst_CliSignals::signalIsUserBreak_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGHUP") << SIGHUP;
}

void tst_CliSignals::signalIsUserBreak()
{
    QFETCH(int, signalNumber);
    SimDevice sim(slowDevice());
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    QProcess p;
    QString out;
    QVERIFY2(startUntilProgramming(p, sim.serialPath(), &out), qPrintable(out));
    ::kill(pid_t(p.processId()), signalNumber);
    QVERIFY(p.waitForFinished(10000));
    out += QString::fromLocal8Bit(p.readAllStandardOutput());
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 2);
    QVERIFY2(out.contains(QLatin1String("TIMEOUT\n\nFlash programming aborted:\n\nUser break!")),
             qPrintable(out));
    const QString refusal = portRefusal(sim.serialPath());
    QVERIFY2(refusal.isEmpty(), qPrintable(refusal));
}

void tst_CliSignals::secondSignalEndsAtOnce()
{
    SimDevice sim(slowDevice());
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    QProcess p;
    QString out;
    QVERIFY2(startUntilProgramming(p, sim.serialPath(), &out), qPrintable(out));
    // Both arrive while the tool is stopped, so the second comes before the first could be
    // acted on: the tool has no chance to end in the ordinary way.
    const pid_t pid = pid_t(p.processId());
    ::kill(pid, SIGSTOP);
    ::kill(pid, SIGTERM);
    ::kill(pid, SIGHUP);
    QElapsedTimer clock;
    clock.start();
    ::kill(pid, SIGCONT);
    QVERIFY(p.waitForFinished(5000));
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    out += QString::fromLocal8Bit(p.readAllStandardOutput());
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 2);
    QVERIFY2(!out.contains(QLatin1String("User break!")), qPrintable(out));
    const QString refusal = portRefusal(sim.serialPath());
    QVERIFY2(refusal.isEmpty(), qPrintable(refusal));
}

void tst_CliSignals::bootPromptDeclined_data()
{
    QTest::addColumn<int>("signalNumber"); // 0: end of input
    QTest::newRow("end of input") << 0;
    QTest::newRow("Ctrl+C") << SIGINT;
    QTest::newRow("SIGTERM") << SIGTERM;
}

void tst_CliSignals::bootPromptDeclined()
{
    QFETCH(int, signalNumber);
    SimDevice sim;
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    QProcess p;
    p.start(cliPath(), downloadArgs(sim.serialPath(), false));
    QVERIFY(p.waitForStarted());
    QString err;
    QVERIFY2(waitForText(p, &err, QProcess::StandardError,
                         QStringLiteral("Press Enter to continue, Ctrl+C to cancel.")),
             qPrintable(err));
    if (signalNumber == 0)
        p.closeWriteChannel();
    else
        ::kill(pid_t(p.processId()), signalNumber);
    QVERIFY(p.waitForFinished(10000));
    err += QString::fromLocal8Bit(p.readAllStandardError());
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 3);
    QVERIFY2(err.endsWith(QLatin1String("Boot prompt declined: nothing was sent.\n")),
             qPrintable(err));
    QCOMPARE(QString::fromLocal8Bit(p.readAllStandardOutput()), QString());
    // Nothing reached the device.
    QVERIFY(sim.waitForFinished());
    QCOMPARE(sim.hostBytes(), QByteArray());
}

QTEST_GUILESS_MAIN(tst_CliSignals)
#include "tst_clisignals.moc"
