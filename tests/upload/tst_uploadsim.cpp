#include "UploadSetups.h"
#include "base/SettingsStore.h"
#include "comm/KTSerial.h"
#include "support/SimDevice.h"
#include "support/TempSettings.h"
#include "support/TestSetup.h"
#include "support/TransferProbe.h"
#include "transfer/KTCanLink.h"
#include "transfer/KTSerialLink.h"
#include "transfer/LoaderFile.h"
#include "transfer/TargetFiles.h"
#include "upload/UploadChoice.h"
#include "upload/UploadTransfer.h"

#include <QTest>

namespace {

QByteArray pattern(qsizetype size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 13 + (i >> 9) + seed) & 0xFF);
    return bytes;
}

// Flash, then (4610 board) NV parameters, then NV RAM, as the simulator's memory file holds it.
QByteArray deviceMemory(const QString &device)
{
    if (device == QLatin1String("4610"))
        return pattern(0x50000, 1) + pattern(2304, 2) + pattern(0x7000, 3);
    return pattern(0x100000, 1) + pattern(4096, 3);
}

QByteArray converted(const QString &path)
{
    QStringList lines;
    QString error;
    if (!LoaderFile::readLines(path, &lines, &error))
        return {};
    return ConvertLoaderFile(lines);
}

UploadSetup setupFor(UploadChoice choice, DeviceKind deviceType, int comInterface = 0)
{
    return uploadSetupFor(choice, deviceType, comInterface, br115200);
}

// One reading from the simulated device through the real serial component and CAN thread.
struct Reading
{
    explicit Reading(const UploadSetup &setup)
    {
        serial.SetPortName(COM1);
        serial.SetFrameParitybit(TParityBit::None);
        serial.SetRxBufSize(4096);
        serial.SetTxBufSize(4096);
        serial.SetSyncEventHandling(true);
        link = std::make_unique<KTSerialLink>(serial);
        transfer = std::make_unique<UploadTransfer>(
            setup, *link, [] { return std::make_unique<KTCanLink>(); },
            testSetup(SimDevice::h86Directory(), TimerSource::system(),
                      SettingsStore::comPortDevicePath(0), SettingsStore::canBus()));
        probe = std::make_unique<TransferProbe>(*transfer, TransferProbe::BootPrompt::Confirm);
    }

    // A transfer freed before its end still sends Finished: it must find the reading whole.
    ~Reading() { transfer.reset(); }
    Reading(const Reading &) = delete;
    Reading &operator=(const Reading &) = delete;

    TKTSerial serial;
    std::unique_ptr<KTSerialLink> link;
    std::unique_ptr<UploadTransfer> transfer;
    std::unique_ptr<TransferProbe> probe;
};

} // namespace

class TestUploadSim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void serialChoices_data();
    void serialChoices();
    void boardImage();
    void badCheckByteIsReadAgain();
    void blockCutShortIsRequestedAgain();
    void strayBytesInFrontOfAHeaderAreLetPass();
    void canMessageCutShortTimesOut();
    void canChoices_data();
    void canChoices();
    void deviceVanishes();

private:
    TempSettings m_settings;
};

void TestUploadSim::initTestCase()
{
    QVERIFY(QFileInfo::exists(SimDevice::executable()));
    TargetFiles::setDirectory(SimDevice::h86Directory());
}

void TestUploadSim::cleanup()
{
    SettingsStore::clearOverrides();
}

void TestUploadSim::serialChoices_data()
{
    QTest::addColumn<int>("choice");
    QTest::addColumn<QByteArray>("sectorBytes");
    QTest::addColumn<qint32>("start");
    QTest::addColumn<qint32>("end");
    QTest::addColumn<QByteArray>("trailer");

    QTest::newRow("flash") << int(UploadChoice::Flash) << QByteArray::fromHex("0000") << 0
                           << 0x100000 << QByteArray();
    QTest::newRow("os") << int(UploadChoice::OperatingSystem) << QByteArray::fromHex("000b") << 0
                        << 0x80000 << QByteArray::fromHex("000000000b000000");
    QTest::newRow("parameters") << int(UploadChoice::Parameters) << QByteArray::fromHex("1113")
                                << 0xE0000 << 0x100000 << QByteArray::fromHex("1100000013000000");
    QTest::newRow("plc") << int(UploadChoice::PlcProject) << QByteArray::fromHex("0b11") << 0x80000
                         << 0xE0000 << QByteArray::fromHex("0b00000011000000");
    QTest::newRow("plc-code") << int(UploadChoice::PlcCode) << QByteArray::fromHex("0b0f")
                              << 0x80000 << 0xC0000 << QByteArray::fromHex("0b0000000f000000");
    QTest::newRow("plc-data") << int(UploadChoice::PlcData) << QByteArray::fromHex("0f11")
                              << 0xC0000 << 0xE0000 << QByteArray::fromHex("0f00000011000000");
    QTest::newRow("retain") << int(UploadChoice::Retain) << QByteArray() << 0 << 4096
                            << QByteArray();
}

void TestUploadSim::serialChoices()
{
    QFETCH(int, choice);
    QFETCH(QByteArray, sectorBytes);
    QFETCH(qint32, start);
    QFETCH(qint32, end);
    QFETCH(QByteArray, trailer);

    SimDeviceOptions options;
    options.initialMemory = deviceMemory(QStringLiteral("46xx"));
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SettingsStore::overrideComPortDevicePath(0, sim.serialPath());

    Reading r(setupFor(UploadChoice(choice), DeviceKind::Device46xx));
    QVERIFY(r.probe->run());
    QCOMPARE(r.probe->result().modalResult, 1);
    QVERIFY(sim.waitForFinished());

    // On the wire: boot byte, the two programs, the sector bytes, then 0x55 per block.
    const QByteArray host = sim.hostBytes();
    const QByteArray opening = QByteArray(1, 0x00) + converted(r.transfer->loaderFile())
        + converted(r.transfer->programFile()) + sectorBytes;
    QCOMPARE(host.left(opening.size()), opening);
    QCOMPARE(host.mid(opening.size()), QByteArray((end - start) / 256 + 1, 0x55));

    const bool retain = UploadChoice(choice) == UploadChoice::Retain;
    const QByteArray &data = r.transfer->uploadData();
    if (retain) {
        QCOMPARE(data, sim.nvRam());
        QCOMPARE(data.size(), 4096);
    } else {
        QCOMPARE(data.size(), 0x100000 + trailer.size());
        QCOMPARE(data.mid(start, end - start), sim.flash().mid(start, end - start));
        QCOMPARE(data.left(start), QByteArray(start, char(0xFF)));
        QCOMPARE(data.mid(end, 0x100000 - end), QByteArray(0x100000 - end, char(0xFF)));
        QCOMPARE(data.mid(0x100000), trailer);
    }
    QVERIFY(r.probe->result().reportText.contains(
        QStringLiteral("%1 bytes have been read").arg(end - start)));
}

void TestUploadSim::boardImage()
{
    SimDeviceOptions options;
    options.device = QStringLiteral("4610");
    options.idByte = 0xD5;
    options.initialMemory = deviceMemory(QStringLiteral("4610"));
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SettingsStore::overrideComPortDevicePath(0, sim.serialPath());

    Reading r(setupFor(UploadChoice::Flash, DeviceKind::Board4610));
    QVERIFY(r.transfer->programFile().endsWith(QLatin1String("UploadIF.H86")));
    QVERIFY(r.probe->run());
    QCOMPARE(r.probe->result().modalResult, 1);
    QCOMPARE(r.transfer->uploadData().size(), 329984);
    QCOMPARE(r.transfer->uploadData(), sim.memory().left(329984));
    QVERIFY(r.probe->logs.contains(
        QStringLiteral("Reading all flash data sectors and NV parameter...")));
}

void TestUploadSim::badCheckByteIsReadAgain()
{
    SimDeviceOptions options;
    options.initialMemory = deviceMemory(QStringLiteral("46xx"));
    options.extraArguments = {QStringLiteral("--bad-check"), QStringLiteral("3")};
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SettingsStore::overrideComPortDevicePath(0, sim.serialPath());

    Reading r(setupFor(UploadChoice::PlcData, DeviceKind::Device46xx));
    QVERIFY(r.probe->run());
    QCOMPARE(r.probe->result().modalResult, 1);
    QVERIFY(sim.waitForFinished());
    // After the opening: the third block is refused, read again, and stored once.
    const QByteArray host = sim.hostBytes();
    QCOMPARE(host.right(514), QByteArray(3, 0x55) + char(0x5A) + QByteArray(510, 0x55));
    QCOMPARE(r.transfer->uploadData().mid(0xC0000, 0x20000), sim.flash().mid(0xC0000, 0x20000));
}

void TestUploadSim::blockCutShortIsRequestedAgain()
{
    SimDeviceOptions options;
    options.initialMemory = deviceMemory(QStringLiteral("46xx"));
    options.extraArguments = {QStringLiteral("--short-block"), QStringLiteral("2")};
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SettingsStore::overrideComPortDevicePath(0, sim.serialPath());

    Reading r(setupFor(UploadChoice::Parameters, DeviceKind::Device46xx));
    QVERIFY(r.probe->run());
    QCOMPARE(r.probe->result().modalResult, 1);
    QVERIFY(sim.waitForFinished());
    // 512 blocks: the second one is cut short, times out and is asked for again.
    QCOMPARE(sim.hostBytes().right(514), QByteArray(2, 0x55) + char(0x5A) + QByteArray(511, 0x55));
    QCOMPARE(r.transfer->uploadData().mid(0xE0000, 0x20000), sim.flash().mid(0xE0000, 0x20000));
}

void TestUploadSim::strayBytesInFrontOfAHeaderAreLetPass()
{
    // The stray bytes follow the third block 20 ms later, and the line sends in order: the
    // next block comes right behind them. A byte that is no answer is let pass; the stray 0xAA
    // is taken for the header, so the block slips, is asked for again, and the reading goes on.
    SimDeviceOptions options;
    options.initialMemory = deviceMemory(QStringLiteral("46xx"));
    options.extraArguments = {QStringLiteral("--stray"),       QStringLiteral("block:3"),
                              QStringLiteral("--stray-bytes"), QStringLiteral("55AA5A"),
                              QStringLiteral("--stray-delay"), QStringLiteral("20")};
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SettingsStore::overrideComPortDevicePath(0, sim.serialPath());

    Reading r(setupFor(UploadChoice::PlcData, DeviceKind::Device46xx));
    QVERIFY(r.probe->run());
    QVERIFY(sim.waitForFinished());
    QCOMPARE(r.probe->result().modalResult, 1);
    const QByteArray &data = r.transfer->uploadData();
    QCOMPARE(data.mid(0xC0000, int(r.probe->result().bytes)), sim.flash().mid(0xC0000, int(r.probe->result().bytes)));
    // One request a block and one for the end, and the slipped block asked for once again.
    const int blocks = int(r.probe->result().bytes / 256);
    const QByteArray requests = sim.hostBytes().right(blocks + 2);
    QCOMPARE(requests.count(char(0x5A)), 1);
    QCOMPARE(requests.count(char(0x55)), blocks + 1);
}

void TestUploadSim::canMessageCutShortTimesOut()
{
    // Nothing on CAN asks for a batch again: the short message leaves it incomplete for good.
    SimDeviceOptions options;
    options.can = true;
    options.initialMemory = deviceMemory(QStringLiteral("46xx"));
    options.extraArguments = {QStringLiteral("--short-block"), QStringLiteral("2")};
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SettingsStore::overrideComPortDevicePath(0, sim.serialPath());
    SettingsStore::overrideCanBus(sim.canBus());

    Reading r(setupFor(UploadChoice::Parameters, DeviceKind::Device46xx, 1));
    QVERIFY(r.probe->run());
    QCOMPARE(r.probe->result().modalResult, 2);
    QCOMPARE(r.probe->logs.last(), QStringLiteral("TIMEOUT"));
    QCOMPARE(r.probe->result().bytes, 32);
    QCOMPARE(r.transfer->uploadData().mid(0xE0000, 32), sim.flash().mid(0xE0000, 32));
}

void TestUploadSim::canChoices_data()
{
    QTest::addColumn<int>("choice");
    QTest::addColumn<int>("iface");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<qint32>("start");
    QTest::addColumn<qint32>("end");

    QTest::newRow("flash on CAN1")
        << int(UploadChoice::Flash) << 1 << QByteArray::fromHex("0013") << 0 << 0x100000;
    QTest::newRow("parameters on CAN2")
        << int(UploadChoice::Parameters) << 2 << QByteArray::fromHex("1113") << 0xE0000 << 0x100000;
    QTest::newRow("plc-code on CAN1")
        << int(UploadChoice::PlcCode) << 1 << QByteArray::fromHex("0b0f") << 0x80000 << 0xC0000;
    QTest::newRow("retain on CAN1")
        << int(UploadChoice::Retain) << 1 << QByteArray::fromHex("55") << 0 << 4096;
}

void TestUploadSim::canChoices()
{
    QFETCH(int, choice);
    QFETCH(int, iface);
    QFETCH(QByteArray, request);
    QFETCH(qint32, start);
    QFETCH(qint32, end);

    SimDeviceOptions options;
    options.can = true;
    options.initialMemory = deviceMemory(QStringLiteral("46xx"));
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SettingsStore::overrideComPortDevicePath(0, sim.serialPath());
    SettingsStore::overrideCanBus(sim.canBus());

    Reading r(setupFor(UploadChoice(choice), DeviceKind::Device46xx, iface));
    QVERIFY(r.transfer->usesCan());
    QVERIFY(r.probe->run());
    QCOMPARE(r.probe->result().modalResult, 1);
    QVERIFY(sim.waitForFinished());

    QList<QByteArray> commands;
    for (const SimTraceLine &m : sim.canMessages()) {
        if (m.kind == SimTraceLine::Kind::HostToDevice) {
            QCOMPARE(m.canId, 0x63Fu);
            commands << m.bytes;
        }
    }
    QVERIFY(!commands.isEmpty());
    QCOMPARE(commands.first(), request);
    // One request per batch of 32 bytes (retain values: the first request is one of them).
    const bool retain = UploadChoice(choice) == UploadChoice::Retain;
    QCOMPARE(commands.size(), (end - start) / 32 + (retain ? 1 : 2));

    const QByteArray &data = r.transfer->uploadData();
    if (retain)
        QCOMPARE(data, sim.nvRam());
    else
        QCOMPARE(data.mid(start, end - start), sim.flash().mid(start, end - start));
}

void TestUploadSim::deviceVanishes()
{
    SimDeviceOptions options;
    options.extraArguments = {QStringLiteral("--hangup-after-tx"), QStringLiteral("20000")};
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SettingsStore::overrideComPortDevicePath(0, sim.serialPath());

    Reading r(setupFor(UploadChoice::Flash, DeviceKind::Device46xx));
    QVERIFY(r.probe->run(20000));
    QCOMPARE(r.probe->result().modalResult, 2);
    QVERIFY2(r.probe->result().reportText.startsWith(QStringLiteral("Flash reading aborted:\n\n")),
             qPrintable(r.probe->result().reportText));
    QCOMPARE(r.probe->logs.last(), QStringLiteral("TIMEOUT"));
    QVERIFY(!r.serial.Active());
    QVERIFY(!r.serial.HasWorker());
}

QTEST_GUILESS_MAIN(TestUploadSim)
#include "tst_uploadsim.moc"
