#include "comm/KTCANDongle.h"
#include "support/MachineExplorer.h"
#include "support/MachineScript.h"
#include "upload/CANUploadBatch.h"
#include "upload/CanUpload.h"
#include "upload/SerialUpload.h"
#include "upload/UploadBlock.h"
#include "upload/UploadTransfer.h"

#include <QtTest>

#include <algorithm>

// The upload's machines with no session: a case is a line of inputs and what must come of it;
// then every state of every machine is fed every answer.
class tst_UploadMachines : public QObject
{
    Q_OBJECT
private slots:
    void protocol_data();
    void protocol();
    void exhaustive_data();
    void exhaustive();
};

namespace {

// What the simulated memory holds at `address`: never a whole erased word.
char deviceByte(qint64 address)
{
    return char((address * 13 + 5) % 0xFD);
}

UploadSetup setupFor(const QString &name)
{
    UploadSetup s;
    s.deviceType = name == QLatin1String("board") ? DeviceKind::Board4610 : DeviceKind::Device46xx;
    s.RetainMode = name.contains(QLatin1String("retain"));
    if (!s.RetainMode && s.deviceType == DeviceKind::Device46xx) {
        s.FirstSector = 1; // 0x4000 to 0x6000: 32 blocks, 256 batches
        s.EndSector = 2;
    }
    s.comInterface = name.startsWith(QLatin1String("can")) ? 1 : 0;
    return s;
}

UploadRegion regionOf(const QString &name)
{
    const UploadSetup s = setupFor(name);
    return UploadRegion::of(s.deviceType, s.RetainMode, s.FirstSector, s.EndSector);
}

// The bytes the device sends for the region: the 4610 board's reading ends on a whole block.
QByteArray memory(const QString &name)
{
    static QHash<QString, QByteArray> made;
    if (made.contains(name))
        return made.value(name);
    const UploadRegion r = regionOf(name);
    qint64 size = r.end - r.start;
    if (name == QLatin1String("board"))
        size = 329984;
    QByteArray bytes(size, '\0');
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = deviceByte(r.start + i);
    made.insert(name, bytes);
    return bytes;
}

std::unique_ptr<TransferMachine> machine(const QString &name)
{
    return UploadTransfer::machineFor(setupFor(name));
}

// A serial block as one read: the header, 256 bytes and their check byte.
MachineInput block(const QByteArray &data)
{
    return MachineInput::read(QByteArray(1, char(0xAA)) + data
                              + char(UploadBlock::checkByteFor(data)));
}

// A CAN batch: four data messages, then the status "batch complete".
QList<MachineInput> batch(const QByteArray &data)
{
    QList<MachineInput> inputs;
    for (int i = 0; i < 4; ++i)
        inputs << MachineInput::can(CANUploadBatch::DataIds[i], data.mid(8 * i, 8));
    inputs << MachineInput::reply(CANUploadBatch::StatusId, 0x20);
    return inputs;
}

// The inputs of the data phase for the first `blocks` blocks (or batches) of the memory.
QList<MachineInput> data(const QString &name, int blocks = -1)
{
    const QByteArray bytes = memory(name);
    QList<MachineInput> inputs;
    const bool can = name.startsWith(QLatin1String("can"));
    const int size = can ? 32 : 256;
    const int count = blocks < 0 ? int(bytes.size() / size) : blocks;
    for (int i = 0; i < count; ++i) {
        if (can)
            inputs << batch(bytes.mid(i * size, size));
        else
            inputs << block(bytes.mid(i * size, size));
    }
    return inputs;
}

// The start of a good run up to the first block or batch.
QString start(const QString &name)
{
    if (name == QLatin1String("serial"))
        return QStringLiteral("c5 01 aa aa aa");
    if (name == QLatin1String("board"))
        return QStringLiteral("c5 01 aa");
    if (name == QLatin1String("retain"))
        return QStringLiteral("c5 01 aa");
    if (name == QLatin1String("can"))
        return QStringLiteral("c5 01 aa C 5bf:aa");
    return QStringLiteral("c5 01 aa C"); // can-retain
}

QString end(const QString &name)
{
    return name.startsWith(QLatin1String("can")) ? QStringLiteral("5bf:00") : QStringLiteral("a5");
}

QList<MachineInput> goodRun(const QString &name)
{
    return machineScript(start(name)) + data(name) + machineScript(end(name));
}

bool readEverything(const QString &name, MachineDriver &d)
{
    const UploadMachine &m = d.as<UploadMachine>();
    const UploadRegion r = m.region();
    const QByteArray expected = memory(name);
    const qint64 offset = m.uploadData().size() >= 0x100000 ? r.start : 0;
    return QByteArrayView(m.uploadData())
               .sliced(offset)
               .first(qMin(m.uploadData().size() - offset, expected.size()))
        == QByteArrayView(expected)
        && m.bytesRead() == expected.size();
}

// The buffer holds nothing the device sent beyond the bytes asked for.
bool nothingPastTheRegion(MachineDriver &d)
{
    const UploadMachine &m = d.as<UploadMachine>();
    const QByteArray &data = m.uploadData();
    if (data.size() < 0x100000)
        return data.size() <= m.bytesAsked() + 8; // the trailer of a partial reading
    return std::all_of(data.cbegin() + m.region().end, data.cbegin() + 0x100000,
                       [](char c) { return c == char(0xFF); });
}

} // namespace

void tst_UploadMachines::protocol_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QList<MachineInput>>("inputs");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("result");
    QTest::addColumn<int>("wait"); // the watchdog's interval after the inputs

    const int ok = int(TransferOutcome::Success);
    const int failed = int(TransferOutcome::Failed);
    const QString serial = QStringLiteral("serial");
    QTest::newRow("serial: good") << serial << goodRun(serial) << ok
                                  << "Flash reading successful:\n\n8192 bytes have been read\n\n"
                                     "Used time: 0 ms"
                                  << 2000;
    // "Nothing left" before the region is whole is no backup.
    QTest::newRow("serial: end at once")
        << serial << machineScript("c5 01 aa aa aa a5") << failed
        << "Flash reading aborted:\n\nThe device ended the reading after 0 of 8192 bytes." << 2000;
    QTest::newRow("serial: end after two blocks")
        << serial << machineScript(start(serial)) + data(serial, 2) + machineScript("a5") << failed
        << "Flash reading aborted:\n\nThe device ended the reading after 512 of 8192 bytes."
        << 2000;
    // The limit of two re-requests is per block: three blocks, each short once, recovered.
    QList<MachineInput> shortBlocks = machineScript(start(serial));
    const QList<MachineInput> blocks = data(serial);
    for (int i = 0; i < blocks.size(); ++i) {
        if (i == 1 || i == 3 || i == 5) {
            shortBlocks << MachineInput::read(blocks.at(i).bytes.left(100))
                        << MachineInput::timeout();
        }
        shortBlocks << blocks.at(i);
    }
    QTest::newRow("serial: three short blocks") << serial << shortBlocks + machineScript("a5") << ok
                                                << "Flash reading successful:\n\n8192 bytes have "
                                                   "been read\n\nUsed time: 0 ms"
                                                << 2000;
    QTest::newRow("serial: a block short three times")
        << serial << machineScript(start(serial) + QStringLiteral(" aa T T T")) << failed
        << "Flash reading aborted:\n\nTIMEOUT" << 2000;
    const int aborted = int(TransferOutcome::Aborted);
    // A wrong answer to the loader or the end sector waits out its interval; to the program and
    // the start sector it ends after the short wait.
    QTest::newRow("serial: wrong loader answer") << serial << machineScript("c5 77") << aborted
                                                 << "Flash reading aborted:\n\nTIMEOUT" << 1000;
    QTest::newRow("serial: wrong program answer") << serial << machineScript("c5 01 77") << aborted
                                                  << "Flash reading aborted:\n\nTIMEOUT" << 100;
    QTest::newRow("serial: wrong start sector answer")
        << serial << machineScript("c5 01 aa 77") << aborted << "Flash reading aborted:\n\nTIMEOUT"
        << 100;
    QTest::newRow("serial: wrong end sector answer")
        << serial << machineScript("c5 01 aa aa 77") << aborted
        << "Flash reading aborted:\n\nTIMEOUT" << 1000;
    QTest::newRow("retain: wrong program answer")
        << "retain" << machineScript("c5 01 77") << aborted
        << "Retain values reading aborted:\n\nTIMEOUT" << 5000;
    QTest::newRow("retain: invalid identification")
        << "retain" << machineScript("b5c5") << aborted
        << "Retain values reading aborted:\n\nInvalid Target-ID: B5" << 1000;
    // Bad check bytes are not counted against the block: any number is answered 0x5A.
    QList<MachineInput> badChecks = machineScript(start(serial));
    const QList<MachineInput> good = data(serial);
    for (int i = 0; i < 3; ++i) {
        QByteArray bad = good.first().bytes;
        bad[257] = char(bad[257] ^ 1);
        badChecks << MachineInput::read(bad);
    }
    QTest::newRow("serial: bad check bytes")
        << serial << badChecks + good + machineScript("a5") << ok
        << "Flash reading successful:\n\n8192 bytes have "
           "been read\n\nUsed time: 0 ms"
        << 2000;
    // ... three times at most.
    QTest::newRow("serial: bad check bytes for ever")
        << serial << badChecks + badChecks + good + machineScript("a5") << failed
        << "Flash reading aborted:\n\nThe block at 004000h (sector 1) came with a bad check byte "
           "4 times."
        << 2000;
    // Nothing past the region is taken, and the reading fails.
    QTest::newRow("serial: a block past the region")
        << serial
        << goodRun(serial).mid(0, goodRun(serial).size() - 1) + data(serial, 1)
            + machineScript("a5")
        << failed << "Flash reading aborted:\n\nThe device sent more than the 8192 bytes asked for."
        << 2000;
    QTest::newRow("can: a batch past the region")
        << QStringLiteral("can")
        << goodRun(QStringLiteral("can")).mid(0, goodRun(QStringLiteral("can")).size() - 1)
            + data(QStringLiteral("can"), 1) + machineScript("5bf:00")
        << failed << "Flash reading aborted:\n\nThe device sent more than the 8192 bytes asked for."
        << 5000;
    // A stray byte before the header is no answer; the header in the same read is.
    QList<MachineInput> strayFirst = machineScript(start(serial));
    for (const MachineInput &b : good)
        strayFirst << MachineInput::read(QByteArray(1, char(0xE1)) + b.bytes);
    QTest::newRow("serial: a stray byte before each header")
        << serial << strayFirst + machineScript("e1a5") << ok
        << "Flash reading successful:\n\n8192 bytes have been read\n\nUsed time: 0 ms" << 2000;
    // Once ended, nothing changes the outcome or the report.
    QTest::newRow("serial: user break after the end")
        << serial << goodRun(serial) + machineScript("B T aa") << ok
        << "Flash reading successful:\n\n8192 bytes have been read\n\nUsed time: 0 ms" << 2000;
    // A data message one byte short never completes the batch; stray frames and serial bytes
    // are no answer.
    QTest::newRow("can: short data message")
        << QStringLiteral("can")
        << machineScript(start(QStringLiteral("can"))
                         + QStringLiteral(" 1bf:0101010101010101 2bf:02020202020202 "
                                          "3bf:0303030303030303 4bf:0404040404040404 "
                                          "5bf:20 7ff:0505050505050505 aa55"))
        << failed << "Flash reading aborted:\n\nTIMEOUT" << 5000;
    QTest::newRow("retain: end at once")
        << "retain" << machineScript("c5 01 aa a5") << failed
        << "Retain values reading aborted:\n\nThe device ended the reading after 0 of 4096 bytes."
        << 1500;
    QTest::newRow("retain: good") << "retain" << goodRun("retain") << ok
                                  << "Retain values reading successful:\n\n4096 bytes have been "
                                     "read\n\nUsed time: 0 ms"
                                  << 1500;
    QTest::newRow("board: good") << "board" << goodRun("board") << ok
                                 << "Flash reading successful:\n\n329984 bytes have been read\n\n"
                                    "Used time: 0 ms"
                                 << 2000;
    const QString can = QStringLiteral("can");
    QTest::newRow("can: good") << can << goodRun(can) << ok
                               << "Flash reading successful:\n\n8192 bytes have been read\n\nUsed "
                                  "time: 0 ms"
                               << 5000;
    QTest::newRow("can: end right after acceptance")
        << can << machineScript("c5 01 aa C 5bf:aa 5bf:00") << failed
        << "Flash reading aborted:\n\nThe device ended the reading after 0 of 8192 bytes." << 5000;
    QTest::newRow("can: end after two batches")
        << can << machineScript(start(can)) + data(can, 2) + machineScript("5bf:00") << failed
        << "Flash reading aborted:\n\nThe device ended the reading after 64 of 8192 bytes." << 5000;
    // The device falls silent after a batch: the next request's wait ends the reading.
    QTest::newRow("can: silent after a batch")
        << can << machineScript(start(can)) + data(can, 1) << failed
        << "Flash reading aborted:\n\nTIMEOUT" << 5000;
    QTest::newRow("can-retain: good") << "can-retain" << goodRun("can-retain") << ok
                                      << "Retain values reading successful:\n\n4096 bytes have "
                                         "been read\n\nUsed time: 0 ms"
                                      << 5000;
    // A second, different message on a data identifier within one batch: which one is the
    // device's cannot be known.
    QTest::newRow("can: two messages on one identifier")
        << can
        << machineScript(start(can) + QStringLiteral(" 1bf:0102030405060708 1bf:0807060504030201"))
        << failed
        << "Flash reading aborted:\n\nTwo different messages with the identifier 1BFh came in "
           "one batch."
        << 5000;
    QTest::newRow("can-retain: end at once")
        << "can-retain" << machineScript("c5 01 aa C 5bf:00") << failed
        << "Retain values reading aborted:\n\nThe device ended the reading after 0 of 4096 bytes."
        << 5000;
}

void tst_UploadMachines::protocol()
{
    QFETCH(QString, name);
    QFETCH(QList<MachineInput>, inputs);
    QFETCH(int, outcome);
    QFETCH(QString, result);
    QFETCH(int, wait);

    MachineDriver d(machine(name));
    d.confirm();
    QCOMPARE(d.discards, 1);
    d.feed(inputs);
    QCOMPARE(d.hangs, 0);
    QCOMPARE(d.wait(), wait);
    d.silence();
    QVERIFY(d.finished());
    QCOMPARE(d.sendsAfterFinish, 0);
    QCOMPARE(int(d.outcome()), outcome);
    QCOMPARE(d.result(), result);
    QVERIFY(outcome != int(TransferOutcome::Success) || readEverything(name, d));
    QVERIFY(nothingPastTheRegion(d));
}

void tst_UploadMachines::exhaustive_data()
{
    addMachineKindRows();
}

void tst_UploadMachines::exhaustive()
{
    QFETCH(QString, name);
    MachineExploration e;
    e.make = [name] {
        return machine(name);
    };
    e.goodRun = goodRun(name);
    e.variants = serialVariants();
    const bool can = name.startsWith(QLatin1String("can"));
    if (can) {
        e.variants << canVariants(CANUploadBatch::StatusId, {0x00, 0x20, 0xAA},
                                  {0x5BE, 0x5C0, 0x23F, 0x7FF});
        for (int len = 0; len <= 8; ++len)
            e.variants << MachineInput::can(CANUploadBatch::DataIds[1], QByteArray(len, 'x'));
    }
    // Each state is reached: the start, the first two blocks or batches, the last one and the
    // end; the blocks between are the same state again.
    const int startLength = int(machineScript(start(name)).size());
    const int unit = can ? 5 : 1;
    const int n = int(e.goodRun.size());
    e.prefixes = [=](int prefix) {
        return prefix <= startLength + unit || prefix >= n - 1 - unit;
    };
    e.strayFrameId = CANUploadBatch::StatusId;
    if (name == QLatin1String("can")) {
        // 256 batches a run: the good device follows only in the region request's states; the
        // boot states, the batches and the end are those of the retain values' reading.
        e.goodDeviceAfter = [=](int prefix) {
            return prefix >= 3 && prefix <= startLength;
        };
        e.strays = e.goodDeviceAfter;
    }
    if (name == QLatin1String("board")) {
        // 1289 blocks a run: the board's own start is tried with silence after it; its blocks
        // and its end are the serial reading's.
        e.prefixes = [=](int prefix) {
            return prefix <= startLength + 1;
        };
        e.goodDeviceAfter = [](int) {
            return false;
        };
        e.strays = e.goodDeviceAfter;
        e.randomCuts = 2;
    }
    e.movedEverything = [name](MachineDriver &d) {
        return readEverything(name, d);
    };
    e.storedWithin = nothingPastTheRegion;
    // A device whose blocks always come with a bad check byte; one that reads on past the
    // region.
    if (!can) {
        QByteArray bad = data(name, 1).constFirst().bytes;
        bad[257] = char(bad[257] ^ 1);
        e.endless << MachineInput::read(bad) << MachineInput::read(0xE1);
    } else {
        // Over CAN: messages that never complete the batch (the same data message again, a
        // short one, a status the protocol does not know, "batch complete" without its data, a
        // foreign identifier).
        e.endless << data(name, 1).constFirst()
                  << machineScript(QStringLiteral("2bf:0102 5bf:33 5bf:20 7ff:0102030405060708"));
    }
    e.pastTheEnd = data(name, 2);
    const QString violations = exploreLogged(e, name);
    QVERIFY2(violations.isEmpty(), qPrintable(violations));
}

QTEST_GUILESS_MAIN(tst_UploadMachines)
#include "tst_uploadmachines.moc"
