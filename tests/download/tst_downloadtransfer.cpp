#include "base/IdleSlot.h"
#include "base/SettingsStore.h"
#include "comm/KTComm.h"
#include "download/DownloadFrames.h"
#include "download/DownloadTransfer.h"
#include "download/SerialFlashDownload.h"
#include "support/FakeLinks.h"
#include "support/TestFiles.h"
#include "support/TestSetup.h"
#include "support/TransferProbe.h"
#include "support/VirtualTimerSource.h"
#include "transfer/TargetFiles.h"
#include "transfer/TransferOutcome.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// The download's protocols against in-memory ports and virtual time: every state, answer and
// failure path, with the bytes and CAN messages the transfer sends and the moment it gives up.
class tst_DownloadTransfer : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void serialFlashProgramming();
    void wholeFlashErase();
    void refusedBlockIsSentWhole();
    void firstByteOfAnEventCounts();
    void eraseAnswerInTheAcknowledgementsRead_data();
    void eraseAnswerInTheAcknowledgementsRead();
    void board4610CombinedImage();
    void retainValuesSerial();
    void refusedRetainFrameIsSentWhole();
    void canFlashProgramming();
    void canEraseErrorAndIgnoredReplies();
    void canRetainValues();
    void lineErrorEndsTransfer();
    void lineErrorBeforePromptIsIgnored();
    void canDongleError();
    void endBeforeCanPhaseStarts_data();
    void endBeforeCanPhaseStarts();
    void userBreakDuringErase();
    void missingTargetFile();
    void targetFileUnreadableWhenSent();
    void portThatCannotBeOpened_data();
    void portThatCannotBeOpened();
    void dongleThatCannotBeOpened();
    void bootPromptDeclined();
    void watchdogTimeout();
    void transmitEmptyArmsWatchdog();
    void destroyedMidTransfer();
    void recordOfASuccessfulDownload();
    void recordNamesTheImageAbsolutely();
    void recordOfAFailedDownload_data();
    void recordOfAFailedDownload();
    void finishedComesOnceAndLast_data();
    void finishedComesOnceAndLast();
};

namespace {

const QByteArray LoaderBytes = QByteArray::fromHex("11223344");
const QByteArray ProgramBytes = QByteArray::fromHex("aabbcc");

QByteArray image46xx(const QByteArray &data, qint32 at = 0)
{
    QByteArray image(0x100008, char(0xFF));
    image.replace(at, data.size(), data);
    return image;
}

QByteArray pattern(int n, int seed = 1)
{
    QByteArray b;
    for (int i = 0; i < n; ++i)
        b.append(char((i * 7 + seed) % 0xFE));
    return b;
}

struct Harness
{
    QTemporaryDir dir;
    VirtualTimerSource clock;
    FakeSerialLink serial;
    std::shared_ptr<FakeCanBus> bus = std::make_shared<FakeCanBus>();
    std::unique_ptr<DownloadTransfer> transfer;
    std::unique_ptr<TransferProbe> probe;

    explicit Harness(DownloadRequest request, bool writeTargets = true)
    {
        transfer = std::make_unique<DownloadTransfer>(
            serial, [bus = bus] { return std::make_unique<FakeCanLink>(bus); }, std::move(request),
            testSetup(dir.path(), clock));
        if (writeTargets) {
            writeTargetHex(transfer->loaderFile(), LoaderBytes);
            writeTargetHex(transfer->programFile(), ProgramBytes);
        }
        probe = std::make_unique<TransferProbe>(*transfer);
    }

    // A transfer freed before its end still sends Finished: it must find the harness whole.
    ~Harness() { transfer.reset(); }
    Harness(const Harness &) = delete;
    Harness &operator=(const Harness &) = delete;

    // Runs pending idle actions; no time passes.
    void settle() { clock.settle(); }

    // Start, confirm the boot prompt; the boot byte has gone out.
    void startConfirmed()
    {
        transfer->start();
        settle();
        QVERIFY(probe->promptShown);
        transfer->answerBootPrompt(true);
        QCOMPARE(serial.takeWritten(), QByteArray(1, '\0'));
    }

    // Start, confirm, then the device's ID and the loader's answer; what went out is left.
    void startBooted()
    {
        startConfirmed();
        serial.deliver(0xC5);
        serial.deliver(0x01);
    }

    // Through loader, program (and sector bytes on a 46xx over RS-232), up to the erase wait.
    void bootToErase(int sectorBytes = 2)
    {
        startConfirmed();
        serial.deliver(0xC5);
        QCOMPARE(serial.takeWritten(), LoaderBytes);
        serial.deliver(0x01);
        QCOMPARE(serial.takeWritten(), ProgramBytes);
        for (int i = 0; i < sectorBytes + 1; ++i)
            serial.deliver(0xAA);
        serial.takeWritten();
    }

    // Lets up to `ms` of virtual time pass until the transfer has finished, its events whole.
    void waitFinished(int ms = 1000) { QVERIFY(probe->waitFinished(clock, ms)); }
};

DownloadRequest flashRequest(const QByteArray &image, qint32 first, qint32 end, qint32 dataEnd)
{
    DownloadRequest r;
    r.image = image;
    r.fileName = QStringLiteral("/tmp/os.h86");
    r.firstSector = first;
    r.endSector = end;
    r.dataEnd = dataEnd;
    r.deviceType = DeviceKind::Device46xx;
    return r;
}

// The device's retain values: 4096 bytes of `pattern(4096, seed)`.
DownloadRequest retainRequest(int seed)
{
    DownloadRequest r;
    r.image = pattern(4096, seed);
    r.dataEnd = 4096;
    r.retainData = true;
    return r;
}

} // namespace

void tst_DownloadTransfer::cleanup()
{
    IdleSlot::cancel();
}

void tst_DownloadTransfer::serialFlashProgramming()
{
    const QByteArray data = pattern(70);
    Harness h(flashRequest(image46xx(data), 0, 11, 70));
    // Late answers of an earlier session wait in the line; they are no identification.
    h.serial.queue(QByteArray::fromHex("55aa0b"));
    QCOMPARE(h.transfer->progressMinimum(), 0);
    QCOMPARE(h.transfer->progressMaximum(), 70);
    h.startConfirmed();
    QCOMPARE(h.serial.baudrate, 7);
    QCOMPARE(h.transfer->watchdogInterval(), 2000);
    QVERIFY(h.transfer->watchdogActive());

    h.serial.deliver(0xC5);
    QCOMPARE(h.serial.takeWritten(), LoaderBytes);
    h.serial.deliver(0x01);
    QCOMPARE(h.serial.takeWritten(), ProgramBytes);
    QCOMPARE(h.transfer->watchdogInterval(), 5000);
    h.serial.deliver(0xAA);
    QCOMPARE(h.serial.takeWritten(), QByteArray::fromHex("00"));
    QCOMPARE(h.transfer->watchdogInterval(), 1000);
    h.serial.deliver(0xAA);
    QCOMPARE(h.serial.takeWritten(), QByteArray::fromHex("0b"));
    h.serial.deliver(0xAA);
    QCOMPARE(h.serial.takeWritten(), QByteArray());
    QCOMPARE(h.transfer->watchdogInterval(), 50000);
    QVERIFY(h.transfer->watchdogActive());
    h.serial.deliver(0x0B);
    // 70 bytes: blocks of 32, 32 and 6 (DataEnd 70 rounds to the word).
    QCOMPARE(
        h.serial.takeWritten(),
        QByteArray::fromHex("2400000000") + data.left(32)
            + char(DownloadFrames::xorChecksum(QByteArray::fromHex("2400000000") + data.left(32))));
    h.serial.deliver(0x55);
    QCOMPARE(h.serial.takeWritten().size(), 38);
    QCOMPARE(h.probe->status, QStringLiteral("32 bytes programmed"));
    h.serial.deliver(0x55);
    QCOMPARE(h.serial.takeWritten().left(5), QByteArray::fromHex("0a00400000"));
    h.serial.deliver(0x55);
    QCOMPARE(h.serial.takeWritten(), QByteArray::fromHex("ff"));
    h.serial.deliver(0xAA);
    h.waitFinished();

    QCOMPARE(
        h.probe->logs,
        QStringList({"Target-ID: C5", "Transmitting DLoader.H86...", "4 Byte transmitted",
                     "Loader started...", "Transmitting Download.H86...", "3 Byte transmitted",
                     "Brasvik started...", "Transmitting start sector: 0...", "1 Byte transmitted",
                     "Transmitting sector count: 11...", "1 Byte transmitted",
                     "Erasing flash sectors 0 up to 10...", "Flash sectors 0 up to 10 erased",
                     "Start flash programming...", "Flash programming finished!"}));
    QVERIFY(h.probe->reportShown);
    QCOMPARE(h.probe->record->modalResult, 1);
    QCOMPARE(h.probe->record->outcome, TransferOutcome::Success);
    QVERIFY(h.probe->reportText.startsWith(
        "Flash programming successful:\r\n\r\n70 bytes programmed\r\n\r\nUsed time: "));
    QVERIFY(h.probe->reportText.endsWith(" ms"));
    QVERIFY(!h.serial.active);
    QCOMPARE(h.serial.closeCount, 1);
}

void tst_DownloadTransfer::wholeFlashErase()
{
    Harness h(flashRequest(image46xx(pattern(4)), 0, 0, 4));
    h.startBooted();
    h.serial.deliver(0xAA);
    QCOMPARE(h.serial.takeWritten().right(1), QByteArray::fromHex("00"));
    h.serial.deliver(0xAA);
    // The log names 19 sectors; the wire carries the end sector 0.
    QCOMPARE(h.probe->logs.last(), QStringLiteral("Transmitting sector count: 19..."));
    QCOMPARE(h.serial.takeWritten(), QByteArray::fromHex("00"));
    h.serial.deliver(0xAA);
    QCOMPARE(h.probe->logs.last(), QStringLiteral("Erasing all flash sectors..."));
    h.serial.deliver(0x00);
    QVERIFY(h.probe->logs.contains(QStringLiteral("Flash erased")));
    QCOMPARE(static_cast<const SerialFlashDownload &>(h.transfer->machine()).state(), SerialFlashDownload::State::Programming);

    // Sectors 17 to 19: the bytes 0x11 and 0x13, the count 2.
    Harness p(flashRequest(image46xx(pattern(4), 0xE0000), 17, 19, 0xE0004));
    p.startBooted();
    p.serial.takeWritten();
    p.serial.deliver(0xAA);
    QCOMPARE(p.serial.takeWritten(), QByteArray::fromHex("11"));
    p.serial.deliver(0xAA);
    QCOMPARE(p.serial.takeWritten(), QByteArray::fromHex("13"));
    QCOMPARE(p.probe->logs.last(), QStringLiteral("Transmitting sector count: 2..."));
    p.serial.deliver(0xAA);
    QCOMPARE(p.probe->logs.last(), QStringLiteral("Erasing flash sectors 17 up to 18..."));
    p.serial.deliver(0x13);
    QVERIFY(p.probe->logs.contains(QStringLiteral("Flash sectors 17 up to 18 erased")));
    QCOMPARE(p.serial.takeWritten().left(5),
             QByteArray::fromHex("0811"
                                 "00000e"));
}

void tst_DownloadTransfer::refusedBlockIsSentWhole()
{
    Harness h(flashRequest(image46xx(pattern(10)), 0, 11, 10));
    h.bootToErase();
    h.serial.deliver(0x0B);
    const QByteArray frame = h.serial.takeWritten();
    QCOMPARE(frame.size(), 10 + 6);
    h.serial.deliver(0xA5);
    QCOMPARE(h.serial.takeWritten(), frame);
    // A byte the protocol does not know keeps the wait going.
    h.serial.deliver(0x77);
    QVERIFY(h.transfer->watchdogActive());
    QCOMPARE(h.serial.takeWritten(), QByteArray());
    h.serial.deliver(0x55);
    QCOMPARE(h.serial.takeWritten(), QByteArray::fromHex("ff"));
    QCOMPARE(h.transfer->bytesProgrammed(), 10);
}

void tst_DownloadTransfer::firstByteOfAnEventCounts()
{
    Harness h(flashRequest(image46xx(pattern(4)), 0, 11, 4));
    h.startConfirmed();
    h.serial.deliver(QByteArray::fromHex("c555"));
    QCOMPARE(h.probe->logs.first(), QStringLiteral("Target-ID: C5"));
    QCOMPARE(h.transfer->machine().bootState(), TransferMachine::BootState::WaitLoaderStarted);
    h.serial.deliver(QByteArray::fromHex("01aa"));
    QCOMPARE(h.transfer->machine().bootState(), TransferMachine::BootState::WaitProgramStarted);
}

void tst_DownloadTransfer::eraseAnswerInTheAcknowledgementsRead_data()
{
    QTest::addColumn<int>("deviceType");
    QTest::addColumn<QByteArray>("read"); // the acknowledgement and what came with it
    QTest::addColumn<bool>("programming"); // else an erase error
    QTest::newRow("46xx, end sector") << int(DeviceKind::Device46xx) << QByteArray::fromHex("aa0b") << true;
    QTest::newRow("46xx, erase failed") << int(DeviceKind::Device46xx) << QByteArray::fromHex("aaa5") << false;
    QTest::newRow("46xx, wrong sector") << int(DeviceKind::Device46xx) << QByteArray::fromHex("aa0a") << false;
    QTest::newRow("4610 board, erased") << int(DeviceKind::Board4610) << QByteArray::fromHex("aa00") << true;
}

void tst_DownloadTransfer::eraseAnswerInTheAcknowledgementsRead()
{
    QFETCH(int, deviceType);
    QFETCH(QByteArray, read);
    QFETCH(bool, programming);
    DownloadRequest r = flashRequest(image46xx(pattern(4)), 0, 11, 4);
    if (DeviceKind(deviceType) == DeviceKind::Board4610) {
        r.image = QByteArray(0x50000, char(0xFF));
        r.image.replace(0, 4, pattern(4));
        r.endSector = 0;
        r.deviceType = DeviceKind::Board4610;
    }
    Harness h(r);
    h.startBooted();
    if (DeviceKind(deviceType) == DeviceKind::Device46xx) {
        h.serial.deliver(0xAA);
        h.serial.deliver(0xAA);
    }
    h.serial.takeWritten();
    // A quick erase: its answer arrives with the acknowledgement.
    h.serial.deliver(read);
    if (programming) {
        QCOMPARE(static_cast<const SerialFlashDownload &>(h.transfer->machine()).state(), SerialFlashDownload::State::Programming);
        QCOMPARE(h.transfer->watchdogInterval(), 5000);
        QCOMPARE(h.serial.takeWritten().left(1), QByteArray::fromHex("08"));
    } else {
        h.waitFinished();
        QCOMPARE(h.probe->logs.last(), QStringLiteral("Flash erase error!"));
        QCOMPARE(h.probe->record->outcome, TransferOutcome::Failed);
    }
}

void tst_DownloadTransfer::board4610CombinedImage()
{
    DownloadRequest r;
    r.image = QByteArray(0x50900, char(0xFF));
    r.image.replace(0x4FFE0, 32, pattern(32));
    r.image.replace(0x50000, 0x900, pattern(0x900, 3));
    r.dataEnd = 0x50804;
    r.deviceType = DeviceKind::Board4610;
    r.settings.brCVBRDx = 8;
    r.settings.COMInterface = 1; // ignored for the board
    Harness h(r);
    QVERIFY(h.transfer->loaderFile().endsWith(QLatin1String("DLoaderIF.H86")));
    QVERIFY(!h.transfer->usesCan());
    h.startConfirmed();
    QCOMPARE(h.serial.baudrate, 8);
    h.serial.deliver(0xC5);
    h.serial.deliver(0x01);
    h.serial.takeWritten();
    h.serial.deliver(0xAA); // the program has started: no sector bytes on the board
    QCOMPARE(h.serial.takeWritten(), QByteArray());
    QCOMPARE(
        h.probe->logs.mid(5),
        QStringList({"3 Byte transmitted", "Brasvik started...", "Erasing all flash sectors..."}));
    h.serial.deliver(0x00);
    QCOMPARE(h.serial.takeWritten().left(5), QByteArray::fromHex("2407e0ff04"));
    h.serial.deliver(0x55);
    QCOMPARE(h.serial.takeWritten(), QByteArray::fromHex("f0"));
    QCOMPARE(static_cast<const SerialFlashDownload &>(h.transfer->machine()).state(), SerialFlashDownload::State::RetainProgramming);
    int frames = 0;
    for (;;) {
        h.serial.deliver(0x55);
        const QByteArray w = h.serial.takeWritten();
        if (w == QByteArray::fromHex("ff"))
            break;
        QCOMPARE(w.size(), 18);
        if (frames == 0)
            QCOMPARE(w.mid(1, 16), pattern(0x900, 3).left(16));
        ++frames;
    }
    QCOMPARE(frames, 0x900 / 16);
    h.serial.deliver(0xAA);
    h.waitFinished();
    QCOMPARE(h.probe->logs.last(), QStringLiteral("Retain values programming finished!"));
    QVERIFY(h.probe->reportText.startsWith(
        QStringLiteral("Retain values programming successful:\r\n\r\n%1 bytes programmed")
            .arg(32 + 0x900)));
}

void tst_DownloadTransfer::retainValuesSerial()
{
    DownloadRequest r = retainRequest(5);
    r.deviceType = DeviceKind::Device46xx;
    Harness h(r);
    QVERIFY(h.transfer->programFile().endsWith(QLatin1String("DownloadNV.H86")));
    h.startBooted();
    QCOMPARE(h.transfer->watchdogInterval(), 1000);
    h.serial.takeWritten();
    h.serial.deliver(0xAA);
    QCOMPARE(h.probe->logs.last(), QStringLiteral("Start retain values programming..."));
    QCOMPARE(h.transfer->watchdogInterval(), 2000);
    QByteArray sent;
    int frames = 0;
    for (QByteArray w = h.serial.takeWritten(); w != QByteArray::fromHex("ff");
         w = h.serial.takeWritten()) {
        QCOMPARE(w.size(), 18);
        QCOMPARE(w.at(0), char(0x10));
        QCOMPARE(DownloadFrames::xorChecksum(w), quint8(0));
        sent += w.mid(1, 16);
        ++frames;
        h.serial.deliver(0x55);
    }
    QCOMPARE(frames, 256);
    QCOMPARE(sent, r.image);
    h.serial.deliver(0x5A);
    h.waitFinished();
    QCOMPARE(h.probe->record->modalResult, 2);
    QCOMPARE(h.probe->record->outcome, TransferOutcome::Failed);
    QCOMPARE(h.probe->reportText,
             QStringLiteral("Retain values programming aborted:\r\n\r\nCompare error!"));
}

void tst_DownloadTransfer::refusedRetainFrameIsSentWhole()
{
    DownloadRequest r = retainRequest(5);
    Harness h(r);
    h.startBooted();
    h.serial.takeWritten();
    h.serial.deliver(0xAA);
    const QByteArray frame = h.serial.takeWritten();
    h.serial.deliver(0xA5);
    QCOMPARE(h.serial.takeWritten(), frame);
    QCOMPARE(frame.size(), 18);
}

void tst_DownloadTransfer::canFlashProgramming()
{
    // 20 bytes at 0x80000 (sector 11) and 8 bytes at 0x90000 (sector 12).
    QByteArray image = image46xx(pattern(20), 0x80000);
    image.replace(0x90000, 8, pattern(8, 9));
    DownloadRequest r = flashRequest(image, 11, 17, 0x90008);
    r.settings.COMInterface = 2;
    r.settings.CANBaudrate = 6;
    r.settings.CANIOPort = 3;
    Harness h(r);
    QVERIFY(h.transfer->programFile().endsWith(QLatin1String("DownloadCAN2_250K.H86")));
    h.startConfirmed();
    QVERIFY(h.bus->opened);
    QCOMPARE(h.bus->params.bitrateCode, quint8(6));
    QCOMPARE(h.bus->params.portIndex, quint8(3));
    h.serial.deliver(0xC5);
    h.serial.deliver(0x01);
    h.serial.takeWritten();
    h.serial.deliver(0xAA);
    QCOMPARE(h.serial.takeWritten(), QByteArray()); // no sector bytes over RS-232
    QVERIFY(!h.transfer->watchdogActive());
    h.settle();
    QCOMPARE(h.probe->logs.last(), QStringLiteral("Erasing flash sectors 11 up to 16..."));
    QList<TCANMsg> sent = h.bus->takeSent();
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent[0].ID, 0x63Fu);
    QCOMPARE(sent[0].Len, quint8(2));
    QCOMPARE(sent[0].Data[0], quint8(11));
    QCOMPARE(sent[0].Data[1], quint8(17));
    QCOMPARE(h.transfer->watchdogInterval(), 50000);

    h.bus->reply(0x33);
    QCOMPARE(h.probe->logs.mid(h.probe->logs.size() - 2),
             QStringList({"Flash sectors 11 up to 16 erased", "Start flash programming..."}));
    sent = h.bus->takeSent();
    QCOMPARE(sent.size(), 5);
    const quint32 ids[] = {0x23F, 0x33F, 0x43F, 0x53F, 0x63F};
    const quint8 lens[] = {8, 8, 4, 1, 5};
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(sent[i].ID, ids[i]);
        QCOMPARE(sent[i].Len, lens[i]);
    }
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(sent[2].Data), 4), pattern(20).mid(16));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(sent[4].Data), 5),
             QByteArray::fromHex("140b000008"));

    h.bus->reply(0x55);
    sent = h.bus->takeSent();
    QCOMPARE(sent[0].Len, quint8(8));
    QCOMPARE(sent[1].Len, quint8(1));
    QCOMPARE(sent[4].Data[0], quint8(8));

    h.bus->reply(0x55);
    sent = h.bus->takeSent();
    QCOMPARE(sent.size(), 5);
    for (int i = 0; i < 4; ++i)
        QCOMPARE(sent[i].Len, quint8(1));
    QCOMPARE(sent[4].Len, quint8(1));
    QCOMPARE(sent[4].Data[0], quint8(0));

    h.bus->reply(0xAA);
    h.waitFinished();
    QCOMPARE(h.probe->record->modalResult, 1);
    QVERIFY(h.probe->reportText.contains(QLatin1String("28 bytes programmed")));
    QVERIFY(h.bus->stopped);
    QVERIFY(!h.serial.active);
}

void tst_DownloadTransfer::canEraseErrorAndIgnoredReplies()
{
    DownloadRequest r = flashRequest(image46xx(pattern(64)), 0, 0, 64);
    r.settings.COMInterface = 1;
    Harness h(r);
    h.startBooted();
    h.serial.deliver(0xAA);
    h.settle();
    QCOMPARE(h.probe->logs.last(), QStringLiteral("Erasing all flash sectors..."));
    QList<TCANMsg> sent = h.bus->takeSent();
    QCOMPARE(sent[0].Data[0], quint8(0));
    QCOMPARE(sent[0].Data[1], quint8(0x13));

    // Serial bytes during the CAN phase neither restart it nor stop its watchdog.
    h.serial.deliver(0xAA);
    h.serial.deliver(0x42);
    h.settle();
    QCOMPARE(h.bus->takeSent().size(), 0);
    QVERIFY(h.transfer->watchdogActive());
    QCOMPARE(h.transfer->watchdogInterval(), 50000);

    TCANMsg empty;
    empty.ID = 0x5BF;
    h.bus->deliver(empty);
    TCANMsg other;
    other.ID = 0x1BF;
    other.Len = 1;
    other.Data[0] = 0x33;
    h.bus->deliver(other);
    QCOMPARE(h.bus->takeSent().size(), 0);
    QCOMPARE(h.probe->logs.last(), QStringLiteral("Erasing all flash sectors..."));

    h.bus->reply(0x33);
    QCOMPARE(h.probe->logs.at(h.probe->logs.size() - 2), QStringLiteral("Flash erased"));
    h.bus->reply(0xA5);
    h.waitFinished();
    QCOMPARE(h.probe->record->modalResult, 2);
    QCOMPARE(h.probe->reportText,
             QStringLiteral("Flash programming aborted:\r\n\r\nFlash erase error!"));
}

void tst_DownloadTransfer::canRetainValues()
{
    DownloadRequest r = retainRequest(2);
    r.settings.COMInterface = 1;
    Harness h(r);
    QVERIFY(h.transfer->programFile().endsWith(QLatin1String("DownloadNVCAN1_500K.H86")));
    h.startBooted();
    h.serial.deliver(0xAA);
    h.settle();
    QCOMPARE(h.probe->logs.last(), QStringLiteral("Start retain values programming..."));
    QByteArray received;
    int blocks = 0;
    for (;;) {
        const QList<TCANMsg> sent = h.bus->takeSent();
        QCOMPARE(sent.size(), 5);
        const TCANMsg &command = sent[4];
        QCOMPARE(command.Len, quint8(1));
        if (command.Data[0] == 0)
            break;
        QCOMPARE(command.Data[0], quint8(32));
        for (int i = 0; i < 4; ++i)
            received.append(reinterpret_cast<const char *>(sent[i].Data), sent[i].Len);
        ++blocks;
        if (blocks == 3) {
            // 0xA5 means nothing for retain values: the wait goes on.
            h.bus->reply(0xA5);
            QCOMPARE(h.bus->sent.size(), 0);
            QVERIFY(h.transfer->watchdogActive());
        }
        h.bus->reply(0x55);
    }
    QCOMPARE(blocks, 128);
    QCOMPARE(received, r.image);
    h.bus->reply(0xAA);
    h.waitFinished();
    QCOMPARE(h.probe->logs.last(), QStringLiteral("Retain values programming finished!"));
    QCOMPARE(h.probe->record->modalResult, 1);
}

void tst_DownloadTransfer::lineErrorEndsTransfer()
{
    Harness h(flashRequest(image46xx(pattern(64)), 0, 11, 64));
    h.bootToErase();
    h.serial.raiseLineError(CE_FRAME | CE_OVERRUN);
    QVERIFY(h.transfer->machine().idle());
    h.serial.deliver(0x0B); // discarded from now on
    QCOMPARE(h.serial.takeWritten(), QByteArray());
    h.waitFinished();
    QCOMPARE(h.probe->logs.last(), QStringLiteral("TIMEOUT"));
    QCOMPARE(h.probe->record->modalResult, 2);
    QCOMPARE(h.probe->reportText,
             QStringLiteral("Flash programming aborted:\r\n\r\nCOM error:\r\n")
                 + CommErrorText(CE_FRAME | CE_OVERRUN));

    // The flag query itself fails: the system's text, or "Unknown Error!" when it has none.
    for (const QString &system : {QStringLiteral("Input/output error"), QString()}) {
        Harness s(flashRequest(image46xx(pattern(64)), 0, 11, 64));
        s.startConfirmed();
        s.serial.failLineErrorQuery = true;
        s.serial.lastError = system;
        s.serial.raiseLineError(CE_IOE);
        s.waitFinished();
        QCOMPARE(s.probe->reportText,
                 QStringLiteral("Flash programming aborted:\r\n\r\nSystem error:\r\n")
                     + (system.isEmpty() ? QStringLiteral("Unknown Error!") : system));
    }
}

void tst_DownloadTransfer::lineErrorBeforePromptIsIgnored()
{
    Harness h(flashRequest(image46xx(pattern(64)), 0, 11, 64));
    h.transfer->start();
    h.settle();
    QVERIFY(h.probe->promptShown);
    h.serial.raiseLineError(CE_BREAK);
    h.serial.deliver(0xC5);
    QVERIFY(!h.transfer->watchdogActive());
    h.transfer->answerBootPrompt(true);
    QCOMPARE(h.serial.takeWritten(), QByteArray(1, '\0'));
    h.serial.deliver(0xC5);
    QCOMPARE(h.probe->logs.first(), QStringLiteral("Target-ID: C5"));
}

void tst_DownloadTransfer::canDongleError()
{
    DownloadRequest r = flashRequest(image46xx(pattern(64)), 0, 11, 64);
    r.settings.COMInterface = 1;
    Harness h(r);
    h.startBooted();
    h.serial.deliver(0xAA);
    h.settle();
    h.bus->raiseError(0x10);
    QCOMPARE(h.bus->closeDongleCount, 1);
    QCOMPARE(h.probe->logs.last(), QStringLiteral("CAN Dongle error: ") + CANErrorText(0x10));
    h.waitFinished();
    QCOMPARE(h.probe->record->modalResult, 2);
    QCOMPARE(h.probe->reportText,
             QStringLiteral("Flash programming aborted:\r\n\r\nCAN Dongle error: ")
                 + CANErrorText(0x10));
    QVERIFY(h.bus->stopped);
}

void tst_DownloadTransfer::endBeforeCanPhaseStarts_data()
{
    QTest::addColumn<bool>("lineError");
    QTest::addColumn<QString>("text");
    QTest::newRow("user break") << false << "Flash programming aborted:\r\n\r\nUser break!";
    QTest::newRow("line error") << true
                                << "Flash programming aborted:\r\n\r\nCOM error:\r\n"
            + CommErrorText(CE_FRAME);
}

// The program has started and the CAN phase is scheduled, but the transfer ends first: the
// CAN phase must not start, nor replace the short wait by the erase time-out.
void tst_DownloadTransfer::endBeforeCanPhaseStarts()
{
    QFETCH(bool, lineError);
    DownloadRequest r = flashRequest(image46xx(pattern(64)), 0, 11, 64);
    r.settings.COMInterface = 1;
    Harness h(r);
    h.startBooted();
    h.serial.deliver(0xAA);
    if (lineError)
        h.serial.raiseLineError(CE_FRAME);
    else
        h.transfer->userBreak();
    h.waitFinished();
    QCOMPARE(h.probe->logs.last(), QStringLiteral("TIMEOUT"));
    QTEST(h.probe->reportText, "text");
    QVERIFY(h.bus->takeSent().isEmpty());
}

void tst_DownloadTransfer::userBreakDuringErase()
{
    Harness h(flashRequest(image46xx(pattern(64)), 0, 11, 64));
    h.bootToErase();
    QVERIFY(h.serial.active);
    h.transfer->userBreak();
    QVERIFY(!h.serial.active); // closed at once
    QCOMPARE(h.transfer->watchdogInterval(), TransferSession::AbortDelayMs);
    h.clock.advance(TransferSession::AbortDelayMs - 1);
    QVERIFY(!h.probe->record.has_value());
    h.clock.advance(1);
    QVERIFY(h.probe->record.has_value());
    QCOMPARE(h.probe->logs.last(), QStringLiteral("TIMEOUT"));
    QCOMPARE(h.probe->record->modalResult, 2);
    QCOMPARE(h.probe->reportText, QStringLiteral("Flash programming aborted:\r\n\r\nUser break!"));
}

void tst_DownloadTransfer::missingTargetFile()
{
    Harness h(flashRequest(image46xx(pattern(4)), 0, 11, 4), false);
    writeTargetHex(h.transfer->programFile(), ProgramBytes);
    h.transfer->start();
    h.settle();
    QCOMPARE(
        h.probe->boxLines(),
        QStringList(
            QStringLiteral("Brasvik|Missing bootstrap loader file!\r\n\r\nFile: DLoader.H86\r\n\r\n"
                           "Download will be aborted!\r\n\r\nFolder searched: 1) %1 (used)")
                .arg(h.dir.path())));
    QVERIFY(h.probe->record.has_value());
    QVERIFY(!h.probe->reportShown);
    QCOMPARE(h.probe->record->modalResult, 3);
    QCOMPARE(h.serial.openCount, 0);
    QVERIFY(!h.probe->promptShown);
}

// The file was there at the start and has gone when its turn comes.
void tst_DownloadTransfer::targetFileUnreadableWhenSent()
{
    Harness h(flashRequest(image46xx(pattern(4)), 0, 11, 4));
    h.startConfirmed();
    h.serial.deliver(0xC5);
    QVERIFY(QFile::remove(h.transfer->programFile()));
    h.serial.deliver(0x01);
    QCOMPARE(h.serial.takeWritten(), LoaderBytes); // the loader only
    h.waitFinished();
    QCOMPARE(h.probe->record->modalResult, 3);
    QCOMPARE(h.probe->reportText,
             QStringLiteral("Flash programming aborted:\r\n\r\nCannot read file: Download.H86"));
    QVERIFY(h.transfer->machine().idle());
}

void tst_DownloadTransfer::portThatCannotBeOpened_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("box");
    QTest::newRow("raises") << int(SerialLink::OpenStatus::Raised)
                            << "Open COM error|Device or resource busy";
    QTest::newRow("not active") << int(SerialLink::OpenStatus::NotActive)
                                << "Open COM error|Input/output error";
}

void tst_DownloadTransfer::portThatCannotBeOpened()
{
    QFETCH(int, status);
    Harness h(flashRequest(image46xx(pattern(4)), 0, 11, 4));
    h.serial.openResult
        = {SerialLink::OpenStatus(status), QStringLiteral("Device or resource busy")};
    h.transfer->start();
    h.settle();
    QTEST(h.probe->boxLines().value(0), "box");
    QVERIFY(h.probe->record.has_value());
    QCOMPARE(h.probe->record->modalResult, 3);
    QCOMPARE(h.probe->record->outcome, TransferOutcome::Aborted);
    QVERIFY(!h.probe->promptShown);
}

void tst_DownloadTransfer::dongleThatCannotBeOpened()
{
    DownloadRequest r = flashRequest(image46xx(pattern(4)), 0, 11, 4);
    r.settings.COMInterface = 2;
    Harness h(r);
    h.bus->openResult = 0x400;
    h.transfer->start();
    h.settle();
    QCOMPARE(h.probe->boxLines(),
             QStringList(QStringLiteral("Open PEAK-CAN-Dongle error|") + CANErrorText(0x400)));
    QCOMPARE(h.probe->record->modalResult, 3);
    QCOMPARE(h.serial.openCount, 0);
    QVERIFY(h.bus->stopped);
}

void tst_DownloadTransfer::bootPromptDeclined()
{
    Harness h(flashRequest(image46xx(pattern(4)), 0, 11, 4));
    h.transfer->start();
    h.settle();
    QVERIFY(h.serial.active);
    h.transfer->answerBootPrompt(false);
    QVERIFY(!h.serial.active);
    QCOMPARE(h.probe->record->modalResult, 3);
    QVERIFY(!h.probe->reportShown);
    QCOMPARE(h.serial.takeWritten(), QByteArray());
}

void tst_DownloadTransfer::watchdogTimeout()
{
    DownloadRequest r = retainRequest(1);
    Harness h(r);
    h.startConfirmed(); // nobody answers the boot byte
    h.clock.advance(2000 - 1);
    QVERIFY(h.probe->logs.isEmpty());
    h.clock.advance(1);
    QVERIFY(h.probe->record.has_value());
    QCOMPARE(h.probe->logs, QStringList(QStringLiteral("TIMEOUT")));
    QCOMPARE(h.probe->record->modalResult, 2);
    QCOMPARE(h.probe->record->outcome, TransferOutcome::Failed);
    QCOMPARE(h.probe->reportText,
             QStringLiteral("Retain values programming aborted:\r\n\r\nTIMEOUT"));
}

// Each wait lasts exactly its interval from the last transmission, not a millisecond less.

void tst_DownloadTransfer::transmitEmptyArmsWatchdog()
{
    Harness h(flashRequest(image46xx(pattern(4)), 0, 11, 4));
    h.serial.writeCompletesAtOnce = true;
    h.startConfirmed();
    // The boot byte arms it although the driver took it at once: it may never leave the port.
    QVERIFY(h.transfer->watchdogActive());
    const int interval = h.transfer->watchdogInterval();
    h.clock.advance(interval / 2);
    // Transmit-empty arms it again without moving its deadline.
    h.serial.raiseTxEmpty();
    QVERIFY(h.transfer->watchdogActive());
    h.clock.advance(interval - interval / 2 - 1);
    QVERIFY(!h.probe->logs.contains(QStringLiteral("TIMEOUT")));
    h.clock.advance(1);
    QCOMPARE(h.probe->logs.last(), QStringLiteral("TIMEOUT"));
}

void tst_DownloadTransfer::destroyedMidTransfer()
{
    DownloadRequest r = flashRequest(image46xx(pattern(4)), 0, 11, 4);
    r.settings.COMInterface = 1;
    auto h = std::make_unique<Harness>(r);
    h->startConfirmed();
    h->serial.deliver(0xB5); // schedules the finish
    QVERIFY(h->serial.hasHandlers());
    h->transfer.reset();
    QVERIFY(!h->serial.active);
    QVERIFY(!h->serial.hasHandlers());
    QVERIFY(h->bus->stopped);
    // The record still gets its end, without a report, and with what was decided so far.
    QVERIFY(h->probe->record.has_value());
    QVERIFY(!h->probe->reportShown);
    QCOMPARE(h->probe->record->outcome, TransferOutcome::Aborted);
    QCOMPARE(h->probe->record->failedPhase, TransferPhase::Identification);
    h->settle(); // the queued finish finds no transfer
    QVERIFY(h->probe->streamIsWhole());
}

void tst_DownloadTransfer::recordNamesTheImageAbsolutely()
{
    DownloadRequest r = flashRequest(image46xx(pattern(4)), 0, 11, 4);
    r.fileName = QStringLiteral("images/os.h86"); // as typed on a command line
    Harness h(r);
    QCOMPARE(h.transfer->record().imageFile, QDir::current().absoluteFilePath(r.fileName));
}

void tst_DownloadTransfer::recordOfASuccessfulDownload()
{
    const QByteArray data = pattern(70);
    Harness h(flashRequest(image46xx(data), 0, 11, 70));
    h.startConfirmed();
    QCOMPARE(h.probe->events.first().kind, TransferEvent::Kind::Started);
    const TransferRecord started = h.probe->events.first().record;
    QCOMPARE(started.outcome, TransferOutcome::Running);
    QCOMPARE(started.totalBytes, qint64(70));
    QVERIFY(!started.id.isEmpty());

    h.clock.advance(300); // the target answers 300 ms after the boot byte
    for (quint8 b : {0xC5, 0x01, 0xAA, 0xAA, 0xAA, 0x0B, 0x55})
        h.serial.deliver(b);
    h.serial.deliver(0xA5); // the second block once more
    h.clock.advance(900);
    for (quint8 b : {0x55, 0x55, 0xAA})
        h.serial.deliver(b);
    h.waitFinished();

    const TransferRecord &r = *h.probe->record;
    QCOMPARE(r.id, started.id);
    QCOMPARE(r.operation, TransferOperation::Download);
    QCOMPARE(r.deviceType, DeviceKind::Device46xx);
    QCOMPARE(r.interfaceName, QStringLiteral("rs232"));
    QCOMPARE(r.lineRate, 57600);
    QCOMPARE(r.canBitRate, 0);
    QCOMPARE(r.imageFile, QStringLiteral("/tmp/os.h86"));
    QCOMPARE(r.imageSha256, QCryptographicHash::hash(data, QCryptographicHash::Sha256));
    QCOMPARE(r.firstSector, 0);
    QCOMPARE(r.endSector, 11);
    QCOMPARE(r.startAddress, 0u);
    QCOMPARE(r.endAddress, 70u);
    QVERIFY(!r.retain);
    QVERIFY(r.loaderFile.endsWith(QLatin1String("/DLoader.H86")));
    QVERIFY(r.programFile.endsWith(QLatin1String("/Download.H86")));
    QCOMPARE(r.started, VirtualTimerSource::epoch());
    QCOMPARE(r.ended, VirtualTimerSource::epoch().addMSecs(1200));
    QCOMPARE(r.bytes, qint64(70));
    QCOMPARE(r.totalBytes, qint64(70));
    QCOMPARE(r.blocks, qint64(3));
    QCOMPARE(r.blocksResent, qint64(1));
    QCOMPARE(r.outcome, TransferOutcome::Success);
    QCOMPARE(r.modalResult, 1);
    QCOMPARE(r.reportText,
             QStringLiteral("Flash programming successful:\n\n70 bytes programmed\n\n"
                            "Used time: 1200 ms"));
    QVERIFY(!r.hasFailure);
    QCOMPARE(r.failedSector, -1);
    QCOMPARE(TransferOutcomes::exitStatus(r), int(TransferOutcomes::ExitSuccess));

    QCOMPARE(h.probe->phases(),
             QList<TransferPhase>({TransferPhase::BootPrompt, TransferPhase::Identification,
                                   TransferPhase::Loader, TransferPhase::Program,
                                   TransferPhase::Sectors, TransferPhase::Erase,
                                   TransferPhase::Data, TransferPhase::Finishing}));
    QList<qint64> positions;
    QList<qint64> done;
    for (const TransferEvent &e : h.probe->events) {
        if (e.kind == TransferEvent::Kind::Progress) {
            positions << e.position;
            done << e.bytes;
            QCOMPARE(e.total, qint64(70));
        }
    }
    QCOMPARE(positions, QList<qint64>({32, 64, 70, 70}));
    QCOMPARE(done, QList<qint64>({0, 32, 64, 70}));
}

void tst_DownloadTransfer::recordOfAFailedDownload_data()
{
    QTest::addColumn<int>("comInterface");
    QTest::addColumn<QByteArray>("answers");
    QTest::addColumn<int>("canAnswers"); // 0x55 replies before the last CAN answer, -1: none
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("phase");
    QTest::addColumn<int>("sector");
    QTest::addColumn<qint64>("address");
    QTest::addColumn<qint64>("bytes");
    const int failed = int(TransferOutcome::Failed);
    const int aborted = int(TransferOutcome::Aborted);
    // Data at 0x3FF0 (sector 0) and on from 0x4000 (sector 1): blocks 0x3FF0, 0x4000, 0x4020.
    QTest::newRow("invalid identification")
        << 0 << QByteArray::fromHex("b5") << -1 << aborted << int(TransferPhase::Identification)
        << -1 << qint64(-1) << qint64(0);
    QTest::newRow("unexpected program answer")
        << 0 << QByteArray::fromHex("c50177") << -1 << aborted << int(TransferPhase::Program) << -1
        << qint64(-1) << qint64(0);
    QTest::newRow("erase time-out") << 0 << QByteArray::fromHex("c501aaaaaa") << -1 << failed
                                    << int(TransferPhase::Erase) << -1 << qint64(-1) << qint64(0);
    QTest::newRow("compare error in the third block")
        << 0 << QByteArray::fromHex("c501aaaaaa0255555a") << -1 << failed
        << int(TransferPhase::Data) << 1 << qint64(0x4020) << qint64(48);
    QTest::newRow("time-out in the second block")
        << 0 << QByteArray::fromHex("c501aaaaaa0255") << -1 << failed << int(TransferPhase::Data)
        << 1 << qint64(0x4000) << qint64(16);
    QTest::newRow("compare error over CAN")
        << 1 << QByteArray::fromHex("c501aa") << 1 << failed << int(TransferPhase::Data) << 1
        << qint64(0x4000) << qint64(16);
    QTest::newRow("erase error over CAN")
        << 1 << QByteArray::fromHex("c501aa") << -2 << failed << int(TransferPhase::Erase) << -1
        << qint64(-1) << qint64(0);
}

// Where a failure struck: the phase, and in the data phase the sector and address of the block
// the target had not taken.
void tst_DownloadTransfer::recordOfAFailedDownload()
{
    QFETCH(int, comInterface);
    QFETCH(QByteArray, answers);
    QFETCH(int, canAnswers);
    DownloadRequest r = flashRequest(image46xx(pattern(0x50), 0x3FF0), 0, 2, 0x4040);
    r.settings.COMInterface = comInterface;
    Harness h(r);
    h.startConfirmed();
    for (char answer : answers)
        h.serial.deliver(quint8(answer));
    h.settle();
    if (canAnswers == -2) {
        h.bus->reply(0xA5);
    } else if (canAnswers >= 0) {
        h.bus->reply(0x33);
        for (int i = 0; i < canAnswers; ++i)
            h.bus->reply(0x55);
        h.bus->reply(0x5A);
    }
    h.waitFinished(50000 + 1000);
    const TransferRecord &rec = *h.probe->record;
    QTEST(int(rec.outcome), "outcome");
    QVERIFY(rec.hasFailure);
    QTEST(int(rec.failedPhase), "phase");
    QTEST(rec.failedSector, "sector");
    QTEST(rec.failedAddress, "address");
    QTEST(rec.bytes, "bytes");
    QCOMPARE(rec.interfaceName, comInterface ? QStringLiteral("can1") : QStringLiteral("rs232"));
    QCOMPARE(rec.canBitRate, comInterface ? 500 : 0);
    QCOMPARE(rec.totalBytes, qint64(0x50));
    QCOMPARE(rec.modalResult, TransferOutcomes::modalResult(rec.outcome));
    QCOMPARE(TransferOutcomes::exitStatus(rec), TransferOutcomes::exitStatus(rec.outcome));
}

void tst_DownloadTransfer::finishedComesOnceAndLast_data()
{
    QTest::addColumn<int>("ending");
    QTest::newRow("missing target file") << 0;
    QTest::newRow("prompt declined") << 1;
    QTest::newRow("closed before the prompt is answered") << 2;
    QTest::newRow("closed while running") << 3;
    QTest::newRow("user break, then closed") << 4;
    QTest::newRow("two user breaks") << 5;
    QTest::newRow("success, then closed") << 6;
    QTest::newRow("destroyed while running") << 7;
}

// However a transfer ends, its events start with Started and end with one Finished.
void tst_DownloadTransfer::finishedComesOnceAndLast()
{
    QFETCH(int, ending);
    auto h = std::make_unique<Harness>(flashRequest(image46xx(pattern(4)), 0, 11, 4), ending != 0);
    h->transfer->start();
    h->settle();
    switch (ending) {
    case 0:
        break;
    case 1:
        h->transfer->answerBootPrompt(false);
        break;
    case 2:
        h->transfer->closedByUser();
        QCOMPARE(h->probe->record->failedPhase, TransferPhase::BootPrompt);
        break;
    case 3:
        h->transfer->answerBootPrompt(true);
        h->serial.deliver(0xC5);
        h->transfer->closedByUser();
        QCOMPARE(h->probe->record->outcome, TransferOutcome::Failed);
        QCOMPARE(h->probe->record->failedPhase, TransferPhase::Loader);
        break;
    case 4:
    case 5:
        h->transfer->answerBootPrompt(true);
        h->transfer->userBreak();
        if (ending == 4)
            h->transfer->closedByUser();
        else
            h->transfer->userBreak();
        break;
    case 6:
        h->transfer->answerBootPrompt(true);
        for (quint8 b : {0xC5, 0x01, 0xAA, 0xAA, 0xAA, 0x0B, 0x55, 0xAA})
            h->serial.deliver(b);
        h->transfer->closedByUser(); // before the finish runs: the window returns cancel
        QCOMPARE(h->probe->record->modalResult, 2);
        break;
    case 7:
        h->transfer->answerBootPrompt(true);
        h->transfer.reset();
        break;
    }
    h->clock.advance(60000);
    QVERIFY(h->probe->record.has_value());
    QVERIFY(h->probe->streamIsWhole());
    if (h->transfer) {
        h->transfer->closedByUser();
        h->transfer->userBreak();
        h->clock.advance(1000);
        QVERIFY(h->probe->streamIsWhole());
    }
}

QTEST_GUILESS_MAIN(tst_DownloadTransfer)
#include "tst_downloadtransfer.moc"
