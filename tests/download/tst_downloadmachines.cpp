#include "comm/KTCANDongle.h"
#include "download/CanDownload.h"
#include "download/DownloadTransfer.h"
#include "download/SerialFlashDownload.h"
#include "support/MachineExplorer.h"
#include "support/MachineScript.h"

#include <QtTest>

// The download's machines with no session: a case is a line of inputs and what must come of
// it; then every state of every machine is fed every answer.
class tst_DownloadMachines : public QObject
{
    Q_OBJECT
private slots:
    void protocol_data();
    void protocol();
    void outOfStepResumePoint_data();
    void outOfStepResumePoint();
    void exhaustive_data();
    void exhaustive();
};

namespace {

QByteArray pattern(int n, int seed = 1)
{
    QByteArray b;
    for (int i = 0; i < n; ++i)
        b.append(char((i * 7 + seed) % 0xFE));
    return b;
}

// The downloads the cases run, by name.
DownloadRequest request(const QString &name)
{
    DownloadRequest r;
    r.deviceType = DeviceKind::Device46xx;
    if (name == QLatin1String("board")) {
        // A block of flash just below 0x50000, then 64 bytes of NV parameters.
        r.image = QByteArray(0x50040, char(0xFF));
        r.image.replace(0x4FFE0, 32, pattern(32));
        r.image.replace(0x50000, 0x40, pattern(0x40, 3));
        r.dataEnd = 0x50040;
        r.deviceType = DeviceKind::Board4610;
        return r;
    }
    if (name.contains(QLatin1String("retain"))) {
        r.image = pattern(20);
        r.dataEnd = 20;
        r.retainData = true;
    } else {
        // 70 bytes in blocks of 32, 32 and 6; sectors 0 to 10.
        r.image = QByteArray(0x100008, char(0xFF));
        r.image.replace(0, 70, pattern(70));
        r.dataEnd = 70;
        r.endSector = 11;
    }
    if (name == QLatin1String("sectors")) {
        // Blocks at 0x3FF0 (sector 0), 0x4000 and 0x4020 (sector 1); sectors 0 to 10.
        r.image.replace(0, 70, QByteArray(70, char(0xFF)));
        r.image.replace(0x3FF0, 0x40, pattern(0x40));
        r.dataEnd = 0x4030;
    }
    if (name.startsWith(QLatin1String("can")))
        r.settings.COMInterface = 1;
    return r;
}

std::unique_ptr<TransferMachine> machine(const QString &name)
{
    // Planned once per name: the exhaustive cases make thousands.
    static QHash<QString, DownloadJob> jobs;
    const DownloadRequest r = request(name);
    if (!jobs.contains(name))
        jobs.insert(name, DownloadTransfer::jobFor(r));
    return DownloadTransfer::machineFor(r, jobs.value(name));
}

// The device's answers of a good run from the boot byte on.
QString goodRun(const QString &name)
{
    if (name == QLatin1String("serial"))
        return QStringLiteral("c5 01 aa aa aa 0b 55*3 aa");
    if (name == QLatin1String("retain"))
        return QStringLiteral("c5 01 aa 55*2 aa");
    if (name == QLatin1String("board"))
        return QStringLiteral("c5 01 aa 00 55 55 55*4 aa");
    if (name == QLatin1String("can"))
        return QStringLiteral("c5 01 aa C 5bf:33 5bf:55*3 5bf:aa");
    return QStringLiteral("c5 01 aa C 5bf:55 5bf:aa"); // can-retain
}

} // namespace

void tst_DownloadMachines::protocol_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("inputs");
    QTest::addColumn<QString>("sentTail"); // hex of the last serial bytes sent
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("result");
    QTest::addColumn<int>("wait"); // the watchdog's interval at the end

    const int ok = int(TransferOutcome::Success);
    const int failed = int(TransferOutcome::Failed);
    const int aborted = int(TransferOutcome::Aborted);
    QTest::newRow("serial: good") << "serial" << goodRun("serial") << "ff" << ok
                                  << "Flash programming successful:\n\n70 bytes programmed\n\n"
                                     "Used time: 0 ms"
                                  << 5000;
    // The device answers 0xAA to a data block before the end marker went out.
    QTest::newRow("serial: end after the first block")
        << "serial"
        << "c5 01 aa aa aa 0b aa"
        << "" << failed
        << "Flash programming aborted:\n\nThe device reported the end of programming after 0 "
           "of 70 bytes."
        << 5000;
    QTest::newRow("serial: end before the last block")
        << "serial"
        << "c5 01 aa aa aa 0b 55 55 aa"
        << "" << failed
        << "Flash programming aborted:\n\nThe device reported the end of programming after 64 "
           "of 70 bytes."
        << 5000;
    QTest::newRow("serial: refused block sent again")
        << "serial"
        << "c5 01 aa aa aa 0b 55 a5 55 55 aa"
        << "ff" << ok << "Flash programming successful:\n\n70 bytes programmed\n\nUsed time: 0 ms"
        << 5000;
    // Every byte of a read is an answer: a second one in the same read came before anything was
    // sent to answer, and which of the two is the block's cannot be known.
    QTest::newRow("serial: a stray 0x55 before the compare error")
        << "serial"
        << "c5 01 aa aa aa 0b 555a 55 55 aa"
        << "" << failed
        << "Flash programming aborted:\n\nThe answers are out of step: 5Ah came after the answer "
           "55h to the block at 000000h (sector 0)."
        << 5000;
    QTest::newRow("serial: the erase answer and a block's in one read")
        << "serial"
        << "c5 01 aa aa aa0b55 55 55 aa"
        << "" << failed
        << "Flash programming aborted:\n\nThe answers are out of step: 55h came after the answer "
           "0Bh to the erase."
        << 50000;
    // Bytes that are no answer are let pass; the answer after them counts.
    QTest::newRow("serial: stray bytes around the answers")
        << "serial"
        << "c5 01 aa aa aa0be1 e155 55e1 55 aa"
        << "ff" << ok << "Flash programming successful:\n\n70 bytes programmed\n\nUsed time: 0 ms"
        << 5000;
    // Sent again three times at most.
    QTest::newRow("serial: a block refused for ever")
        << "serial"
        << "c5 01 aa aa aa 0b a5*20"
        << "" << failed
        << "Flash programming aborted:\n\nThe device refused the block at 000000h (sector 0) 4 "
           "times."
        << 5000;
    QTest::newRow("serial: the end marker refused for ever")
        << "serial"
        << "c5 01 aa aa aa 0b 55*3 a5*20"
        << "" << failed
        << "Flash programming aborted:\n\nThe device refused the end of data 4 times." << 5000;
    QTest::newRow("serial: the end marker answered 0x55 for ever")
        << "serial"
        << "c5 01 aa aa aa 0b 55*3 55*20"
        << "" << failed
        << "Flash programming aborted:\n\nThe answers are out of step: 55h answered the end of "
           "data."
        << 5000;
    // Once ended, nothing changes the outcome or the report.
    QTest::newRow("serial: user break after the end")
        << "serial" << goodRun("serial") + " B T 55"
        << "ff" << ok << "Flash programming successful:\n\n70 bytes programmed\n\nUsed time: 0 ms"
        << 5000;
    QTest::newRow("serial: erase error")
        << "serial"
        << "c5 01 aa aa aa a5"
        << "" << failed << "Flash programming aborted:\n\nFlash erase error!" << 50000;
    QTest::newRow("serial: wrong start sector answer")
        << "serial"
        << "c5 01 aa 00"
        << "" << aborted << "Flash programming aborted:\n\nTIMEOUT" << 100;
    QTest::newRow("serial: invalid identification")
        << "serial"
        << "c6"
        << "" << aborted << "Flash programming aborted:\n\nInvalid Target-ID: C6" << 2000;
    QTest::newRow("serial: wrong loader answer")
        << "serial"
        << "c5 02"
        << "11223344" << aborted << "Flash programming aborted:\n\nTIMEOUT" << 100;
    QTest::newRow("serial: wrong program answer")
        << "serial"
        << "c5 01 55"
        << "aabbcc" << aborted << "Flash programming aborted:\n\nTIMEOUT" << 100;
    QTest::newRow("serial: wrong end sector answer")
        << "serial"
        << "c5 01 aa aa 01"
        << "0b" << aborted << "Flash programming aborted:\n\nTIMEOUT" << 100;
    QTest::newRow("serial: 0xAA during the erase")
        << "serial"
        << "c5 01 aa aa aa aa"
        << "" << failed << "Flash programming aborted:\n\nFlash erase error!" << 50000;
    QTest::newRow("serial: compare error")
        << "serial"
        << "c5 01 aa aa aa 0b 5a"
        << "" << failed
        << "Flash programming aborted:\n\nCompare error!\n\nSector: 0\nRange:  000000h to "
           "000020h"
        << 5000;
    QTest::newRow("serial: loader wait")
        << "serial"
        << "c5"
        << "11223344" << failed << "Flash programming aborted:\n\nTIMEOUT" << 2000;
    QTest::newRow("serial: waits")
        << "serial"
        << "c5 01"
        << "aabbcc" << failed << "Flash programming aborted:\n\nTIMEOUT" << 5000;
    QTest::newRow("serial: sector waits")
        << "serial"
        << "c5 01 aa"
        << "00" << failed << "Flash programming aborted:\n\nTIMEOUT" << 1000;
    QTest::newRow("serial: erase wait")
        << "serial"
        << "c5 01 aa aa aa"
        << "0b" << failed << "Flash programming aborted:\n\nTIMEOUT" << 50000;
    QTest::newRow("retain: good") << "retain" << goodRun("retain") << "ff" << ok
                                  << "Retain values programming successful:\n\n20 bytes "
                                     "programmed\n\nUsed time: 0 ms"
                                  << 2000;
    QTest::newRow("retain: end after the first frame")
        << "retain"
        << "c5 01 aa aa"
        << "" << failed
        << "Retain values programming aborted:\n\nThe device reported the end of programming "
           "after 0 of 20 bytes."
        << 2000;
    QTest::newRow("retain: invalid identification")
        << "retain"
        << "d4"
        << "" << aborted << "Retain values programming aborted:\n\nInvalid Target-ID: D4" << 2000;
    QTest::newRow("retain: wrong program answer")
        << "retain"
        << "d5 01 00"
        << "aabbcc" << aborted << "Retain values programming aborted:\n\nTIMEOUT" << 100;
    QTest::newRow("retain: frame wait")
        << "retain"
        << "c5 01 aa"
        << "" << failed << "Retain values programming aborted:\n\nTIMEOUT" << 2000;
    QTest::newRow("retain: program start wait")
        << "retain"
        << "c5 01"
        << "aabbcc" << failed << "Retain values programming aborted:\n\nTIMEOUT" << 1000;
    QTest::newRow("board: good") << "board" << goodRun("board") << "ff" << ok
                                 << "Retain values programming successful:\n\n96 bytes "
                                    "programmed\n\nUsed time: 0 ms"
                                 << 5000;
    QTest::newRow("board: the switch byte refused for ever")
        << "board"
        << "c5 01 aa 00 55 a5*20"
        << "" << failed
        << "Retain values programming aborted:\n\nThe device refused the switch to the retain "
           "values 4 times."
        << 5000;
    QTest::newRow("board: end before the NV part")
        << "board"
        << "c5 01 aa 00 aa"
        << "" << failed
        << "Flash programming aborted:\n\nThe device reported the end of programming after 0 of "
           "96 bytes."
        << 5000;
    QTest::newRow("can: good") << "can" << goodRun("can") << "aabbcc" << ok
                               << "Flash programming successful:\n\n70 bytes programmed\n\nUsed "
                                  "time: 0 ms"
                               << 5000;
    QTest::newRow("can: end after the first block")
        << "can"
        << "c5 01 aa C 5bf:33 5bf:aa"
        << "" << failed
        << "Flash programming aborted:\n\nThe device reported the end of programming after 0 of "
           "70 bytes."
        << 5000;
    QTest::newRow("can: erase wait")
        << "can"
        << "c5 01 aa C"
        << "" << failed << "Flash programming aborted:\n\nTIMEOUT" << 50000;
    QTest::newRow("can: dongle error")
        << "can"
        << "c5 01 aa C 5bf:33 X"
        << "" << failed << "Flash programming aborted:\n\nCAN Dongle error: " + CANErrorText(0x10)
        << 5000;
    QTest::newRow("can-retain: good") << "can-retain" << goodRun("can-retain") << "" << ok
                                      << "Retain values programming successful:\n\n20 bytes "
                                         "programmed\n\nUsed time: 0 ms"
                                      << 5000;
    QTest::newRow("can: the end marker answered 0x55 for ever")
        << "can"
        << "c5 01 aa C 5bf:33 5bf:55*3 5bf:55*20"
        << "" << failed
        << "Flash programming aborted:\n\nThe answers are out of step: 55h answered the end of "
           "data."
        << 5000;
    QTest::newRow("can: a block answered during the erase")
        << "can"
        << "c5 01 aa C 5bf:55 5bf:33"
        << "" << failed
        << "Flash programming aborted:\n\nThe answers are out of step: 55h answered the erase."
        << 50000;
    QTest::newRow("can-retain: compare error")
        << "can-retain"
        << "c5 01 aa C 5bf:5a"
        << "" << failed << "Retain values programming aborted:\n\nCompare error!" << 5000;
    QTest::newRow("can-retain: end at once")
        << "can-retain"
        << "c5 01 aa C 5bf:aa"
        << "" << failed
        << "Retain values programming aborted:\n\nThe device reported the end of programming "
           "after 0 of 20 bytes."
        << 5000;
}

void tst_DownloadMachines::protocol()
{
    QFETCH(QString, name);
    QFETCH(QString, inputs);
    QFETCH(QString, sentTail);
    QFETCH(int, outcome);
    QFETCH(QString, result);
    QFETCH(int, wait);

    MachineDriver d(machine(name));
    d.confirm();
    // Bytes from before this session would be taken for the identification.
    QCOMPARE(d.discards, 1);
    QCOMPARE(d.takeSent(), QByteArray(1, '\0'));
    d.feed(machineScript(inputs));
    // Every wait is guarded: a device that falls silent ends the transfer.
    QCOMPARE(d.hangs, 0);
    d.silence();
    QVERIFY(d.finished());
    QCOMPARE(d.sendsAfterFinish, 0);
    QVERIFY(d.sent().toHex().endsWith(sentTail.toLatin1()));
    QCOMPARE(int(d.outcome()), outcome);
    QCOMPARE(d.result(), result);
    QCOMPARE(d.wait(), wait);
}

void tst_DownloadMachines::outOfStepResumePoint_data()
{
    QTest::addColumn<QString>("inputs");
    QTest::addColumn<int>("resumeSector");
    // Which of two answers was the block's cannot be known: nothing from the block answered
    // before it on is known to be programmed.
    QTest::newRow("two answers to the first block") << "c5 01 aa aa aa 0b 5555" << 0;
    QTest::newRow("two answers to the second block") << "c5 01 aa aa aa 0b 55 555a" << 0;
    QTest::newRow("two answers to the third block") << "c5 01 aa aa aa 0b 55 55 a555" << 1;
    QTest::newRow("a compare error stays at its block") << "c5 01 aa aa aa 0b 55 5a" << 1;
}

void tst_DownloadMachines::outOfStepResumePoint()
{
    QFETCH(QString, inputs);
    QFETCH(int, resumeSector);
    MachineDriver d(machine(QStringLiteral("sectors")));
    d.confirm();
    d.feed(machineScript(inputs));
    QVERIFY(d.finished());
    QCOMPARE(int(d.outcome()), int(TransferOutcome::Failed));
    QCOMPARE(d.machine().tally().resumeSector, resumeSector);
}

void tst_DownloadMachines::exhaustive_data()
{
    addMachineKindRows();
}

void tst_DownloadMachines::exhaustive()
{
    QFETCH(QString, name);
    MachineExploration e;
    e.make = [name] {
        return machine(name);
    };
    e.goodRun = machineScript(goodRun(name));
    e.variants = serialVariants();
    const bool can = name.startsWith(QLatin1String("can"));
    if (can) {
        e.variants << canVariants(CanDownload::CanReplyId, {0x33, 0x55, 0xAA},
                                  {0x5BE, 0x1BF, 0x63F, 0x7FF});
    }

    // The frames a good run sends from the first block on, each of which must be answered in
    // step for a success.
    MachineDriver good(machine(name));
    good.confirm();
    good.feed(e.goodRun);
    AnswerCheck check;
    check.can = can;
    check.replyId = CanDownload::CanReplyId;
    check.answers = {0x55, 0x5A, 0xA5, 0xAA};
    for (const MachineDriver::Exchange &x : good.wire) {
        if (x.sent && x.can == can)
            check.planned << x.bytes;
    }
    if (can) {
        // Over CAN a frame is its command; a flash download's first is the erase. 0xA5 answers
        // nothing for retain values.
        check.answers << CanDownload::CanEraseFinished;
        if (name == QLatin1String("can-retain"))
            check.answers.removeAll(quint8(0xA5));
        QList<QByteArray> commands;
        for (const QByteArray &key : check.planned) {
            if (key.startsWith(QByteArray::fromHex("0000063f")))
                commands << key;
        }
        check.planned = commands.mid(name == QLatin1String("can") ? 1 : 0);
    } else {
        // The boot byte, the two programs and (46xx flash) the two sector bytes come first.
        check.planned = check.planned.mid(name == QLatin1String("serial") ? 5 : 3);
    }
    e.movedEverything = [check](MachineDriver &d) {
        return answeredInStep(d, check);
    };
    // Answers repeated, and what answers nothing (a status the protocol does not know, a
    // foreign identifier, a stray byte) again and again: none of it may put a wait off. The
    // erase's wait is long: the device answers once a second.
    e.endless
        = can ? machineScript("5bf:55 5bf:a5 5bf:33 5bf:77 7ff:55") : machineScript("a5 55 e1");
    if (can)
        e.endlessEveryMs = 1000;
    const QString violations = exploreLogged(e, name);
    QVERIFY2(violations.isEmpty(), qPrintable(violations));
}

QTEST_GUILESS_MAIN(tst_DownloadMachines)
#include "tst_downloadmachines.moc"
