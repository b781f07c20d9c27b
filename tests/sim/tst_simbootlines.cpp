// The simulated device's --boot-lines expectation: the DTR/RTS states it waits for, and that a
// pseudo-terminal, which has no modem lines, leaves the device as it always was.
#include "ModemLinePattern.h"
#include "support/SimDevice.h"
#include "support/SimWire.h"

#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

class tst_SimBootLines : public QObject
{
    Q_OBJECT
private slots:
    void expectedStates_data();
    void expectedStates();
    void watch_data();
    void watch();
    void ignoredOnPseudoTerminal_data();
    void ignoredOnPseudoTerminal();
    void badOptionStopsTheStart();
};

namespace {

// "1/0": DTR 1, RTS 0; "-" for a line the pattern has not set yet.
QStringList statesText(const ModemLinePattern &p)
{
    QStringList out;
    for (const ModemLinePattern::State &s : p.states()) {
        auto level = [](int v) {
            return v < 0 ? QStringLiteral("-") : QString::number(v);
        };
        out << level(s.dtr) + u'/' + level(s.rts);
    }
    return out;
}

} // namespace

void tst_SimBootLines::expectedStates_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("states");

    QTest::newRow("fixture reset")
        << "dtr=1,rts=1,wait=50,dtr=0,wait=100,rts=0" << QStringList {"1/1", "0/1", "0/0"};
    QTest::newRow("steps without a wait are one state")
        << "dtr=1,wait=0,rts=1,wait=5,dtr=0" << QStringList {"1/1", "0/1"};
    QTest::newRow("unset line counts either way")
        << "rts=0,wait=5,rts=1" << QStringList {"-/0", "-/1"};
    QTest::newRow("repeated state is no new step")
        << "dtr=1,wait=5,dtr=1,wait=5,dtr=0" << QStringList {"1/-", "0/-"};
    QTest::newRow("leading and trailing waits") << "wait=10,DTR=1,wait=20" << QStringList {"1/-"};
}

void tst_SimBootLines::expectedStates()
{
    QFETCH(QString, text);
    QFETCH(QStringList, states);
    QString error;
    const std::optional<ModemLinePattern> p = ModemLinePattern::parse(text, &error);
    QVERIFY2(p, qPrintable(error));
    QCOMPARE(statesText(*p), states);
}

void tst_SimBootLines::watch_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("seen"); // line changes as "dtr/rts"
    QTest::addColumn<QList<int>>("completions"); // indexes of `seen` that complete it

    const QString reset = QStringLiteral("dtr=1,rts=1,wait=50,dtr=0,wait=100,rts=0");
    QTest::newRow("in order") << reset << QStringList {"0/0", "1/1", "0/1", "0/0"}
                              << QList<int> {3};
    QTest::newRow("port opened with both lines up")
        << reset << QStringList {"1/1", "0/1", "0/0"} << QList<int> {2};
    QTest::newRow("out of order") << reset << QStringList {"1/1", "1/0", "0/0"} << QList<int>();
    QTest::newRow("started over midway")
        << reset << QStringList {"1/1", "0/1", "1/1", "0/1", "0/0"} << QList<int> {4};
    QTest::newRow("every run resets")
        << reset << QStringList {"1/1", "0/1", "0/0", "1/1", "0/1", "0/0"} << QList<int> {2, 5};
    QTest::newRow("one state") << "dtr=0" << QStringList {"1/1", "0/1", "1/0", "0/0"}
                               << QList<int> {1, 3};
}

void tst_SimBootLines::watch()
{
    QFETCH(QString, text);
    QFETCH(QStringList, seen);
    QFETCH(QList<int>, completions);
    QString error;
    std::optional<ModemLinePattern> p = ModemLinePattern::parse(text, &error);
    QVERIFY2(p, qPrintable(error));
    QList<int> completed;
    for (int i = 0; i < seen.size(); ++i) {
        if (p->observe(seen[i].at(0) == u'1', seen[i].at(2) == u'1'))
            completed << i;
    }
    QCOMPARE(completed, completions);
}

void tst_SimBootLines::ignoredOnPseudoTerminal_data()
{
    QTest::addColumn<bool>("existingPort");
    QTest::newRow("own pseudo-terminal") << false;
    QTest::newRow("--port on a pseudo-terminal") << true;
}

void tst_SimBootLines::ignoredOnPseudoTerminal()
{
    QFETCH(bool, existingPort);
    int master = -1;
    QString port;
    SimDeviceOptions options;
    options.extraArguments = {"--boot-lines", "dtr=1,wait=5,dtr=0", "--verbose"};
    if (existingPort) {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0);
        QVERIFY(grantpt(master) == 0 && unlockpt(master) == 0);
        port = QString::fromLocal8Bit(ptsname(master));
        options.extraArguments << "--port" << port;
    }
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    const QString note = QStringLiteral("--boot-lines dtr=1,wait=5,dtr=0 ignored: %1 has no modem "
                                        "lines (a pseudo-terminal)")
                             .arg(sim.serialPath());
    // The trace is written in batches.
    QTRY_VERIFY2(sim.events().contains(note), qPrintable(sim.events().join(u'\n')));
    if (existingPort) {
        const char boot = 0;
        QCOMPARE(::write(master, &boot, 1), ssize_t(1));
        pollfd p {master, POLLIN, 0};
        QVERIFY(::poll(&p, 1, 3000) == 1);
        char answer = 0;
        QCOMPARE(::read(master, &answer, 1), ssize_t(1));
        QCOMPARE(quint8(answer), quint8(0xC5));
    } else {
        SimWire wire(sim.serialPath());
        QVERIFY(wire.write(QByteArray(1, '\0')));
        QCOMPARE(wire.read(1), QByteArray::fromHex("C5"));
    }
    sim.stop();
    if (master >= 0)
        ::close(master);
    QVERIFY(sim.standardError().contains(note));
    QVERIFY(!sim.events().join(u'\n').contains(QLatin1String("boot byte ignored")));
}

void tst_SimBootLines::badOptionStopsTheStart()
{
    SimDeviceOptions options;
    options.extraArguments = {"--boot-lines", "dtr=1,rts=x"};
    SimDevice sim(options);
    QVERIFY(!sim.isReady());
    QVERIFY2(sim.errorString().contains(
                 QLatin1String("--boot-lines: \"rts=x\" is not dtr=0|1, rts=0|1 or wait=MS")),
             qPrintable(sim.errorString()));
    // Waits alone give the device nothing to watch.
    QString why;
    QVERIFY(!ModemLinePattern::parse(QStringLiteral("wait=50"), &why));
    QCOMPARE(why, QStringLiteral("no dtr= or rts= step"));
}

QTEST_GUILESS_MAIN(tst_SimBootLines)
#include "tst_simbootlines.moc"
