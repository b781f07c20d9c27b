#include "UploadSetups.h"
#include "base/IdleSlot.h"
#include "comm/KTComm.h"
#include "support/FakeLinks.h"
#include "support/TestSetup.h"
#include "support/TransferProbe.h"
#include "support/VirtualTimerSource.h"
#include "transfer/TargetFiles.h"
#include "transfer/TransferOutcome.h"
#include "upload/CanUpload.h"
#include "upload/SerialUpload.h"
#include "upload/UploadBlock.h"
#include "upload/UploadChoice.h"
#include "upload/UploadTransfer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray LoaderBytes = QByteArray::fromHex("11223344");
const QByteArray ProgramBytes = QByteArray::fromHex("aabbcc");

QByteArray blockData(int seed)
{
    QByteArray data(256, Qt::Uninitialized);
    for (int i = 0; i < 256; ++i)
        data[i] = char((seed * 31 + i) & 0xFF);
    return data;
}

QByteArray frame(const QByteArray &data, bool good = true)
{
    return data + char(UploadBlock::checkByteFor(data) ^ (good ? 0 : 0x01));
}

TCANMsg canMessage(quint32 id, const QByteArray &data)
{
    TCANMsg m;
    m.ID = id;
    m.Len = quint8(data.size());
    std::memcpy(m.Data, data.constData(), size_t(std::min<qsizetype>(data.size(), 8)));
    return m;
}

UploadSetup setupFor(UploadChoice choice, DeviceKind deviceType = DeviceKind::Device46xx,
                     int comInterface = 0)
{
    return uploadSetupFor(choice, deviceType, comInterface);
}

struct Harness
{
    explicit Harness(const UploadSetup &setup)
    {
        transfer = std::make_unique<UploadTransfer>(
            setup, serial, [bus = can] { return std::make_unique<FakeCanLink>(bus); },
            testSetup(TargetFiles::directory(), clock));
        probe = std::make_unique<TransferProbe>(*transfer);
    }

    // A transfer freed before its end still sends Finished: it must find the harness whole.
    ~Harness() { transfer.reset(); }
    Harness(const Harness &) = delete;
    Harness &operator=(const Harness &) = delete;

    // Up to the boot byte on the wire.
    bool boot()
    {
        transfer->start();
        clock.settle();
        if (!transfer->bootPromptPending())
            return false;
        transfer->answerBootPrompt(true);
        return serial.takeWritten() == QByteArray(1, 0x00);
    }

    // Target-ID, loader and program; true when the expected bytes went out.
    bool startProgram()
    {
        if (!boot())
            return false;
        serial.deliver(QByteArray::fromHex("c5"));
        if (serial.takeWritten() != LoaderBytes)
            return false;
        serial.deliver(QByteArray::fromHex("01"));
        return serial.takeWritten() == ProgramBytes;
    }

    // Lets virtual time pass until the transfer has finished (idle actions, short waits);
    // true when it has, with a whole event stream.
    bool waitFinished() { return probe->waitFinished(clock, 10000); }

    // The device sends the rest of the region in whole blocks (blockData from `fromBlock` on),
    // then its end mark: a reading succeeds only when it is whole.
    void readToTheEnd(int fromBlock)
    {
        for (int b = fromBlock; transfer->bytesRead() < transfer->record().totalBytes; ++b)
            serial.deliver(QByteArray(1, char(0xAA)) + frame(blockData(b)));
        serial.takeWritten();
        serial.deliver(QByteArray::fromHex("a5"));
    }
    // The same over CAN, in batches of 32 bytes.
    void readToTheEndOverCan(int fromBatch)
    {
        for (int b = fromBatch; transfer->bytesRead() < transfer->record().totalBytes; ++b) {
            const QByteArray bytes = blockData(b).left(32);
            for (int part = 0; part < 4; ++part)
                can->deliver(canMessage(0x1BF + 0x100 * part, bytes.mid(part * 8, 8)));
            can->deliver(canMessage(0x5BF, QByteArray::fromHex("20")));
        }
        can->sent.clear();
        can->deliver(canMessage(0x5BF, QByteArray::fromHex("00")));
    }

    // The watchdog runs out: exactly its interval passes.
    void expire()
    {
        QVERIFY(transfer->watchdogActive());
        clock.advance(transfer->watchdogInterval());
    }

    VirtualTimerSource clock;
    FakeSerialLink serial;
    std::shared_ptr<FakeCanBus> can = std::make_shared<FakeCanBus>();
    std::unique_ptr<UploadTransfer> transfer;
    std::unique_ptr<TransferProbe> probe;
};

} // namespace

class TestUploadTransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void serialRegions_data();
    void serialRegions();
    void openingLogAndIntervals();
    void headerArrivesWithBlockData_data();
    void headerArrivesWithBlockData();
    void bytesBeyondABlockAreNoAnswer_data();
    void bytesBeyondABlockAreNoAnswer();
    void timeoutsRequestTheBlockAgain();
    void lineErrorDuringBlock();
    void lineErrorTexts_data();
    void lineErrorTexts();
    void targetFileUnreadableWhenSent();
    void userBreak();
    void boardImage();
    void retainValuesSerial();
    void canRegions_data();
    void canRegions();
    void canBatchesInAnyOrder();
    void canRepeatedMessageReplacesShortOne();
    void canRetainValues();
    void canDongleError();
    void compareAfterReading_data();
    void compareAfterReading();
    void relocationRuleOnlyOnTheBoard();
    void recordOfAnUpload();
    void recordOfAFailedUpload_data();
    void recordOfAFailedUpload();

private:
    QTemporaryDir m_h86;
};

void TestUploadTransfer::initTestCase()
{
    QVERIFY(m_h86.isValid());
    // Stand-in target files for every upload selection: a loader and a program that differ.
    for (bool retain : {false, true}) {
        for (DeviceKind device : {DeviceKind::Device46xx, DeviceKind::Board4610}) {
            for (int iface : {0, 1, 2}) {
                for (int rate : {5, 6, 7}) {
                    QVERIFY(writeStandInTargets(m_h86.path(),
                                                TargetFiles::choose(TargetFiles::Direction::Upload,
                                                                    retain, device, iface, rate)));
                }
            }
        }
    }
    TargetFiles::setDirectory(m_h86.path());
}

void TestUploadTransfer::cleanupTestCase()
{
    TargetFiles::setDirectory(QString());
}

void TestUploadTransfer::cleanup()
{
    IdleSlot::cancel();
}

void TestUploadTransfer::serialRegions_data()
{
    QTest::addColumn<int>("choice");
    QTest::addColumn<QByteArray>("sectorBytes");
    QTest::addColumn<qint32>("landing");
    QTest::addColumn<QString>("readingLine");
    QTest::addColumn<QByteArray>("trailer");

    QTest::newRow("flash") << int(UploadChoice::Flash) << QByteArray::fromHex("0000") << 0
                           << "Reading all flash data sectors..." << QByteArray();
    QTest::newRow("os") << int(UploadChoice::OperatingSystem) << QByteArray::fromHex("000b") << 0
                        << "Reading flash data sectors 0 up to 10..."
                        << QByteArray::fromHex("000000000b000000");
    QTest::newRow("parameters") << int(UploadChoice::Parameters) << QByteArray::fromHex("1113")
                                << 0xE0000 << "Reading flash data sectors 17 up to 18..."
                                << QByteArray::fromHex("1100000013000000");
    QTest::newRow("plc") << int(UploadChoice::PlcProject) << QByteArray::fromHex("0b11") << 0x80000
                         << "Reading flash data sectors 11 up to 16..."
                         << QByteArray::fromHex("0b00000011000000");
    QTest::newRow("plc-code") << int(UploadChoice::PlcCode) << QByteArray::fromHex("0b0f")
                              << 0x80000 << "Reading flash data sectors 11 up to 14..."
                              << QByteArray::fromHex("0b0000000f000000");
    QTest::newRow("plc-data") << int(UploadChoice::PlcData) << QByteArray::fromHex("0f11")
                              << 0xC0000 << "Reading flash data sectors 15 up to 16..."
                              << QByteArray::fromHex("0f00000011000000");
}

void TestUploadTransfer::serialRegions()
{
    QFETCH(int, choice);
    QFETCH(QByteArray, sectorBytes);
    QFETCH(qint32, landing);
    QFETCH(QString, readingLine);
    QFETCH(QByteArray, trailer);

    Harness h(setupFor(UploadChoice(choice)));
    QVERIFY(h.startProgram());
    h.serial.deliver(QByteArray::fromHex("aa"));
    QCOMPARE(h.serial.takeWritten(), sectorBytes.left(1));
    h.serial.deliver(QByteArray::fromHex("aa"));
    QCOMPARE(h.serial.takeWritten(), sectorBytes.mid(1));
    h.serial.deliver(QByteArray::fromHex("aa"));
    QCOMPARE(h.serial.takeWritten(), QByteArray::fromHex("55"));
    QCOMPARE(h.probe->logs.last(), readingLine);

    for (int b = 0; b < 2; ++b) {
        h.serial.deliver(QByteArray(1, char(0xAA)) + frame(blockData(b)));
        QCOMPARE(h.serial.takeWritten(), QByteArray::fromHex("55"));
    }
    QCOMPARE(h.probe->status, QStringLiteral("512 bytes have been read"));
    h.readToTheEnd(2);
    QVERIFY(h.waitFinished());
    QCOMPARE(h.probe->result().modalResult, 1);
    const qint64 size = h.probe->result().totalBytes;
    QVERIFY(h.probe->reportText.startsWith(
        QStringLiteral("Flash reading successful:\r\n\r\n%1 bytes have been read\r\n\r\n"
                       "Used time: ")
            .arg(size)));
    QCOMPARE(h.probe->logs.last(), QStringLiteral("Flash reading finished!"));
    QVERIFY(!h.serial.active);

    const QByteArray &data = h.transfer->uploadData();
    QCOMPARE(data.size(), 0x100000 + trailer.size());
    QCOMPARE(data.mid(landing, 256), blockData(0));
    QCOMPARE(data.mid(landing + 256, 256), blockData(1));
    QCOMPARE(data.right(trailer.size()), trailer);
    // Everything outside the region stays erased flash.
    QCOMPARE(data.left(landing), QByteArray(landing, char(0xFF)));
    QCOMPARE(data.mid(landing + size, 0x100000 - landing - size),
             QByteArray(0x100000 - landing - size, char(0xFF)));
}

void TestUploadTransfer::openingLogAndIntervals()
{
    Harness h(setupFor(UploadChoice::PlcCode));
    QCOMPARE(h.transfer->caption(), QStringLiteral("Upload - CoDeSys PLC program code"));
    QCOMPARE(h.transfer->watchdogInterval(), 1000);
    QVERIFY(h.boot());
    QVERIFY(h.transfer->watchdogActive()); // the write was still in progress
    h.serial.deliver(QByteArray::fromHex("d5"));
    QCOMPARE(h.transfer->watchdogInterval(), 1000);
    h.serial.deliver(QByteArray::fromHex("01"));
    QCOMPARE(h.transfer->watchdogInterval(), 5000);
    h.serial.deliver(QByteArray::fromHex("aa"));
    QCOMPARE(h.transfer->watchdogInterval(), 1000);
    h.serial.deliver(QByteArray::fromHex("aa"));
    h.serial.deliver(QByteArray::fromHex("aa"));
    QCOMPARE(h.transfer->watchdogInterval(), 2000);
    QCOMPARE(h.probe->logs,
             (QStringList {"Target-ID: D5", "Transmitting ULoader.H86...", "4 Byte transmitted",
                           "Loader started...", "Transmitting Upload.H86...", "3 Byte transmitted",
                           "Brasvik started...", "Transmitting start sector: 11...",
                           "1 Byte transmitted", "Transmitting sector count: 4...",
                           "1 Byte transmitted", "Reading flash data sectors 11 up to 14..."}));
    QCOMPARE(h.serial.takeWritten(), LoaderBytes + ProgramBytes + QByteArray::fromHex("0b0f55"));
}

void TestUploadTransfer::headerArrivesWithBlockData_data()
{
    // How the 258 bytes of header and block are cut into reads.
    QTest::addColumn<QList<int>>("cuts");
    QTest::newRow("header alone") << QList<int> {1, 257};
    QTest::newRow("header and the whole block") << QList<int> {258};
    QTest::newRow("header and part of the block") << QList<int> {101, 157};
    QTest::newRow("many small reads") << QList<int> {3, 50, 5, 100, 100};
}

void TestUploadTransfer::headerArrivesWithBlockData()
{
    QFETCH(QList<int>, cuts);
    Harness h(setupFor(UploadChoice::Flash));
    QVERIFY(h.startProgram());
    h.serial.deliver(QByteArray::fromHex("aa"));
    h.serial.deliver(QByteArray::fromHex("aa"));
    h.serial.deliver(QByteArray::fromHex("aa"));
    h.serial.takeWritten();

    const QByteArray wire = QByteArray(1, char(0xAA)) + frame(blockData(7));
    int at = 0;
    for (int cut : cuts) {
        QVERIFY(h.serial.takeWritten().isEmpty());
        h.serial.deliver(wire.mid(at, cut));
        at += cut;
    }
    QCOMPARE(at, wire.size());
    QCOMPARE(h.serial.takeWritten(), QByteArray::fromHex("55"));
    QCOMPARE(h.transfer->uploadData().left(256), blockData(7));
    QCOMPARE(h.transfer->bytesRead(), 256);
}

void TestUploadTransfer::bytesBeyondABlockAreNoAnswer_data()
{
    // What follows the lone header in one read, the answer to it, and what is stored then.
    QTest::addColumn<QByteArray>("afterHeader");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QByteArray>("storedFirst");

    const QByteArray stray = QByteArray::fromHex("55aa5a");
    // Nothing follows a block before it is asked for: the block has slipped.
    QTest::newRow("stray bytes after a good block")
        << frame(blockData(1)) + stray << QByteArray::fromHex("5a") << QByteArray();
    QTest::newRow("stray bytes after a bad block")
        << frame(blockData(1), false) + stray << QByteArray::fromHex("5a") << QByteArray();
    // The block slips by the stray bytes: its tail is left over when the check fails.
    QTest::newRow("stray bytes inside a block")
        << stray + frame(blockData(1)) << QByteArray::fromHex("5a") << QByteArray();
}

void TestUploadTransfer::bytesBeyondABlockAreNoAnswer()
{
    QFETCH(QByteArray, afterHeader);
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, storedFirst);
    Harness h(setupFor(UploadChoice::Parameters));
    QVERIFY(h.startProgram());
    for (int i = 0; i < 3; ++i)
        h.serial.deliver(QByteArray::fromHex("aa"));
    h.serial.takeWritten();

    h.serial.deliver(QByteArray::fromHex("aa"));
    h.serial.deliver(afterHeader);
    QCOMPARE(h.serial.takeWritten(), answer);
    // The next answer is read from its own header on.
    h.serial.deliver(QByteArray(1, char(0xAA)) + frame(blockData(2)));
    QCOMPARE(h.serial.takeWritten(), QByteArray::fromHex("55"));
    const QByteArray stored = storedFirst + blockData(2);
    QCOMPARE(h.transfer->bytesRead(), stored.size());
    QCOMPARE(h.transfer->uploadData().mid(0xE0000, stored.size()), stored);
    h.readToTheEnd(3);
    QVERIFY(h.waitFinished());
    QCOMPARE(h.probe->result().modalResult, 1);
}

void TestUploadTransfer::timeoutsRequestTheBlockAgain()
{
    Harness h(setupFor(UploadChoice::Flash));
    QVERIFY(h.startProgram());
    for (int i = 0; i < 3; ++i)
        h.serial.deliver(QByteArray::fromHex("aa"));
    h.serial.takeWritten();

    const QByteArray wire = QByteArray(1, char(0xAA)) + frame(blockData(3));
    // A block that stalls: late bytes found at the time-out are still taken.
    h.serial.deliver(wire.left(100));
    h.serial.queue(wire.mid(100, 50));
    h.expire();
    QVERIFY(h.serial.takeWritten().isEmpty());
    QCOMPARE(static_cast<const SerialUpload &>(h.transfer->machine()).state(), SerialUpload::State::ReceivingBlock);

    for (int retry = 1; retry <= 2; ++retry) {
        h.expire();
        QCOMPARE(h.serial.takeWritten(), QByteArray::fromHex("5a"));
        QCOMPARE(static_cast<const SerialUpload &>(h.transfer->machine()).state(), SerialUpload::State::WaitBlock);
        h.serial.deliver(wire.left(30));
    }
    h.expire();
    QVERIFY(h.waitFinished());
    QCOMPARE(h.probe->logs.last(), QStringLiteral("TIMEOUT"));
    QCOMPARE(h.probe->result().modalResult, 2);
    QCOMPARE(h.probe->reportText, QStringLiteral("Flash reading aborted:\r\n\r\nTIMEOUT"));
    QVERIFY(h.serial.takeWritten().isEmpty());
}

void TestUploadTransfer::lineErrorDuringBlock()
{
    Harness h(setupFor(UploadChoice::Flash));
    QVERIFY(h.startProgram());
    for (int i = 0; i < 3; ++i)
        h.serial.deliver(QByteArray::fromHex("aa"));
    h.serial.takeWritten();
    h.serial.deliver(QByteArray(1, char(0xAA)) + blockData(0).left(10));
    h.serial.raiseLineError(0x0008);
    QCOMPARE(h.transfer->watchdogInterval(), 100);
    // The expiry counts as a block time-out: the block is asked for again.
    h.expire();
    QCOMPARE(h.serial.takeWritten(), QByteArray::fromHex("5a"));
    h.expire();
    QVERIFY(h.waitFinished());
    QCOMPARE(h.probe->result().modalResult, 2);
    QVERIFY(h.probe->reportText.startsWith(
        QStringLiteral("Flash reading aborted:\r\n\r\nCOM error:\r\n")));
}

void TestUploadTransfer::lineErrorTexts_data()
{
    QTest::addColumn<bool>("queryFails");
    QTest::addColumn<QString>("system");
    QTest::addColumn<QString>("text");
    const QString p = QStringLiteral("Flash reading aborted:\r\n\r\n");
    QTest::newRow("flags") << false << QString() << p + "COM error:\r\n" + CommErrorText(0x0008);
    QTest::newRow("query fails") << true << QStringLiteral("Input/output error")
                                 << p + "System error:\r\nInput/output error";
    QTest::newRow("query fails without a text")
        << true << QString() << p + "System error:\r\nUnknown Error!";
}

// A line error while the loader starts ends the reading with the error's text.
void TestUploadTransfer::lineErrorTexts()
{
    QFETCH(bool, queryFails);
    QFETCH(QString, system);
    Harness h(setupFor(UploadChoice::Flash));
    QVERIFY(h.boot());
    h.serial.deliver(QByteArray::fromHex("c5"));
    h.serial.failLineErrorQuery = queryFails;
    h.serial.lastError = system;
    h.serial.raiseLineError(0x0008);
    QCOMPARE(h.transfer->watchdogInterval(), TransferSession::AbortDelayMs);
    QVERIFY(h.waitFinished());
    QCOMPARE(h.probe->logs.last(), QStringLiteral("TIMEOUT"));
    QCOMPARE(h.probe->result().modalResult, 2);
    QTEST(h.probe->reportText, "text");
}

// The file was there at the start and has gone when its turn comes.
void TestUploadTransfer::targetFileUnreadableWhenSent()
{
    QTemporaryDir dir;
    const auto names
        = TargetFiles::choose(TargetFiles::Direction::Upload, false, DeviceKind::Device46xx, 0, 7);
    for (const QString &name : {names.loader, names.program})
        QVERIFY(QFile::copy(m_h86.filePath(name), dir.filePath(name)));
    TargetFiles::setDirectory(dir.path());
    Harness h(setupFor(UploadChoice::Flash));
    TargetFiles::setDirectory(m_h86.path());
    QVERIFY(h.boot());
    h.serial.deliver(QByteArray::fromHex("c5"));
    QVERIFY(QFile::remove(dir.filePath(names.program)));
    h.serial.deliver(QByteArray::fromHex("01"));
    QVERIFY(h.waitFinished());
    QCOMPARE(h.probe->result().modalResult, 3);
    QCOMPARE(h.probe->reportText,
             QStringLiteral("Flash reading aborted:\r\n\r\nCannot read file: Upload.H86"));
    QCOMPARE(h.serial.takeWritten(), LoaderBytes);
}

void TestUploadTransfer::userBreak()
{
    Harness h(setupFor(UploadChoice::Flash));
    QVERIFY(h.startProgram());
    h.transfer->userBreak();
    QVERIFY(!h.serial.active);
    QVERIFY(h.transfer->machine().idle());
    QCOMPARE(h.transfer->watchdogInterval(), 100);
    // Bytes arriving now are dropped without an answer.
    h.serial.active = true;
    h.serial.deliver(QByteArray::fromHex("aa"));
    QVERIFY(h.serial.takeWritten().isEmpty());
    QCOMPARE(h.serial.inputCount(), 0);
    QVERIFY(h.waitFinished()); // the 100 ms time-out path
    QCOMPARE(h.probe->logs.last(), QStringLiteral("TIMEOUT"));
    QCOMPARE(h.probe->result().modalResult, 2);
    QCOMPARE(h.probe->reportText, QStringLiteral("Flash reading aborted:\r\n\r\nUser break!"));
}

void TestUploadTransfer::boardImage()
{
    Harness h(setupFor(UploadChoice::Flash, DeviceKind::Board4610));
    QCOMPARE(h.transfer->region().end, 329732);
    QVERIFY(h.startProgram());
    // No sector bytes on the 4610 board: the program's start leads to reading.
    h.serial.deliver(QByteArray::fromHex("aa"));
    QCOMPARE(h.serial.takeWritten(), QByteArray::fromHex("55"));
    QCOMPARE(h.probe->logs.mid(h.probe->logs.size() - 3),
             (QStringList {"3 Byte transmitted", "Brasvik started...",
                           "Reading all flash data sectors and NV parameter..."}));
    QByteArray expected;
    for (int b = 0; b < 1289; ++b) {
        h.serial.deliver(QByteArray(1, char(0xAA)) + frame(blockData(b)));
        expected += blockData(b);
    }
    h.serial.deliver(QByteArray::fromHex("a5"));
    QVERIFY(h.waitFinished());
    QCOMPARE(h.probe->result().modalResult, 1);
    QVERIFY(h.probe->reportText.contains(QStringLiteral("329984 bytes have been read")));
    QCOMPARE(h.transfer->uploadData().size(), 329984);
    QCOMPARE(h.transfer->uploadData(), expected);
}

void TestUploadTransfer::retainValuesSerial()
{
    Harness h(setupFor(UploadChoice::Retain));
    QCOMPARE(h.transfer->region().end, 4096);
    QVERIFY(h.startProgram());
    QCOMPARE(h.transfer->machine().bootState(), TransferMachine::BootState::WaitProgramStarted);
    h.serial.deliver(QByteArray::fromHex("aa"));
    QCOMPARE(h.serial.takeWritten(), QByteArray::fromHex("55"));
    QCOMPARE(h.transfer->watchdogInterval(), 1500);
    QByteArray expected;
    for (int b = 0; b < 16; ++b) {
        h.serial.deliver(QByteArray(1, char(0xAA)) + frame(blockData(b)));
        QCOMPARE(h.serial.takeWritten(), QByteArray::fromHex("55"));
        expected += blockData(b);
    }
    h.serial.deliver(QByteArray::fromHex("a5"));
    QVERIFY(h.waitFinished());
    QCOMPARE(h.probe->logs,
             (QStringList {"Target-ID: C5", "Transmitting ULoaderNV.H86...", "4 Byte transmitted",
                           "Loader started...", "Transmitting UploadNV.H86...",
                           "3 Byte transmitted", "Brasvik started...", "Reading retain values...",
                           "Retain values reading finished!"}));
    QCOMPARE(h.probe->result().modalResult, 1);
    QVERIFY(h.probe->reportText.startsWith(
        QStringLiteral("Retain values reading successful:\r\n\r\n4096 bytes have been read")));
    // Never padded, no trailer.
    QCOMPARE(h.transfer->uploadData(), expected);
}

void TestUploadTransfer::canRegions_data()
{
    QTest::addColumn<int>("choice");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("readingLine");
    QTest::newRow("flash") << int(UploadChoice::Flash) << QByteArray::fromHex("0013")
                           << "Reading all flash data sectors...";
    QTest::newRow("os") << int(UploadChoice::OperatingSystem) << QByteArray::fromHex("000b")
                        << "Reading flash data sectors 0 up to 10...";
    QTest::newRow("parameters") << int(UploadChoice::Parameters) << QByteArray::fromHex("1113")
                                << "Reading flash data sectors 17 up to 18...";
    QTest::newRow("plc") << int(UploadChoice::PlcProject) << QByteArray::fromHex("0b11")
                         << "Reading flash data sectors 11 up to 16...";
    QTest::newRow("plc-code") << int(UploadChoice::PlcCode) << QByteArray::fromHex("0b0f")
                              << "Reading flash data sectors 11 up to 14...";
    QTest::newRow("plc-data") << int(UploadChoice::PlcData) << QByteArray::fromHex("0f11")
                              << "Reading flash data sectors 15 up to 16...";
    QTest::newRow("retain") << int(UploadChoice::Retain) << QByteArray::fromHex("55")
                            << "Reading retain values...";
}

void TestUploadTransfer::canRegions()
{
    QFETCH(int, choice);
    QFETCH(QByteArray, request);
    QFETCH(QString, readingLine);

    Harness h(setupFor(UploadChoice(choice), DeviceKind::Device46xx, 2));
    QVERIFY(h.transfer->usesCan());
    QVERIFY(h.transfer->programFile().contains(QLatin1String("CAN2_500K")));
    QVERIFY(h.startProgram());
    QVERIFY(h.can->opened);
    h.serial.deliver(QByteArray::fromHex("aa"));
    QVERIFY(!h.transfer->watchdogActive());
    h.clock.settle();
    QVERIFY(!h.can->sent.isEmpty());
    QCOMPARE(h.can->sent.size(), 1);
    const TCANMsg cmd = h.can->sent.takeFirst();
    QCOMPARE(cmd.ID, 0x63Fu);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(cmd.Data), cmd.Len), request);
    QCOMPARE(h.probe->logs.last(), readingLine);
    QCOMPARE(h.transfer->watchdogInterval(), 5000);
    QVERIFY(h.serial.takeWritten().isEmpty());
}

void TestUploadTransfer::canBatchesInAnyOrder()
{
    Harness h(setupFor(UploadChoice::Parameters, DeviceKind::Device46xx, 1));
    QVERIFY(h.startProgram());
    h.serial.deliver(QByteArray::fromHex("aa"));
    h.clock.settle();
    QVERIFY(!h.can->sent.isEmpty());
    h.can->sent.clear();
    // Other status bytes while the request is outstanding keep the host waiting.
    h.can->deliver(canMessage(0x5BF, QByteArray::fromHex("33")));
    QVERIFY(h.can->sent.isEmpty());
    h.can->deliver(canMessage(0x5BF, QByteArray::fromHex("aa")));
    QCOMPARE(h.can->sent.size(), 1);
    QCOMPARE(int(h.can->sent.takeFirst().Data[0]), 0x55);

    const QList<QList<int>> orders {{0, 1, 2, 3, 4}, {4, 3, 2, 1, 0}, {2, 4, 0, 3, 1}};
    QByteArray expected;
    for (int batch = 0; batch < orders.size(); ++batch) {
        QByteArray bytes = blockData(batch).left(32);
        expected += bytes;
        for (int part : orders[batch]) {
            QVERIFY(h.can->sent.isEmpty());
            if (part == 4)
                h.can->deliver(canMessage(0x5BF, QByteArray::fromHex("20")));
            else
                h.can->deliver(canMessage(0x1BF + 0x100 * part, bytes.mid(part * 8, 8)));
        }
        QCOMPARE(h.can->sent.size(), 1);
        const TCANMsg next = h.can->sent.takeFirst();
        QCOMPARE(int(next.Len), 1);
        QCOMPARE(int(next.Data[0]), 0x55);
    }
    QCOMPARE(h.probe->status, QStringLiteral("96 bytes have been read"));
    h.readToTheEndOverCan(int(orders.size()));
    QVERIFY(h.waitFinished());
    QCOMPARE(h.probe->result().modalResult, 1);
    QVERIFY(h.can->stopped);
    const QByteArray &data = h.transfer->uploadData();
    QCOMPARE(data.size(), 0x100008);
    QCOMPARE(data.mid(0xE0000, 96), expected);
    QCOMPARE(data.right(8), QByteArray::fromHex("1100000013000000"));
}

void TestUploadTransfer::canRepeatedMessageReplacesShortOne()
{
    // The host asks for nothing again on CAN; a device that repeats the message completes the
    // batch, because a later message of an identifier replaces the earlier one.
    Harness h(setupFor(UploadChoice::Flash, DeviceKind::Device46xx, 1));
    QVERIFY(h.startProgram());
    h.serial.deliver(QByteArray::fromHex("aa"));
    h.clock.settle();
    h.can->deliver(canMessage(0x5BF, QByteArray::fromHex("aa")));
    h.can->sent.clear();
    const QByteArray bytes = blockData(4).left(32);
    for (int part = 0; part < 4; ++part)
        h.can->deliver(canMessage(0x1BF + 0x100 * part, bytes.mid(part * 8, part == 1 ? 5 : 8)));
    h.can->deliver(canMessage(0x5BF, QByteArray::fromHex("20")));
    QVERIFY(h.can->sent.isEmpty());
    h.can->deliver(canMessage(0x2BF, bytes.mid(8, 8)));
    QCOMPARE(h.can->sent.size(), 1);
    QCOMPARE(h.transfer->uploadData().left(32), bytes);
}

void TestUploadTransfer::canRetainValues()
{
    Harness h(setupFor(UploadChoice::Retain, DeviceKind::Device46xx, 1));
    QVERIFY(h.transfer->programFile().endsWith(QLatin1String("UploadNVCAN1_500K.H86")));
    QVERIFY(h.startProgram());
    h.serial.deliver(QByteArray::fromHex("aa"));
    h.clock.settle();
    QVERIFY(!h.can->sent.isEmpty());
    QCOMPARE(static_cast<const CanUpload &>(h.transfer->machine()).state(), CanUpload::State::Reading);
    h.can->sent.clear();
    // A data message before any status does not stop the watchdog (the device may send one
    // twice).
    h.can->deliver(canMessage(0x1BF, blockData(0).left(8)));
    QVERIFY(h.transfer->watchdogActive());
    QByteArray expected;
    for (int batch = 0; batch < 128; ++batch) {
        const QByteArray bytes = blockData(batch).left(32);
        expected += bytes;
        for (int part = 0; part < 4; ++part)
            h.can->deliver(canMessage(0x1BF + 0x100 * part, bytes.mid(part * 8, 8)));
        h.can->deliver(canMessage(0x5BF, QByteArray::fromHex("20")));
    }
    QCOMPARE(h.can->sent.size(), 128);
    h.can->deliver(canMessage(0x5BF, QByteArray::fromHex("00")));
    QVERIFY(h.waitFinished());
    QCOMPARE(h.probe->logs.last(), QStringLiteral("Retain values reading finished!"));
    QCOMPARE(h.transfer->uploadData(), expected);
}

void TestUploadTransfer::canDongleError()
{
    Harness h(setupFor(UploadChoice::Flash, DeviceKind::Device46xx, 1));
    QVERIFY(h.startProgram());
    h.serial.deliver(QByteArray::fromHex("aa"));
    h.clock.settle();
    QVERIFY(!h.can->sent.isEmpty());
    h.can->raiseError(0x0008);
    QVERIFY(h.waitFinished());
    QVERIFY(h.probe->logs.last().startsWith(QStringLiteral("CAN Dongle error: ")));
    QCOMPARE(h.probe->result().modalResult, 2);
    QVERIFY(h.probe->reportText.startsWith(
        QStringLiteral("Flash reading aborted:\r\n\r\nCAN Dongle error: ")));
    QCOMPARE(h.can->closeDongleCount, 1);
}

void TestUploadTransfer::compareAfterReading_data()
{
    QTest::addColumn<qint32>("flip"); // address of a byte that differs, -1: none
    QTest::addColumn<QString>("memoLine");
    QTest::addColumn<int>("exitStatus");
    QTest::newRow("equal") << -1 << "Data compare complete!" << int(TransferOutcomes::ExitSuccess);
    QTest::newRow("one byte differs")
        << 0xDFFFF << "Data compare aborted!" << int(TransferOutcomes::ExitDifferent);
}

// The compare runs after the reading's report and before the Finished event, whose record
// holds its result.
void TestUploadTransfer::compareAfterReading()
{
    QFETCH(qint32, flip);
    QByteArray image(0x100000, '\0'); // outside the region: never looked at
    for (int b = 0; b < 512; ++b)
        image.replace(0xC0000 + 256 * b, 256, blockData(b));
    if (flip >= 0)
        image[flip] = char(image[flip] ^ 0x40);
    UploadSetup setup = setupFor(UploadChoice::PlcData);
    setup.CompareMode = true;
    setup.compareImage = image;
    setup.imageFile = QStringLiteral("/images/plc.b86");
    Harness h(setup);
    QStringList order;
    QObject::connect(h.transfer.get(), &TransferSession::finalReport,
                     [&] { order << QStringLiteral("<report>"); });
    QObject::connect(h.transfer.get(), &TransferSession::event, [&](const TransferEvent &e) {
        if (e.kind == TransferEvent::Kind::Log)
            order << e.text;
        else if (e.kind == TransferEvent::Kind::Finished)
            order << QStringLiteral("<finished>");
    });
    QCOMPARE(h.transfer->caption(), QStringLiteral("Compare - CoDeSys PLC data"));
    QVERIFY(h.startProgram());
    for (int i = 0; i < 3; ++i)
        h.serial.deliver(QByteArray::fromHex("aa"));
    for (int b = 0; b < 512; ++b)
        h.serial.deliver(QByteArray(1, char(0xAA)) + frame(blockData(b)));
    h.serial.deliver(QByteArray::fromHex("a5"));
    QVERIFY(h.waitFinished());

    QFETCH(QString, memoLine);
    QCOMPARE(order.mid(order.size() - 5),
             (QStringList {"Flash reading finished!", "<report>", "Comparing data...", memoLine,
                           "<finished>"}));
    if (flip < 0)
        QCOMPARE(h.probe->status, QStringLiteral("131072 bytes have been compared"));
    const TransferRecord &r = h.probe->result();
    QCOMPARE(r.operation, TransferOperation::Compare);
    QCOMPARE(r.imageFile, setup.imageFile);
    // A difference is its own outcome, never a success; the reading itself went through.
    QCOMPARE(r.outcome, flip < 0 ? TransferOutcome::Success : TransferOutcome::Different);
    QCOMPARE(r.hasFailure, false);
    QCOMPARE(r.modalResult, 1);
    QVERIFY(r.reportText.startsWith(QLatin1String("Flash reading successful:\n\n131072 bytes")));
    QVERIFY(r.compared);
    QCOMPARE(r.compareEqual, flip < 0);
    QCOMPARE(r.compareAddress, qint64(flip));
    QCOMPARE(r.compareText, TransferSession::plainText(h.transfer->compareResult().resultText));
    QCOMPARE(h.transfer->compareResult().title(), memoLine);
    QTEST(TransferOutcomes::exitStatus(r), "exitStatus");
}

// An image empty at 0x6000 with data at 0xC000 looks like the 4610 board's relocated one; on a
// 46xx device it is compared as it stands.
void TestUploadTransfer::relocationRuleOnlyOnTheBoard()
{
    QByteArray image;
    for (int b = 0; b < 0x80000 / 256; ++b)
        image += blockData(b);
    image.replace(0x6000, 0xD00, QByteArray(0xD00, char(0xFF)));
    UploadSetup setup = setupFor(UploadChoice::OperatingSystem);
    setup.CompareMode = true;
    setup.compareImage = image;
    Harness h(setup);
    QVERIFY(h.startProgram());
    for (int i = 0; i < 3; ++i)
        h.serial.deliver(QByteArray::fromHex("aa"));
    for (int b = 0; b < image.size() / 256; ++b)
        h.serial.deliver(QByteArray(1, char(0xAA)) + frame(image.mid(256 * b, 256)));
    h.serial.deliver(QByteArray::fromHex("a5"));
    QVERIFY(h.waitFinished());
    QVERIFY(h.probe->result().compared);
    QVERIFY2(h.probe->result().compareEqual, qPrintable(h.probe->result().compareText));
}

void TestUploadTransfer::recordOfAnUpload()
{
    Harness h(setupFor(UploadChoice::OperatingSystem));
    QVERIFY(h.startProgram());
    for (int i = 0; i < 3; ++i)
        h.serial.deliver(QByteArray::fromHex("aa"));
    h.serial.deliver(QByteArray(1, char(0xAA)) + frame(blockData(0)));
    h.serial.deliver(QByteArray(1, char(0xAA)) + frame(blockData(1), false));
    h.clock.advance(250);
    h.serial.deliver(QByteArray(1, char(0xAA)) + frame(blockData(1)));
    QByteArray read = blockData(0) + blockData(1);
    for (int b = 2; b < 0x80000 / 256; ++b)
        read += blockData(b);
    h.readToTheEnd(2);
    QVERIFY(h.waitFinished());

    const TransferRecord &r = h.probe->result();
    QCOMPARE(r.operation, TransferOperation::Upload);
    QCOMPARE(r.deviceType, DeviceKind::Device46xx);
    QCOMPARE(r.interfaceName, QStringLiteral("rs232"));
    QCOMPARE(r.lineRate, 57600);
    QCOMPARE(r.canBitRate, 0);
    QVERIFY(r.imageFile.isEmpty());
    QCOMPARE(r.imageSha256, QCryptographicHash::hash(read, QCryptographicHash::Sha256));
    QCOMPARE(r.firstSector, 0);
    QCOMPARE(r.endSector, 11);
    QCOMPARE(r.startAddress, 0u);
    QCOMPARE(r.endAddress, 0x80000u);
    QVERIFY(!r.retain);
    QVERIFY(r.programFile.endsWith(QLatin1String("/Upload.H86")));
    QCOMPARE(r.bytes, qint64(0x80000));
    QCOMPARE(r.totalBytes, qint64(0x80000));
    QCOMPARE(r.blocks, qint64(0x80000 / 256));
    QCOMPARE(r.blocksResent, qint64(1));
    QCOMPARE(r.outcome, TransferOutcome::Success);
    QCOMPARE(r.reportText,
             QStringLiteral("Flash reading successful:\n\n524288 bytes have been read\n\n"
                            "Used time: 250 ms"));
    QCOMPARE(r.ended, VirtualTimerSource::epoch().addMSecs(250));
    QVERIFY(!r.hasFailure);
    QVERIFY(!r.compared);
}

void TestUploadTransfer::recordOfAFailedUpload_data()
{
    QTest::addColumn<int>("choice");
    QTest::addColumn<int>("comInterface");
    QTest::addColumn<int>("phase");
    QTest::addColumn<int>("sector");
    QTest::addColumn<qint64>("address");
    QTest::addColumn<int>("outcome");
    QTest::newRow("third block times out")
        << int(UploadChoice::Parameters) << 0 << int(TransferPhase::Data) << 17 << qint64(0xE0200)
        << int(TransferOutcome::Failed);
    QTest::newRow("retain values time out")
        << int(UploadChoice::Retain) << 0 << int(TransferPhase::Data) << -1 << qint64(0x200)
        << int(TransferOutcome::Failed);
    QTest::newRow("dongle error over CAN")
        << int(UploadChoice::Parameters) << 1 << int(TransferPhase::Data) << 17 << qint64(0xE0040)
        << int(TransferOutcome::Failed);
    QTest::newRow("wrong sector answer")
        << int(UploadChoice::Parameters) << -1 << int(TransferPhase::Sectors) << -1 << qint64(-1)
        << int(TransferOutcome::Aborted);
}

// Where a reading failed: the phase, and in the data phase the block being read.
void TestUploadTransfer::recordOfAFailedUpload()
{
    QFETCH(int, choice);
    QFETCH(int, comInterface);
    Harness h(setupFor(UploadChoice(choice), DeviceKind::Device46xx, qMax(0, comInterface)));
    QVERIFY(h.startProgram());
    if (comInterface == 1) {
        h.serial.deliver(QByteArray::fromHex("aa"));
        h.clock.settle();
        h.can->deliver(canMessage(0x5BF, QByteArray::fromHex("aa")));
        for (int batch = 0; batch < 2; ++batch) {
            for (int part = 0; part < 4; ++part)
                h.can->deliver(canMessage(0x1BF + 0x100 * part, QByteArray(8, char(part))));
            h.can->deliver(canMessage(0x5BF, QByteArray::fromHex("20")));
        }
        h.can->raiseError(0x0008);
    } else if (comInterface < 0) {
        h.serial.deliver(QByteArray::fromHex("aa"));
        h.serial.deliver(QByteArray::fromHex("77"));
    } else {
        const int answers = choice == int(UploadChoice::Retain) ? 1 : 3;
        for (int i = 0; i < answers; ++i)
            h.serial.deliver(QByteArray::fromHex("aa"));
        for (int b = 0; b < 2; ++b)
            h.serial.deliver(QByteArray(1, char(0xAA)) + frame(blockData(b)));
        h.serial.deliver(QByteArray::fromHex("aa")); // the third block's header, then nothing
    }
    QVERIFY(h.waitFinished());
    const TransferRecord &r = h.probe->result();
    QTEST(int(r.outcome), "outcome");
    QVERIFY(r.hasFailure);
    QTEST(int(r.failedPhase), "phase");
    QTEST(r.failedSector, "sector");
    QTEST(r.failedAddress, "address");
    QCOMPARE(r.interfaceName, comInterface == 1 ? QStringLiteral("can1") : QStringLiteral("rs232"));
    if (comInterface == 0)
        QCOMPARE(r.blocksResent, qint64(1)); // asked for again once, then nothing came
}

QTEST_GUILESS_MAIN(TestUploadTransfer)
#include "tst_uploadtransfer.moc"
