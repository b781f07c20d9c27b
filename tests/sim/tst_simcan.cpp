#include "support/SimDevice.h"
#include "support/SimWire.h"

#include <QCanBus>
#include <QCanBusDevice>
#include <QCanBusFrame>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <memory>

namespace {

constexpr quint32 Command = 0x63F;
constexpr quint32 Reply = 0x5BF;

// A node on the simulator's virtual bus, through Qt's own plugin as the tool uses it.
class BusNode
{
public:
    explicit BusNode(const QString &bus)
    {
        const QString prefix = QStringLiteral("virtualcan:");
        QString error;
        m_device.reset(QCanBus::instance()->createDevice(QStringLiteral("virtualcan"),
                                                         bus.mid(prefix.size()), &error));
        if (m_device)
            m_device->connectDevice();
    }
    bool waitConnected()
    {
        return m_device
            && QTest::qWaitFor(
                   [this] { return m_device->state() == QCanBusDevice::ConnectedState; }, 5000);
    }
    void send(quint32 id, const QByteArray &data) { m_device->writeFrame(QCanBusFrame(id, data)); }
    // Waits for count messages (in arrival order); returns what came within the time.
    QList<QCanBusFrame> receive(int count, int timeoutMs = 3000)
    {
        auto drain = [&] {
            while (m_device->framesAvailable())
                m_frames << m_device->readFrame();
            return m_frames.size() >= count;
        };
        if (!drain()) {
            // Woken by each arrival rather than polled, so long exchanges stay quick.
            QEventLoop loop;
            QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
            QObject::connect(m_device.get(), &QCanBusDevice::framesReceived, &loop, [&] {
                if (drain())
                    loop.quit();
            });
            loop.exec();
        }
        QList<QCanBusFrame> out = m_frames.mid(0, count);
        m_frames = m_frames.mid(qMin<qsizetype>(count, m_frames.size()));
        return out;
    }
    QByteArray replyByte(int timeoutMs = 3000)
    {
        const QList<QCanBusFrame> f = receive(1, timeoutMs);
        if (f.isEmpty() || f.first().frameId() != Reply)
            return {};
        return f.first().payload();
    }

private:
    std::unique_ptr<QCanBusDevice> m_device;
    QList<QCanBusFrame> m_frames;
};

void sendBlock(BusNode &node, const QByteArray &bytes, const QByteArray &header)
{
    for (int k = 0; k < 4; ++k) {
        const QByteArray part = bytes.mid(8 * k, 8);
        node.send(0x23F + 0x100 * quint32(k), part.isEmpty() ? QByteArray(1, '\x77') : part);
    }
    node.send(Command, header);
}

// A device on a CAN bus, a node on that bus and the device's serial line, as a transfer
// over CAN finds them.
struct CanDevice
{
    explicit CanDevice(SimDeviceOptions options = {})
        : sim(onCan(std::move(options))), node(sim.canBus()), wire(sim.serialPath())
    { }
    static SimDeviceOptions onCan(SimDeviceOptions options)
    {
        options.can = true;
        return options;
    }
    // Up, on the bus and booted into `program`; else `error` says which step failed.
    bool boot(const QString &loader, const QString &program)
    {
        if (!sim.isReady())
            error = sim.errorString();
        else if (!node.waitConnected())
            error = QStringLiteral("the node did not join the bus");
        else if (!wire.boot(loader, program))
            error = QStringLiteral("the device did not boot into ") + program;
        return error.isEmpty();
    }

    SimDevice sim;
    BusNode node;
    SimWire wire;
    QString error;
};

} // namespace

class TestSimCan : public QObject
{
    Q_OBJECT

private slots:
    void flashDownload();
    void retainDownload();
    void flashUpload_data();
    void flashUpload();
    void retainUpload();
    void faults_data();
    void faults();
    void shortBatch();
    void joinsABusServedElsewhere();
    void busSurvivesMalformedLines();
    void programMustFitTheBus_data();
    void programMustFitTheBus();
};

void TestSimCan::flashDownload()
{
    SimDeviceOptions options;
    options.eraseMs = 10;
    CanDevice d(options);
    QVERIFY2(d.boot("DLoaderCAN.H86", "DownloadCAN1_500K.H86"), qPrintable(d.error));
    QVERIFY(d.sim.canBus().startsWith("virtualcan:tcp://127.0.0.1:"));

    // Whole flash on CAN is 0..19.
    d.node.send(Command, QByteArray::fromHex("0013"));
    QCOMPARE(d.node.replyByte(), QByteArray::fromHex("33"));
    // 20 bytes at 080000h, sector 11: slots of 8, 8, 4 and one meaningless byte.
    QByteArray data;
    for (int i = 0; i < 20; ++i)
        data.append(char(0x30 + i));
    sendBlock(d.node, data, QByteArray::fromHex("140B000008"));
    QCOMPARE(d.node.replyByte(), QByteArray::fromHex("55"));
    // A padding slot with the wrong length means the tool built the block wrongly.
    d.node.send(0x23F, QByteArray(8, 'a'));
    d.node.send(0x33F, QByteArray(1, 'x'));
    d.node.send(0x43F, QByteArray(2, 'x'));
    d.node.send(0x53F, QByteArray(1, 'x'));
    d.node.send(Command, QByteArray::fromHex("080B200008"));
    QCOMPARE(d.node.replyByte(), QByteArray::fromHex("5A"));
    d.wire.close();
    QVERIFY(d.sim.waitForFinished());
    QCOMPARE(d.sim.flash().mid(0x80000, 20), data);
    QCOMPARE(d.sim.flash().mid(0x80020, 8), QByteArray(8, char(0xFF)));
    const QList<SimTraceLine> can = d.sim.canMessages();
    QVERIFY(can.size() >= 12);
    QCOMPARE(can[0].canId, Command);
    QCOMPARE(can[0].bytes, QByteArray::fromHex("0013"));
    QCOMPARE(can[1].kind, SimTraceLine::Kind::DeviceToHost);
    QCOMPARE(can[1].bytes, QByteArray::fromHex("33"));
}

void TestSimCan::retainDownload()
{
    CanDevice d;
    QVERIFY2(d.boot("DLoaderNVCAN.H86", "DownloadNVCAN2_125K.H86"), qPrintable(d.error));
    QByteArray values;
    for (int i = 0; i < 4096; ++i)
        values.append(char(i ^ (i >> 4)));
    for (int at = 0; at < 4096; at += 32) {
        sendBlock(d.node, values.mid(at, 32), QByteArray(1, char(32)));
        QCOMPARE(d.node.replyByte(), QByteArray::fromHex("55"));
    }
    sendBlock(d.node, {}, QByteArray(1, '\0'));
    QCOMPARE(d.node.replyByte(), QByteArray::fromHex("AA"));
    d.wire.close();
    QVERIFY(d.sim.waitForFinished());
    QCOMPARE(d.sim.exitCode(), 0);
    QCOMPARE(d.sim.nvRam(), values);
}

void TestSimCan::flashUpload_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("size");
    QTest::newRow("curve and system parameters")
        << QByteArray::fromHex("1113") << 0xE0000 << 0x20000;
    QTest::newRow("one small sector") << QByteArray::fromHex("0102") << 0x4000 << 0x2000;
    QTest::newRow("empty range") << QByteArray::fromHex("0505") << 0 << 0;
}

void TestSimCan::flashUpload()
{
    QFETCH(QByteArray, request);
    QFETCH(int, from);
    QFETCH(int, size);
    QByteArray memory(0x100000 + 4096, '\0');
    for (int i = 0; i < 0x100000; ++i)
        memory[i] = char((i >> 8) ^ i);
    SimDeviceOptions options;
    options.initialMemory = memory;
    CanDevice d(options);
    QVERIFY2(d.boot("ULoaderCAN.H86", "UploadCAN1_250K.H86"), qPrintable(d.error));
    d.node.send(Command, request);
    QCOMPARE(d.node.replyByte(), QByteArray::fromHex("AA"));
    QByteArray read;
    for (;;) {
        d.node.send(Command, QByteArray::fromHex("55"));
        const QList<QCanBusFrame> frames = d.node.receive(1);
        QVERIFY(!frames.isEmpty());
        if (frames.first().frameId() == Reply) {
            QCOMPARE(frames.first().payload(), QByteArray::fromHex("00"));
            break;
        }
        const QList<QCanBusFrame> rest = d.node.receive(4);
        QCOMPARE(rest.size(), 4);
        QList<QCanBusFrame> batch = {frames.first()};
        batch += rest.mid(0, 3);
        for (int k = 0; k < 4; ++k) {
            QCOMPARE(batch[k].frameId(), 0x1BFU + 0x100U * quint32(k));
            QCOMPARE(batch[k].payload().size(), 8);
            read += batch[k].payload();
        }
        QCOMPARE(rest[3].frameId(), Reply);
        QCOMPARE(rest[3].payload(), QByteArray::fromHex("20"));
        QVERIFY(read.size() <= size);
    }
    QCOMPARE(read, memory.mid(from, size));
    d.wire.close();
    QVERIFY(d.sim.waitForFinished());
    QCOMPARE(d.sim.exitCode(), 0);
}

void TestSimCan::retainUpload()
{
    QByteArray memory(0x100000 + 4096, char(0xFF));
    for (int i = 0; i < 4096; ++i)
        memory[0x100000 + i] = char(i * 3);
    SimDeviceOptions options;
    options.initialMemory = memory;
    CanDevice d(options);
    QVERIFY2(d.boot("ULoaderNVCAN.H86", "UploadNVCAN1_125K.H86"), qPrintable(d.error));
    QByteArray read;
    for (int batch = 0; batch < 129; ++batch) {
        d.node.send(Command, QByteArray::fromHex("55"));
        const QList<QCanBusFrame> frames = d.node.receive(batch < 128 ? 5 : 1);
        QVERIFY(!frames.isEmpty());
        if (batch == 128) {
            QCOMPARE(frames.first().payload(), QByteArray::fromHex("00"));
            break;
        }
        for (int k = 0; k < 4; ++k)
            read += frames[k].payload();
    }
    QCOMPARE(read, memory.mid(0x100000));
    d.wire.close();
    QVERIFY(d.sim.waitForFinished());
}

void TestSimCan::faults_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("eraseReply");
    QTest::addColumn<QByteArray>("blockReply");
    QTest::newRow("erase fails") << QStringList {"--erase-fail"} << QByteArray::fromHex("A5")
                                 << QByteArray();
    QTest::newRow("silent from the erase")
        << QStringList {"--silent-from", "erase"} << QByteArray() << QByteArray();
    QTest::newRow("block refused") << QStringList {"--refuse-block", "1"}
                                   << QByteArray::fromHex("33") << QByteArray::fromHex("A5");
    QTest::newRow("compare error") << QStringList {"--compare-error", "1"}
                                   << QByteArray::fromHex("33") << QByteArray::fromHex("5A");
    QTest::newRow("silent from block 1")
        << QStringList {"--silent-from", "block:1"} << QByteArray::fromHex("33") << QByteArray();
}

void TestSimCan::faults()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, eraseReply);
    QFETCH(QByteArray, blockReply);
    SimDeviceOptions options;
    options.eraseMs = 10;
    options.extraArguments = arguments;
    CanDevice d(options);
    QVERIFY2(d.boot("DLoaderCAN.H86", "DownloadCAN1_125K.H86"), qPrintable(d.error));
    d.node.send(Command, QByteArray::fromHex("1113"));
    QCOMPARE(d.node.replyByte(eraseReply.isEmpty() ? 300 : 3000), eraseReply);
    if (eraseReply != QByteArray::fromHex("33"))
        return;
    sendBlock(d.node, QByteArray(8, 'z'), QByteArray::fromHex("081100000E"));
    QCOMPARE(d.node.replyByte(blockReply.isEmpty() ? 300 : 3000), blockReply);
}

void TestSimCan::shortBatch()
{
    SimDeviceOptions options;
    options.extraArguments = {"--short-block", "1"};
    CanDevice d(options);
    QVERIFY2(d.boot("ULoaderNVCAN.H86", "UploadNVCAN1_125K.H86"), qPrintable(d.error));
    d.node.send(Command, QByteArray::fromHex("55"));
    const QList<QCanBusFrame> batch = d.node.receive(5);
    QCOMPARE(batch.size(), 5);
    QCOMPARE(batch[3].frameId(), 0x4BFU);
    QCOMPARE(batch[3].payload().size(), 4);
    QCOMPARE(batch[4].payload(), QByteArray::fromHex("20"));
}

void TestSimCan::joinsABusServedElsewhere()
{
    // Qt's plugin starts a bus server in this process for the first node on a free port;
    // the device then finds the port taken and joins as a client.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    const QString bus = QStringLiteral("virtualcan:tcp://127.0.0.1:%1/can0").arg(port);
    BusNode node(bus);
    QVERIFY(node.waitConnected());
    SimDeviceOptions options;
    options.eraseMs = 10;
    options.extraArguments = {"--can", bus};
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    QCOMPARE(sim.canBus(), bus);
    SimWire wire(sim.serialPath());
    QVERIFY(wire.boot("DLoaderCAN.H86", "DownloadCAN2_500K.H86"));
    node.send(Command, QByteArray::fromHex("0B11"));
    QCOMPARE(node.replyByte(), QByteArray::fromHex("33"));
}

void TestSimCan::busSurvivesMalformedLines()
{
    SimDeviceOptions options;
    options.can = true;
    options.eraseMs = 10;
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    const QUrl url(sim.canBus().mid(11));
    QTcpSocket raw;
    raw.connectToHost(QHostAddress::LocalHost, quint16(url.port()));
    QVERIFY(raw.waitForConnected(3000));
    raw.write("connect:can0\ncan0:\ncan0:abc\ncan0:1599#X\ncan0:1599##zz\n:::\n"
              "can0:1599#R#0013\ncan7:1#2#3\n");
    raw.write(QByteArray(8192, 'q'));
    QVERIFY(raw.waitForBytesWritten(3000));
    QTest::qWait(100);
    // The garbage neither crashed the device nor reached it; a proper node still works.
    BusNode node(sim.canBus());
    QVERIFY(node.waitConnected());
    SimWire wire(sim.serialPath());
    QVERIFY(wire.boot("DLoaderCAN.H86", "DownloadCAN1_250K.H86"));
    node.send(Command, QByteArray::fromHex("0013"));
    QCOMPARE(node.replyByte(), QByteArray::fromHex("33"));
    QVERIFY(sim.isRunning());
}

void TestSimCan::programMustFitTheBus_data()
{
    QTest::addColumn<int>("channel");
    QTest::addColumn<int>("bitrate");
    QTest::addColumn<QString>("program");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("any bus") << 0 << 0 << "DownloadCAN2_250K.H86" << true;
    QTest::newRow("matching") << 2 << 250000 << "DownloadCAN2_250K.H86" << true;
    QTest::newRow("other channel") << 1 << 0 << "DownloadCAN2_250K.H86" << false;
    QTest::newRow("other bit rate") << 0 << 500000 << "DownloadCAN2_250K.H86" << false;
}

void TestSimCan::programMustFitTheBus()
{
    QFETCH(int, channel);
    QFETCH(int, bitrate);
    QFETCH(QString, program);
    QFETCH(bool, accepted);
    SimDeviceOptions options;
    options.can = true;
    options.canChannel = channel;
    options.canBitrate = bitrate;
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SimWire wire(sim.serialPath());
    QCOMPARE(wire.boot("DLoaderCAN.H86", program), accepted);
}

QTEST_GUILESS_MAIN(TestSimCan)
#include "tst_simcan.moc"
