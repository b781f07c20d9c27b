#include "core/SectorMap.h"

#include <QTest>

class tst_SectorMap : public QObject
{
    Q_OBJECT

private slots:
    void sectorStart_data();
    void sectorStart();
    void lastSectorBelow_data();
    void lastSectorBelow();
    void sectorOfAddress_data();
    void sectorOfAddress();
    void sectorsTileTheFlash();
    void hexDigitValue_data();
    void hexDigitValue();
};

void tst_SectorMap::sectorStart_data()
{
    QTest::addColumn<qint32>("sector");
    QTest::addColumn<qint32>("start");
    QTest::addColumn<qint32>("endAddress");

    QTest::newRow("0") << 0 << 0 << 0x100000;
    QTest::newRow("1") << 1 << 0x4000 << 0x4000;
    QTest::newRow("2") << 2 << 0x6000 << 0x6000;
    QTest::newRow("3") << 3 << 0x8000 << 0x8000;
    QTest::newRow("4") << 4 << 0x10000 << 0x10000;
    QTest::newRow("5") << 5 << 0x20000 << 0x20000;
    QTest::newRow("8 (4610 end)") << 8 << 0x50000 << 0x50000;
    QTest::newRow("11 (OS end)") << 11 << 0x80000 << 0x80000;
    QTest::newRow("17") << 17 << 0xE0000 << 0xE0000;
    QTest::newRow("18") << 18 << 0xF0000 << 0xF0000;
    QTest::newRow("19") << 19 << 0x100000 << 0x100000;
    QTest::newRow("20") << 20 << 0 << 0;
    QTest::newRow("-1") << -1 << 0 << 0;
    QTest::newRow("huge") << 0x7FFFFFFF << 0 << 0;
    QTest::newRow("most negative") << qint32(0x80000000) << 0 << 0;
}

void tst_SectorMap::sectorStart()
{
    QFETCH(qint32, sector);
    QFETCH(qint32, start);
    QFETCH(qint32, endAddress);
    QCOMPARE(SectorStart(sector), start);
    QCOMPARE(EndSectorAddress(sector), endAddress);
}

void tst_SectorMap::lastSectorBelow_data()
{
    QTest::addColumn<qint32>("end");
    QTest::addColumn<qint32>("sector");

    QTest::newRow("negative") << -5 << 0;
    QTest::newRow("0") << 0 << 0;
    QTest::newRow("0x4000") << 0x4000 << 0;
    QTest::newRow("0x4001") << 0x4001 << 1;
    QTest::newRow("0x6000") << 0x6000 << 1;
    QTest::newRow("0x8000") << 0x8000 << 2;
    QTest::newRow("0x10000") << 0x10000 << 3;
    QTest::newRow("0x10001") << 0x10001 << 4;
    QTest::newRow("0x12345") << 0x12345 << 4;
    QTest::newRow("0x20000") << 0x20000 << 4;
    QTest::newRow("0x50000") << 0x50000 << 7;
    QTest::newRow("0x80000") << 0x80000 << 10;
    QTest::newRow("0xF0000") << 0xF0000 << 17;
    QTest::newRow("0xF0001") << 0xF0001 << 18;
    QTest::newRow("0x100000") << 0x100000 << 18;
    QTest::newRow("beyond") << 0x7FFFFFFF << 18;
}

void tst_SectorMap::lastSectorBelow()
{
    QFETCH(qint32, end);
    QFETCH(qint32, sector);
    QCOMPARE(LastSectorBelow(end), sector);
}

void tst_SectorMap::sectorOfAddress_data()
{
    QTest::addColumn<qint32>("address");
    QTest::addColumn<qint32>("sector");

    QTest::newRow("negative") << -1 << 0;
    QTest::newRow("0") << 0 << 0;
    QTest::newRow("0x3FFF") << 0x3FFF << 0;
    QTest::newRow("0x4000") << 0x4000 << 1;
    QTest::newRow("0x5FFF") << 0x5FFF << 1;
    QTest::newRow("0x6000") << 0x6000 << 2;
    QTest::newRow("0x8000") << 0x8000 << 3;
    QTest::newRow("0xFFFF") << 0xFFFF << 3;
    QTest::newRow("0x10000") << 0x10000 << 4;
    QTest::newRow("0x7FFFF") << 0x7FFFF << 10;
    QTest::newRow("0x80000") << 0x80000 << 11;
    QTest::newRow("0xEFFFF") << 0xEFFFF << 17;
    QTest::newRow("0xF0000") << 0xF0000 << 18;
    QTest::newRow("0xFFFFF") << 0xFFFFF << 18;
    QTest::newRow("0x100000") << 0x100000 << 18;
}

void tst_SectorMap::sectorOfAddress()
{
    QFETCH(qint32, address);
    QFETCH(qint32, sector);
    QCOMPARE(SectorOfAddress(address), sector);
}

// The helpers must agree with each other: every address lies in the sector whose start is at
// or below it, and an image ending right after that address reaches the same sector.
void tst_SectorMap::sectorsTileTheFlash()
{
    for (qint32 address = 0; address < FlashSize46xx; address += 0x800) {
        const qint32 sector = SectorOfAddress(address);
        QVERIFY2(SectorStart(sector) <= address, qPrintable(QString::number(address, 16)));
        QVERIFY(address < EndSectorAddress(sector + 1));
        QCOMPARE(LastSectorBelow(address + 1), sector);
    }
}

void tst_SectorMap::hexDigitValue_data()
{
    QTest::addColumn<char>("ch");
    QTest::addColumn<int>("value");

    QTest::newRow("0") << '0' << 0;
    QTest::newRow("9") << '9' << 9;
    QTest::newRow("A") << 'A' << 10;
    QTest::newRow("F") << 'F' << 15;
    QTest::newRow("a") << 'a' << 10;
    QTest::newRow("f") << 'f' << 15;
    QTest::newRow("G") << 'G' << 0;
    QTest::newRow("g") << 'g' << 0;
    QTest::newRow("space") << ' ' << 0;
    QTest::newRow("colon") << ':' << 0;
    QTest::newRow("at") << '@' << 0;
    QTest::newRow("high byte") << char(0xC6) << 0;
}

void tst_SectorMap::hexDigitValue()
{
    QFETCH(char, ch);
    QFETCH(int, value);
    QCOMPARE(HexDigitValue(ch), value);
    QCOMPARE(HexDigitValue(QChar::fromLatin1(ch)), value);
}

QTEST_GUILESS_MAIN(tst_SectorMap)
#include "tst_sectormap.moc"
