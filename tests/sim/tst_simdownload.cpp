#include "support/SimDevice.h"
#include "support/SimWire.h"

#include <QTest>

namespace {

const QByteArray Ack = QByteArray::fromHex("AA");
const QByteArray BlockOk = QByteArray::fromHex("55");

} // namespace

class TestSimDownload : public QObject
{
    Q_OBJECT

private slots:
    void identificationByte_data();
    void identificationByte();
    void programsMustFit_data();
    void programsMustFit();
    void sectorRangeAndErase_data();
    void sectorRangeAndErase();
    void blockFramesAndFlashSemantics();
    void retainValues();
    void combined4610Image();
    void persistentRunResetsBetweenSessions();
};

void TestSimDownload::identificationByte_data()
{
    QTest::addColumn<int>("id");
    QTest::newRow("C5") << 0xC5;
    QTest::newRow("D5") << 0xD5;
    QTest::newRow("wrong B5") << 0xB5;
}

void TestSimDownload::identificationByte()
{
    QFETCH(int, id);
    SimDeviceOptions options;
    options.idByte = id;
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SimWire wire(sim.serialPath());
    QVERIFY(wire.isOpen());
    // Noise before the boot byte is not answered.
    wire.write(QByteArray::fromHex("55"));
    QVERIFY(wire.read(1, 200).isEmpty());
    wire.write(QByteArray(1, '\0'));
    QCOMPARE(wire.read(1), QByteArray(1, char(id)));
    wire.close();
    QVERIFY(sim.waitForFinished());
    QCOMPARE(sim.exitCode(), 2);
    QCOMPARE(sim.hostBytes(), QByteArray::fromHex("5500"));
}

void TestSimDownload::programsMustFit_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("loader");
    QTest::addColumn<QString>("program");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("why");
    QTest::newRow("46xx flash") << "46xx"
                                << "DLoader.H86"
                                << "Download.H86" << true << "";
    QTest::newRow("46xx retain") << "46xx"
                                 << "DLoaderNV.H86"
                                 << "DownloadNV.H86" << true << "";
    QTest::newRow("4610 flash") << "4610"
                                << "DLoaderIF.H86"
                                << "DownloadIF.H86" << true << "";
    QTest::newRow("upload program after download loader")
        << "46xx"
        << "DLoader.H86"
        << "Upload.H86" << false << "does not belong";
    QTest::newRow("retain program after flash loader")
        << "46xx"
        << "DLoader.H86"
        << "DownloadNV.H86" << false << "does not belong";
    QTest::newRow("CAN program after RS-232 loader")
        << "46xx"
        << "DLoader.H86"
        << "DownloadCAN1_125K.H86" << false << "does not belong";
    QTest::newRow("CAN program, device without bus")
        << "46xx"
        << "DLoaderCAN.H86"
        << "DownloadCAN1_125K.H86" << false << "no CAN bus";
    QTest::newRow("46xx program on the 4610") << "4610"
                                              << "DLoader.H86"
                                              << "Download.H86" << false << "is for a 46xx device";
}

void TestSimDownload::programsMustFit()
{
    QFETCH(QString, device);
    QFETCH(QString, loader);
    QFETCH(QString, program);
    QFETCH(bool, accepted);
    QFETCH(QString, why);
    SimDeviceOptions options;
    options.device = device;
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SimWire wire(sim.serialPath());
    QByteArray answers;
    QCOMPARE(wire.boot(loader, program, &answers), accepted);
    if (!accepted) {
        // A refused file is met with silence, never with a wrong answer.
        QVERIFY(answers.size() < 3);
    }
    wire.close();
    QVERIFY(sim.waitForFinished());
    if (!accepted)
        QVERIFY2(sim.events().join('\n').contains(why), qPrintable(sim.events().join('\n')));
    else
        QCOMPARE(sim.summaryValue("program"), program);
}

void TestSimDownload::sectorRangeAndErase_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("end");
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("erasedFrom");
    QTest::addColumn<int>("erasedTo");
    QTest::newRow("whole flash") << 0 << 0 << 0x00 << 0 << 0x100000;
    QTest::newRow("operating system") << 0 << 11 << 0x0B << 0 << 0x80000;
    QTest::newRow("curve and system parameters") << 17 << 19 << 0x13 << 0xE0000 << 0x100000;
    QTest::newRow("small sectors") << 1 << 3 << 0x03 << 0x4000 << 0x8000;
    QTest::newRow("range beyond the map") << 0 << 20 << 0xA5 << 0 << 0;
    QTest::newRow("reversed range") << 11 << 4 << 0xA5 << 0 << 0;
}

void TestSimDownload::sectorRangeAndErase()
{
    QFETCH(int, first);
    QFETCH(int, end);
    QFETCH(int, answer);
    QFETCH(int, erasedFrom);
    QFETCH(int, erasedTo);
    SimDeviceOptions options;
    options.eraseMs = 20;
    options.initialMemory = QByteArray(0x100000 + 4096, char(0x00));
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SimWire wire(sim.serialPath());
    QVERIFY(wire.boot("DLoader.H86", "Download.H86"));
    wire.write(QByteArray(1, char(first)));
    QCOMPARE(wire.read(1), Ack);
    wire.write(QByteArray(1, char(end)));
    // The acknowledgement and the erase answer come apart, the erase taking its time.
    QCOMPARE(wire.read(1), Ack);
    QCOMPARE(wire.read(1), QByteArray(1, char(answer)));
    wire.close();
    QVERIFY(sim.waitForFinished());
    const QByteArray flash = sim.flash();
    QCOMPARE(flash.size(), 0x100000);
    QCOMPARE(flash.mid(erasedFrom, erasedTo - erasedFrom),
             QByteArray(erasedTo - erasedFrom, char(0xFF)));
    QCOMPARE(flash.count(char(0xFF)), erasedTo - erasedFrom);
}

void TestSimDownload::blockFramesAndFlashSemantics()
{
    SimDevice sim;
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SimWire wire(sim.serialPath());
    QVERIFY(wire.boot("DLoader.H86", "Download.H86"));
    wire.write(QByteArray::fromHex("00"));
    QCOMPARE(wire.read(1), Ack);
    wire.write(QByteArray::fromHex("0B"));
    QCOMPARE(wire.read(2), QByteArray::fromHex("AA0B"));

    // The example frame: two bytes at 010000h in sector 4, checksum 25h.
    QCOMPARE(SimWire::flashFrame(4, 0x10000, QByteArray::fromHex("1234")),
             QByteArray::fromHex("060400000112342"
                                 "5"));
    wire.write(SimWire::flashFrame(4, 0x10000, QByteArray::fromHex("1234")));
    QCOMPARE(wire.read(1), BlockOk);

    // A bad checksum is refused with A5 and the block can be sent again whole.
    QByteArray bad = SimWire::flashFrame(0, 0x3FF0, QByteArray(16, char(0x11)));
    bad[bad.size() - 1] = char(bad.back() ^ 0x01);
    wire.write(bad);
    QCOMPARE(wire.read(1), QByteArray::fromHex("A5"));
    wire.write(SimWire::flashFrame(0, 0x3FF0, QByteArray(16, char(0x11))));
    QCOMPARE(wire.read(1), BlockOk);

    // A full 32-byte block in a small sector, written in two pieces.
    const QByteArray full = SimWire::flashFrame(1, 0x4000, QByteArray(32, char(0x5C)));
    wire.write(full.left(10));
    QVERIFY(wire.read(1, 100).isEmpty());
    wire.write(full.mid(10));
    QCOMPARE(wire.read(1), BlockOk);

    // Programming clears bits only: writing 0xF0F0 over 0x1234 reads back 0x1030.
    wire.write(SimWire::flashFrame(4, 0x10000, QByteArray::fromHex("F0F0")));
    QCOMPARE(wire.read(1), QByteArray::fromHex("5A"));
    wire.close();
    QVERIFY(sim.waitForFinished());
    const QByteArray flash = sim.flash();
    QCOMPARE(flash.mid(0x10000, 2), QByteArray::fromHex("1030"));
    QCOMPARE(flash.mid(0x3FF0, 16), QByteArray(16, char(0x11)));
    QCOMPARE(flash.mid(0x4000, 32), QByteArray(32, char(0x5C)));
    QCOMPARE(sim.summaryValue("refused"), QStringLiteral("1 bad checksums, 1 compare errors"));
}

void TestSimDownload::retainValues()
{
    SimDevice sim;
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SimWire wire(sim.serialPath());
    QVERIFY(wire.boot("DLoaderNV.H86", "DownloadNV.H86"));
    QByteArray values;
    for (int i = 0; i < 4096; ++i)
        values.append(char((i * 7) ^ (i >> 8)));
    for (int at = 0; at < 4096; at += 16) {
        wire.write(SimWire::retainFrame(values.mid(at, 16)));
        QCOMPARE(wire.read(1), BlockOk);
    }
    // No room for more.
    wire.write(SimWire::retainFrame(QByteArray(16, 'x')));
    QCOMPARE(wire.read(1), QByteArray::fromHex("5A"));
    wire.close();
    QVERIFY(sim.waitForFinished());
    QCOMPARE(sim.nvRam(), values);
    QCOMPARE(sim.flash(), QByteArray(0x100000, char(0xFF)));
}

void TestSimDownload::combined4610Image()
{
    SimDeviceOptions options;
    options.device = "4610";
    options.eraseMs = 20;
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    SimWire wire(sim.serialPath());
    QVERIFY(wire.boot("DLoaderIF.H86", "DownloadIF.H86"));
    // No sector range on the board: the erase answer 00 follows by itself.
    QCOMPARE(wire.read(1), QByteArray::fromHex("00"));
    wire.write(SimWire::flashFrame(7, 0x4FFE0, QByteArray(32, char(0x42))));
    QCOMPARE(wire.read(1), BlockOk);
    // The board's flash ends at 0x50000.
    wire.write(SimWire::flashFrame(8, 0x50000, QByteArray(2, char(0x42))));
    QCOMPARE(wire.read(1), QByteArray::fromHex("5A"));
    wire.close();
    QVERIFY(sim.waitForFinished());

    SimDeviceOptions again = options;
    again.initialMemory = sim.memory();
    SimDevice second(again);
    QVERIFY2(second.isReady(), qPrintable(second.errorString()));
    SimWire wire2(second.serialPath());
    QVERIFY(wire2.boot("DLoaderIF.H86", "DownloadIF.H86"));
    QCOMPARE(wire2.read(1), QByteArray::fromHex("00"));
    wire2.write(SimWire::flashFrame(0, 0x0000, QByteArray::fromHex("0102")));
    QCOMPARE(wire2.read(1), BlockOk);
    wire2.write(QByteArray::fromHex("F0"));
    QCOMPARE(wire2.read(1), BlockOk);
    QByteArray parameters;
    for (int i = 0; i < 2304; ++i)
        parameters.append(char(i % 251));
    for (int at = 0; at < 2304; at += 16) {
        wire2.write(SimWire::retainFrame(parameters.mid(at, 16)));
        QCOMPARE(wire2.read(1), BlockOk);
    }
    wire2.write(QByteArray::fromHex("FF"));
    QCOMPARE(wire2.read(1), Ack);
    wire2.close();
    QVERIFY(second.waitForFinished());
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(second.summaryValue("result"), QStringLiteral("download complete"));
    QCOMPARE(second.nvParameters(), parameters);
    // The erase wiped what the first run programmed.
    QCOMPARE(second.flash().mid(0x4FFE0, 32), QByteArray(32, char(0xFF)));
    QCOMPARE(second.flash().left(2), QByteArray::fromHex("0102"));
    QCOMPARE(second.memory().size(), 0x50000 + 2304 + 0x7000);
}

void TestSimDownload::persistentRunResetsBetweenSessions()
{
    SimDeviceOptions options;
    options.oneShot = false;
    SimDevice sim(options);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    for (char fill : {'a', 'b'}) {
        SimWire wire(sim.serialPath());
        QVERIFY(wire.boot("DLoaderNV.H86", "DownloadNV.H86"));
        wire.write(SimWire::retainFrame(QByteArray(16, fill)));
        QCOMPARE(wire.read(1), BlockOk);
        wire.write(QByteArray::fromHex("FF"));
        QCOMPARE(wire.read(1), Ack);
        wire.close();
        // Closing the port ends the session; the next one starts in bootstrap mode. Give
        // the device a moment to see the close before the port opens again.
        QTest::qWait(200);
        QVERIFY(sim.isRunning());
    }
    sim.stop();
    QCOMPARE(sim.exitCode(), 0);
    QCOMPARE(sim.nvRam().left(17), QByteArray(16, 'b') + QByteArray(1, '\0'));
    QCOMPARE(sim.summaryValue("programmed"),
             QStringLiteral("0 flash bytes, 32 retain bytes in 2 blocks"));
}

QTEST_GUILESS_MAIN(TestSimDownload)
#include "tst_simdownload.moc"
