#include "upload/UploadBlock.h"
#include "upload/UploadChoice.h"
#include "upload/UploadRegion.h"

#include <QTest>

class TestUploadTables : public QObject
{
    Q_OBJECT

private slots:
    void choices_data();
    void choices();
    void boardOffersOnlyTheImage();
    void settingsOfferChoices();
    void retainAndBoardRegions();
    void checkByte_data();
    void checkByte();
    void blockCollection();
};

void TestUploadTables::choices_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("setting");
    QTest::addColumn<qint32>("first");
    QTest::addColumn<qint32>("end");
    QTest::addColumn<QByteArray>("sectorBytes");
    QTest::addColumn<QByteArray>("canRequest");
    QTest::addColumn<qint32>("regionStart");
    QTest::addColumn<qint32>("regionEnd");
    QTest::addColumn<bool>("trailer");

    QTest::newRow("flash") << "flash"
                           << "FLASH memory completely (without NV RAM)"
                           << "" << 0 << 0 << QByteArray::fromHex("0000")
                           << QByteArray::fromHex("0013") << 0 << 0x100000 << false;
    QTest::newRow("os") << "os"
                        << "Operating system"
                        << "UploadOpt1" << 0 << 11 << QByteArray::fromHex("000b")
                        << QByteArray::fromHex("000b") << 0 << 0x80000 << true;
    QTest::newRow("parameters") << "parameters"
                                << "Curve and system parameters"
                                << "UploadOpt2" << 17 << 19 << QByteArray::fromHex("1113")
                                << QByteArray::fromHex("1113") << 0xE0000 << 0x100000 << true;
    QTest::newRow("plc") << "plc"
                         << "CoDeSys PLC project completely"
                         << "UploadOpt3" << 11 << 17 << QByteArray::fromHex("0b11")
                         << QByteArray::fromHex("0b11") << 0x80000 << 0xE0000 << true;
    QTest::newRow("plc-code") << "plc-code"
                              << "CoDeSys PLC program code"
                              << "UploadOpt4" << 11 << 15 << QByteArray::fromHex("0b0f")
                              << QByteArray::fromHex("0b0f") << 0x80000 << 0xC0000 << true;
    QTest::newRow("plc-data") << "plc-data"
                              << "CoDeSys PLC data"
                              << "UploadOpt5" << 15 << 17 << QByteArray::fromHex("0f11")
                              << QByteArray::fromHex("0f11") << 0xC0000 << 0xE0000 << true;
    QTest::newRow("retain") << "retain"
                            << "Retain values (NV RAM)"
                            << "UploadOpt6" << 0 << 0 << QByteArray() << QByteArray::fromHex("55")
                            << 0 << 4096 << false;
}

void TestUploadTables::choices()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(QString, setting);
    QFETCH(qint32, first);
    QFETCH(qint32, end);
    QFETCH(QByteArray, sectorBytes);
    QFETCH(QByteArray, canRequest);
    QFETCH(qint32, regionStart);
    QFETCH(qint32, regionEnd);
    QFETCH(bool, trailer);

    const auto choice = UploadChoices::fromName(name);
    QVERIFY(choice);
    QCOMPARE(UploadChoices::name(*choice), name);
    QCOMPARE(UploadChoices::settingName(*choice), setting);
    const UploadRequest req = UploadChoices::request(*choice, DeviceKind::Device46xx);
    QCOMPARE(req.UploadChoiceText, text);
    QCOMPARE(req.FirstSector, first);
    QCOMPARE(req.EndSector, end);
    QCOMPARE(req.RetainData, name == QLatin1String("retain"));
    if (!req.RetainData)
        QCOMPARE(UploadWire::serialSectorBytes(first, end), sectorBytes);
    QCOMPARE(UploadWire::canFirstCommand(req.RetainData, first, end), canRequest);
    const UploadRegion region
        = UploadRegion::of(DeviceKind::Device46xx, req.RetainData, first, end);
    QCOMPARE(region.start, regionStart);
    QCOMPARE(region.end, regionEnd);
    QCOMPARE(UploadWire::appendsTrailer(DeviceKind::Device46xx, req.RetainData, first, end),
             trailer);
    QCOMPARE(UploadWire::prefilledBuffer(DeviceKind::Device46xx, req.RetainData), !req.RetainData);
}

void TestUploadTables::boardOffersOnlyTheImage()
{
    TSettings all;
    all.UploadOpt1 = all.UploadOpt2 = all.UploadOpt3 = true;
    all.UploadOpt4 = all.UploadOpt5 = all.UploadOpt6 = true;
    QVERIFY(UploadChoices::offered(UploadChoice::Flash, DeviceKind::Board4610, all));
    for (const QString &n : UploadChoices::names()) {
        const UploadChoice c = *UploadChoices::fromName(n);
        QCOMPARE(UploadChoices::offered(c, DeviceKind::Board4610, all), c == UploadChoice::Flash);
        QVERIFY(UploadChoices::offered(c, DeviceKind::Device46xx, all));
    }
    const UploadRequest req = UploadChoices::request(UploadChoice::Flash, DeviceKind::Board4610);
    QCOMPARE(req.UploadChoiceText, QStringLiteral("VMC 4610 Firmware image with NV parameter"));
    QCOMPARE(req.FirstSector, 0);
    QCOMPARE(req.EndSector, 8);
    QVERIFY(!UploadChoices::fromName(QStringLiteral("OS")));
    QVERIFY(!UploadChoices::fromName(QString()));
}

void TestUploadTables::settingsOfferChoices()
{
    TSettings none;
    for (const QString &n : UploadChoices::names()) {
        const UploadChoice c = *UploadChoices::fromName(n);
        QCOMPARE(UploadChoices::offered(c, DeviceKind::Device46xx, none), c == UploadChoice::Flash);
    }
    TSettings one;
    one.UploadOpt5 = true;
    QVERIFY(UploadChoices::offered(UploadChoice::PlcData, DeviceKind::Device46xx, one));
    QVERIFY(!UploadChoices::offered(UploadChoice::PlcCode, DeviceKind::Device46xx, one));
}

void TestUploadTables::retainAndBoardRegions()
{
    UploadRegion r = UploadRegion::of(DeviceKind::Board4610, true, 0, 0);
    QCOMPARE(r.start, 0);
    QCOMPARE(r.end, 0x7000);
    r = UploadRegion::of(DeviceKind::Board4610, false, 0, 8);
    QCOMPARE(r.start, 0);
    QCOMPARE(r.end, 329732);
    QVERIFY(!UploadWire::prefilledBuffer(DeviceKind::Board4610, false));
    QVERIFY(!UploadWire::appendsTrailer(DeviceKind::Board4610, false, 0, 8));
}

void TestUploadTables::checkByte_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("check");
    QTest::newRow("erased") << QByteArray(256, char(0xFF)) << 0xAA;
    QByteArray one(256, 0);
    one[0] = 1;
    QTest::newRow("zeros and a one") << one << 0xAB;
    QTest::newRow("zeros") << QByteArray(256, 0) << 0xAA;
}

void TestUploadTables::checkByte()
{
    QFETCH(QByteArray, data);
    QFETCH(int, check);
    QCOMPARE(int(UploadBlock::checkByteFor(data)), check);

    UploadBlock block;
    QCOMPARE(block.append(data + char(check)), 257);
    QVERIFY(block.complete());
    QVERIFY(block.isGood());
    QCOMPARE(block.data(), QByteArrayView(data));

    block.reset();
    QCOMPARE(block.append(data + char(check ^ 0x01)), 257);
    QVERIFY(!block.isGood());
}

void TestUploadTables::blockCollection()
{
    QByteArray frame(256, 0x11);
    frame.append(char(UploadBlock::checkByteFor(frame)));
    UploadBlock block;
    QCOMPARE(block.append(QByteArrayView(frame).first(100)), 100);
    QVERIFY(!block.complete());
    QCOMPARE(block.room(), 157);
    // More than the block has room for: the surplus is not taken.
    QCOMPARE(block.append(frame.mid(100) + QByteArray("xyz")), 157);
    QVERIFY(block.complete());
    QVERIFY(block.isGood());
    QCOMPARE(block.append("more"), 0);
}

QTEST_GUILESS_MAIN(TestUploadTables)
#include "tst_uploadtables.moc"
