#include "support/SimDevice.h"
#include "support/SimWire.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

const QByteArray Ack = QByteArray::fromHex("AA");

SimDeviceOptions withFaults(const QStringList &arguments)
{
    SimDeviceOptions options;
    options.eraseMs = 10;
    options.extraArguments = arguments;
    return options;
}

// One exchange: what the host writes and what the device must answer within a short time.
struct Step
{
    QByteArray send;
    QByteArray expect;
};

QList<Step> downloadSteps(int blocks)
{
    QList<Step> steps {{QByteArray(1, '\0'), QByteArray::fromHex("C5")},
                       {SimWire::programBytes("DLoader.H86"), QByteArray::fromHex("01")},
                       {SimWire::programBytes("Download.H86"), Ack},
                       {QByteArray::fromHex("00"), Ack},
                       {QByteArray::fromHex("0B"), QByteArray::fromHex("AA0B")}};
    for (int n = 0; n < blocks; ++n)
        steps.append({SimWire::flashFrame(4, 0x10000 + 32 * n, QByteArray(32, char(n))),
                      QByteArray::fromHex("55")});
    steps.append({QByteArray::fromHex("FF"), Ack});
    return steps;
}

// Plays the steps; returns the index of the first step whose answer differs (steps.size()
// when all matched) and the answer that came instead.
int play(SimWire &wire, const QList<Step> &steps, QByteArray *got, int quietMs = 300)
{
    for (int i = 0; i < steps.size(); ++i) {
        wire.write(steps[i].send);
        *got = wire.read(int(steps[i].expect.size()), quietMs);
        if (*got != steps[i].expect)
            return i;
    }
    return int(steps.size());
}

} // namespace

class TestSimFaults : public QObject
{
    Q_OBJECT

private slots:
    void silentFrom_data();
    void silentFrom();
    void answerChangedByAFault_data();
    void answerChangedByAFault();
    void refusedBlockIsTakenAgain();
    void byteAlteredAfterTheDownload();
    void unitsTakeTurnsOnTheLink();
    void uploadBlockFaults_data();
    void uploadBlockFaults();
    void hangUp_data();
    void hangUp();
    void hangUpThenFreshLine();
    void existingSerialDevice();
    void strayBytesAtStartup();
    void slowErase();
    void survivesGarbage_data();
    void survivesGarbage();
    void linkToTheLine();
    void badOptionsAreRefused_data();
    void badOptionsAreRefused();
};

void TestSimFaults::silentFrom_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<int>("lastAnswered"); // index of the first step left unanswered
    QTest::newRow("id") << "id" << 0;
    QTest::newRow("loader") << "loader" << 1;
    QTest::newRow("program") << "program" << 2;
    QTest::newRow("start sector") << "start-sector" << 3;
    QTest::newRow("block 2") << "block:2" << 6;
    QTest::newRow("end") << "end" << 8;
}

void TestSimFaults::silentFrom()
{
    QFETCH(QString, step);
    QFETCH(int, lastAnswered);
    SimDevice sim(withFaults({"--silent-from", step}));
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SimWire wire(sim.serialPath());
    QByteArray got;
    QCOMPARE(play(wire, downloadSteps(3), &got), lastAnswered);
    QVERIFY(got.isEmpty());
    wire.close();
    QVERIFY(sim.waitForFinished());
    QCOMPARE(sim.exitCode(), 2);
    QVERIFY(sim.summaryValue("faults").contains("silent from " + step));
}

void TestSimFaults::answerChangedByAFault_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<int>("step"); // whose answer the fault changes
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("played"); // steps played from the start
    QTest::addColumn<QString>("result"); // in the summary of the run; empty: not looked at
    QTest::newRow("erase fails") << QStringList {"--erase-fail"} << 0 << 4
                                 << QByteArray::fromHex("AAA5") << 5 << QString();
    QTest::newRow("compare error at block 1")
        << QStringList {"--compare-error", "1"} << 1 << 5 << QByteArray::fromHex("5A") << 6
        << QStringLiteral("compare error at block 1");
    QTest::newRow("stray bytes after the loader")
        << QStringList {"--stray", "loader", "--stray-bytes", "3CE1"} << 0 << 1
        << QByteArray::fromHex("013CE1") << 3 << QString();
}

void TestSimFaults::answerChangedByAFault()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, blocks);
    QFETCH(int, step);
    QFETCH(QByteArray, answer);
    QFETCH(int, played);
    QFETCH(QString, result);
    SimDevice sim(withFaults(arguments));
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SimWire wire(sim.serialPath());
    QList<Step> steps = downloadSteps(blocks);
    steps[step].expect = answer;
    QByteArray got;
    QCOMPARE(play(wire, steps.mid(0, played), &got), played);
    if (result.isEmpty())
        return;
    wire.close();
    QVERIFY(sim.waitForFinished());
    QCOMPARE(sim.exitCode(), 2);
    QCOMPARE(sim.summaryValue("result"), result);
}

void TestSimFaults::refusedBlockIsTakenAgain()
{
    SimDevice sim(withFaults({"--refuse-block", "2", "--refuse-count", "2"}));
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SimWire wire(sim.serialPath());
    QList<Step> steps = downloadSteps(3);
    // Block 2 is refused twice; the tool sends the whole frame again each time.
    const Step block2 = steps[6];
    steps[6].expect = QByteArray::fromHex("A5");
    steps.insert(7, {block2.send, QByteArray::fromHex("A5")});
    steps.insert(8, block2);
    QByteArray got;
    QCOMPARE(play(wire, steps, &got), steps.size());
    wire.close();
    QVERIFY(sim.waitForFinished());
    QCOMPARE(sim.exitCode(), 0);
    QCOMPARE(sim.flash().mid(0x10020, 32), QByteArray(32, char(1)));
    QCOMPARE(sim.summaryValue("programmed"),
             QStringLiteral("96 flash bytes, 0 retain bytes in 3 blocks"));
}

void TestSimFaults::byteAlteredAfterTheDownload()
{
    SimDevice sim(withFaults({"--alter-byte", "10021"}));
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SimWire wire(sim.serialPath());
    QByteArray got;
    QCOMPARE(play(wire, downloadSteps(2), &got), downloadSteps(2).size());
    wire.close();
    QVERIFY(sim.waitForFinished());
    // Every block was acknowledged; one bit of the second one flipped afterwards.
    QByteArray expected = QByteArray(32, char(0)) + QByteArray(32, char(1));
    expected[0x21] = char(0);
    QCOMPARE(sim.flash().mid(0x10000, 64), expected);
    QVERIFY(sim.summaryValue("faults").contains("byte 010021h altered after the download"));
}

void TestSimFaults::unitsTakeTurnsOnTheLink()
{
    QTemporaryDir dir;
    const QString second = dir.filePath(QStringLiteral("unit2.bin"));
    SimDeviceOptions options = withFaults({"--units", second});
    options.oneShot = false;
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    QVERIFY(sim.swapUnit());
    // The unit now on the line takes the download; the first one keeps its memory.
    SimWire wire(sim.serialPath());
    QByteArray got;
    QCOMPARE(play(wire, downloadSteps(1), &got), downloadSteps(1).size());
    wire.close();
    sim.stop();
    QFile file(second);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll().mid(0x10000, 32), QByteArray(32, char(0)));
    QCOMPARE(sim.flash().mid(0x10000, 32), QByteArray(32, char(0xFF)));
}

void TestSimFaults::uploadBlockFaults_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<int>("firstLength");
    QTest::addColumn<bool>("firstCheckGood");
    QTest::newRow("wrong check byte") << "--bad-check" << 258 << false;
    QTest::newRow("block cut short") << "--short-block" << 129 << false;
}

void TestSimFaults::uploadBlockFaults()
{
    QFETCH(QString, option);
    QFETCH(int, firstLength);
    QFETCH(bool, firstCheckGood);
    SimDevice sim(withFaults({option, "2"}));
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SimWire wire(sim.serialPath());
    QByteArray got;
    const QList<Step> start {{QByteArray(1, '\0'), QByteArray::fromHex("C5")},
                             {SimWire::programBytes("ULoaderNV.H86"), QByteArray::fromHex("01")},
                             {SimWire::programBytes("UploadNV.H86"), Ack}};
    QCOMPARE(play(wire, start, &got), 3);
    const QByteArray good = Ack + QByteArray(256, '\0') + Ack;
    wire.write(QByteArray::fromHex("55"));
    QCOMPARE(wire.read(258), good);
    wire.write(QByteArray::fromHex("55"));
    const QByteArray faulty = wire.read(258, 400);
    QCOMPARE(faulty.size(), firstLength);
    QCOMPARE(faulty == good, firstCheckGood);
    // Asked again, the device sends the block right.
    wire.write(QByteArray::fromHex("5A"));
    QCOMPARE(wire.read(258), good);
}

void TestSimFaults::hangUp_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("deviceBytes");
    QTest::newRow("after bytes from the host") << "--hangup-after-rx" << 5 << 1;
    QTest::newRow("after bytes to the host") << "--hangup-after-tx" << 2 << 2;
}

void TestSimFaults::hangUp()
{
    QFETCH(QString, option);
    QFETCH(int, count);
    QFETCH(int, deviceBytes);
    SimDevice sim(withFaults({option, QString::number(count)}));
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SimWire wire(sim.serialPath());
    wire.write(QByteArray(1, '\0'));
    QCOMPARE(wire.read(1), QByteArray::fromHex("C5"));
    wire.write(SimWire::programBytes("DLoader.H86"));
    QVERIFY(wire.hungUp(2000));
    QVERIFY(sim.waitForFinished());
    QCOMPARE(sim.exitCode(), 2);
    QCOMPARE(sim.deviceBytes().size(), deviceBytes);
    QVERIFY(sim.summaryValue("faults").contains("hang-up"));
}

void TestSimFaults::hangUpThenFreshLine()
{
    SimDeviceOptions options = withFaults({"--hangup-after-rx", "1"});
    options.oneShot = false;
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    const QString first = sim.serialPath();
    SimWire wire(first);
    wire.write(QByteArray(1, '\0'));
    QVERIFY(wire.hungUp(2000));
    // Like a new adapter: another line, and the fault is used up.
    QTRY_VERIFY(sim.serialPath() != first);
    SimWire fresh(sim.serialPath());
    QByteArray got;
    QCOMPARE(play(fresh, downloadSteps(1), &got), 7);
    sim.stop();
    QCOMPARE(sim.exitCode(), 0);
    QCOMPARE(sim.flash().mid(0x10000, 32), QByteArray(32, '\0'));
}

void TestSimFaults::existingSerialDevice()
{
    // A pseudo-terminal made here stands in for a real port (a null-modem cable).
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(master >= 0);
    QVERIFY(grantpt(master) == 0 && unlockpt(master) == 0);
    const QString port = QString::fromLocal8Bit(ptsname(master));
    SimDevice sim(withFaults({"--port", port}));
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    QCOMPARE(sim.serialPath(), port);
    const char boot = 0;
    QCOMPARE(::write(master, &boot, 1), ssize_t(1));
    pollfd p {master, POLLIN, 0};
    QVERIFY(::poll(&p, 1, 3000) == 1);
    char answer = 0;
    QCOMPARE(::read(master, &answer, 1), ssize_t(1));
    QCOMPARE(quint8(answer), quint8(0xC5));
    sim.stop();
    ::close(master);
    QCOMPARE(sim.hostBytes(), QByteArray(1, '\0'));
}

void TestSimFaults::strayBytesAtStartup()
{
    SimDevice sim(withFaults({"--stray", "startup"}));
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SimWire wire(sim.serialPath());
    QCOMPARE(wire.read(1, 1000), QByteArray::fromHex("E1"));
    QByteArray got;
    QCOMPARE(play(wire, downloadSteps(1), &got), 7);
}

void TestSimFaults::slowErase()
{
    SimDeviceOptions options = withFaults({});
    options.eraseMs = 1500;
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SimWire wire(sim.serialPath());
    QList<Step> steps = downloadSteps(0);
    steps[4].expect = Ack;
    QByteArray got;
    QCOMPARE(play(wire, steps.mid(0, 5), &got), 5);
    // Nothing while the erase runs, then the answer.
    QVERIFY(wire.read(1, 500).isEmpty());
    QCOMPARE(wire.read(1, 3000), QByteArray::fromHex("0B"));
}

void TestSimFaults::survivesGarbage_data()
{
    QTest::addColumn<QString>("loader");
    QTest::addColumn<QString>("program");
    QTest::newRow("bootstrap loader") << QString() << QString();
    QTest::newRow("flash download") << "DLoader.H86"
                                    << "Download.H86";
    QTest::newRow("retain download") << "DLoaderNV.H86"
                                     << "DownloadNV.H86";
    QTest::newRow("upload") << "ULoader.H86"
                            << "Upload.H86";
}

void TestSimFaults::survivesGarbage()
{
    QFETCH(QString, loader);
    QFETCH(QString, program);
    SimDevice sim(withFaults({}));
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SimWire wire(sim.serialPath());
    if (!loader.isEmpty()) {
        QByteArray got;
        const QList<Step> start {{QByteArray(1, '\0'), QByteArray::fromHex("C5")},
                                 {SimWire::programBytes(loader), QByteArray::fromHex("01")},
                                 {SimWire::programBytes(program), Ack}};
        QCOMPARE(play(wire, start, &got), 3);
    }
    quint32 state = 12345;
    QByteArray noise(32768, Qt::Uninitialized);
    for (char &c : noise) {
        state = state * 1103515245U + 12345U;
        c = char(state >> 23);
    }
    QVERIFY(wire.write(noise));
    wire.readFor(300);
    wire.close();
    QVERIFY(sim.waitForFinished());
    // Ended by the closed port, not by a crash (noise may even happen to finish a transfer:
    // an 0xFF ends a retain download); the memory file is whole.
    QVERIFY2(sim.exitCode() == 0 || sim.exitCode() == 2, qPrintable(sim.standardError()));
    QCOMPARE(sim.memory().size(), 0x100000 + 4096);
}

void TestSimFaults::linkToTheLine()
{
    QTemporaryDir dir;
    const QString link = dir.filePath("ttySim");
    {
        SimDevice sim(withFaults({"--link", link}));
        QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
        QCOMPARE(QFileInfo(link).symLinkTarget(), sim.serialPath());
        SimWire wire(link);
        wire.write(QByteArray(1, '\0'));
        QCOMPARE(wire.read(1), QByteArray::fromHex("C5"));
        wire.close();
        QVERIFY(sim.waitForFinished());
        QVERIFY(!QFileInfo(link).isSymLink());
    }
    // A file of the user's at that name is never replaced.
    QFile file(link);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("keep me");
    file.close();
    SimDevice refused(withFaults({"--link", link}));
    QVERIFY(!refused.isReady());
    QVERIFY(refused.errorString().contains("not a link"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("keep me"));
}

void TestSimFaults::badOptionsAreRefused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("device") << QStringList {"--device", "4620"} << "--device";
    QTest::newRow("step") << QStringList {"--silent-from", "block:0"} << "unknown step";
    QTest::newRow("id") << QStringList {"--id", "1C5"} << "--id";
    QTest::newRow("number") << QStringList {"--refuse-block", "x"} << "--refuse-block";
    QTest::newRow("bus") << QStringList {"--can", "socketcan:can0"} << "virtualcan";
    QTest::newRow("4610 with CAN")
        << QStringList {"--device", "4610", "--can", "virtualcan:can0"} << "no CAN";
}

void TestSimFaults::badOptionsAreRefused()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    SimDeviceOptions options;
    options.extraArguments = arguments;
    SimDevice sim(options);
    QVERIFY(!sim.isReady());
    QVERIFY2(sim.errorString().contains(message), qPrintable(sim.errorString()));
    QCOMPARE(sim.exitCode(), 1);
}

QTEST_GUILESS_MAIN(TestSimFaults)
#include "tst_simfaults.moc"
