#include "support/SimDevice.h"
#include "support/SimWire.h"

#include <QTest>

namespace {

// Boots the flash upload's programs and asks for sectors `first` up to `end`: the device's two
// answers, AA AA when it took them.
QByteArray requestSectors(SimWire &wire, int first, int end)
{
    if (!wire.boot("ULoader.H86", "Upload.H86"))
        return {};
    wire.write(QByteArray(1, char(first)));
    QByteArray answers = wire.read(1);
    wire.write(QByteArray(1, char(end)));
    return answers + wire.read(1);
}

// A recognisable memory: every flash byte differs from its neighbours.
QByteArray patternMemory(qsizetype flash, qsizetype rest)
{
    QByteArray m(flash + rest, '\0');
    for (qsizetype i = 0; i < m.size(); ++i)
        m[i] = char((i * 31) ^ (i >> 9));
    return m;
}

// Requests blocks with 0x55 until the end mark; returns the data, or an empty array (and
// fails the test) when a block is malformed.
QByteArray readAll(SimWire &wire, int expectedBlocks)
{
    QByteArray data;
    for (int n = 0; n <= expectedBlocks; ++n) {
        wire.write(QByteArray::fromHex("55"));
        const QByteArray head = wire.read(1);
        if (head == QByteArray::fromHex("A5"))
            return n == expectedBlocks ? data : QByteArray();
        const QByteArray block = wire.read(257);
        if (head != QByteArray::fromHex("AA") || block.size() != 257
            || quint8(block[256]) != SimWire::uploadCheck(block.left(256)))
            return {};
        data += block.left(256);
    }
    return {};
}

} // namespace

class TestSimUpload : public QObject
{
    Q_OBJECT

private slots:
    void flashRegions_data();
    void flashRegions();
    void blockAgainOn5A();
    void regionsWithoutSectorBytes_data();
    void regionsWithoutSectorBytes();
    void checkByteOfErasedBlock();
};

void TestSimUpload::flashRegions_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("end");
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::newRow("operating system") << 0 << 11 << 0 << 0x80000;
    QTest::newRow("PLC program code") << 11 << 15 << 0x80000 << 0xC0000;
    QTest::newRow("small sector 2") << 2 << 3 << 0x6000 << 0x8000;
    QTest::newRow("nothing") << 20 << 21 << 0 << 0;
}

void TestSimUpload::flashRegions()
{
    QFETCH(int, first);
    QFETCH(int, end);
    QFETCH(int, from);
    QFETCH(int, to);
    SimDeviceOptions options;
    options.initialMemory = patternMemory(0x100000, 4096);
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SimWire wire(sim.serialPath());
    QCOMPARE(requestSectors(wire, first, end), QByteArray::fromHex("AAAA"));
    const QByteArray data = readAll(wire, (to - from) / 256);
    QCOMPARE(data.size(), to - from);
    QCOMPARE(data, options.initialMemory.mid(from, to - from));
    wire.close();
    QVERIFY(sim.waitForFinished());
    QCOMPARE(sim.exitCode(), 0);
    QCOMPARE(sim.summaryValue("result"), QStringLiteral("upload complete"));
    // Reading leaves the memory as it was.
    QCOMPARE(sim.memory(), options.initialMemory);
}

void TestSimUpload::blockAgainOn5A()
{
    SimDeviceOptions options;
    options.initialMemory = patternMemory(0x100000, 4096);
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SimWire wire(sim.serialPath());
    QCOMPARE(requestSectors(wire, 0x11, 0x13), QByteArray::fromHex("AAAA"));
    const QByteArray expected = options.initialMemory.mid(0xE0000, 512);
    wire.write(QByteArray::fromHex("55"));
    const QByteArray first = wire.read(258);
    QCOMPARE(first.mid(1, 256), expected.left(256));
    // The block refused (or lost) is sent again, the same bytes.
    wire.write(QByteArray::fromHex("5A"));
    QCOMPARE(wire.read(258), first);
    wire.write(QByteArray::fromHex("55"));
    const QByteArray second = wire.read(258);
    QCOMPARE(second.mid(1, 256), expected.mid(256));
    // Bytes other than 0x55 and 0x5A are no request.
    wire.write(QByteArray::fromHex("33"));
    QVERIFY(wire.read(1, 150).isEmpty());
    wire.close();
    QVERIFY(sim.waitForFinished());
    QCOMPARE(sim.summaryValue("read"), QStringLiteral("512 bytes, 1 blocks sent again"));
}

void TestSimUpload::regionsWithoutSectorBytes_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("loader");
    QTest::addColumn<QString>("program");
    QTest::addColumn<int>("flashSize");
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("size");
    // The 4610's flash and NV parameters, 329984 bytes.
    QTest::newRow("4610 image") << "4610"
                                << "ULoaderIF.H86"
                                << "UploadIF.H86" << 0x50000 << 0 << 329984;
    QTest::newRow("46xx retain values") << "46xx"
                                        << "ULoaderNV.H86"
                                        << "UploadNV.H86" << 0x100000 << 0x100000 << 4096;
    QTest::newRow("4610 retain values") << "4610"
                                        << "ULoaderNVIF.H86"
                                        << "UploadNVIF.H86" << 0x50000 << 0x50000 + 2304 << 0x7000;
}

void TestSimUpload::regionsWithoutSectorBytes()
{
    QFETCH(QString, device);
    QFETCH(QString, loader);
    QFETCH(QString, program);
    QFETCH(int, flashSize);
    QFETCH(int, from);
    QFETCH(int, size);
    SimDeviceOptions options;
    options.device = device;
    options.initialMemory = patternMemory(flashSize, device == "4610" ? 2304 + 0x7000 : 4096);
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SimWire wire(sim.serialPath());
    QVERIFY(wire.boot(loader, program));
    const QByteArray data = readAll(wire, size / 256);
    QCOMPARE(data.size(), size);
    QCOMPARE(data, options.initialMemory.mid(from, size));
}

void TestSimUpload::checkByteOfErasedBlock()
{
    SimDevice sim;
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SimWire wire(sim.serialPath());
    QCOMPARE(requestSectors(wire, 0x00, 0x00), QByteArray::fromHex("AAAA"));
    wire.write(QByteArray::fromHex("55"));
    // 256 bytes of erased flash carry the check byte 0xAA.
    QCOMPARE(wire.read(258),
             QByteArray::fromHex("AA") + QByteArray(256, char(0xFF)) + QByteArray::fromHex("AA"));
}

QTEST_GUILESS_MAIN(TestSimUpload)
#include "tst_simupload.moc"
