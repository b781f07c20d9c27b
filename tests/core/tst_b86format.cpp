#include "core/B86Format.h"

#include <QTest>

using B86Format::Kind;
using B86Format::Trailer;

class tst_B86Format : public QObject
{
    Q_OBJECT

private slots:
    void kindOfLength_data();
    void kindOfLength();
    void trailerValidity_data();
    void trailerValidity();
    void trailerLayout();
    void shortBufferHasNoTrailer();
};

void tst_B86Format::kindOfLength_data()
{
    QTest::addColumn<qint64>("length");
    QTest::addColumn<Kind>("kind");

    QTest::newRow("4096") << qint64(4096) << Kind::Retain46xx;
    QTest::newRow("0x7000") << qint64(0x7000) << Kind::Retain4610;
    QTest::newRow("329984") << qint64(329984) << Kind::Firmware4610WithNv;
    QTest::newRow("0x100000") << qint64(0x100000) << Kind::Flash46xx;
    QTest::newRow("0x100008") << qint64(0x100008) << Kind::FlashWithTrailer;
    QTest::newRow("0") << qint64(0) << Kind::Invalid;
    QTest::newRow("4095") << qint64(4095) << Kind::Invalid;
    QTest::newRow("0x50000 (4610 H86 saved as B86)") << qint64(0x50000) << Kind::Invalid;
    QTest::newRow("0x100004") << qint64(0x100004) << Kind::Invalid;
    QTest::newRow("0x100009") << qint64(0x100009) << Kind::Invalid;
    QTest::newRow("4 GiB + 4096") << (qint64(1) << 32) + 4096 << Kind::Invalid;
}

void tst_B86Format::kindOfLength()
{
    QFETCH(qint64, length);
    QFETCH(Kind, kind);
    QCOMPARE(B86Format::kindOfLength(length), kind);
}

void tst_B86Format::trailerValidity_data()
{
    QTest::addColumn<qint32>("first");
    QTest::addColumn<qint32>("end");
    QTest::addColumn<bool>("valid");

    // Every region the program itself produces.
    QTest::newRow("OS") << 0 << 11 << true;
    QTest::newRow("whole flash") << 0 << 0 << true;
    QTest::newRow("CoDeSys complete") << 11 << 17 << true;
    QTest::newRow("CoDeSys code") << 11 << 15 << true;
    QTest::newRow("CoDeSys data") << 15 << 17 << true;
    QTest::newRow("curves") << 17 << 19 << true;
    QTest::newRow("from 17 to the end") << 17 << 0 << true;
    QTest::newRow("end 19") << 0 << 19 << true;
    // Nonsense ranges.
    QTest::newRow("empty range") << 11 << 11 << false;
    QTest::newRow("reversed") << 17 << 11 << false;
    QTest::newRow("first 20") << 20 << 0 << false;
    QTest::newRow("end 20") << 0 << 20 << false;
    QTest::newRow("negative first") << -1 << 11 << false;
    QTest::newRow("negative end") << 0 << -1 << false;
    QTest::newRow("0xFFFFFFFF both") << -1 << -1 << false;
}

void tst_B86Format::trailerValidity()
{
    QFETCH(qint32, first);
    QFETCH(qint32, end);
    QFETCH(bool, valid);
    QCOMPARE((Trailer {first, end}.isValid()), valid);
}

void tst_B86Format::trailerLayout()
{
    QByteArray buffer(0x100000, char(0xFF));
    B86Format::appendTrailer(buffer, {11, 17});
    QCOMPARE(buffer.size(), 0x100008);
    QCOMPARE(buffer.right(8), QByteArray::fromHex("0b00000011000000"));

    // A buffer already carrying a trailer gets it replaced, not a second one.
    B86Format::appendTrailer(buffer, {0, 11});
    QCOMPARE(buffer.size(), 0x100008);
    QCOMPARE(buffer.right(8), QByteArray::fromHex("000000000b000000"));

    buffer.replace(0x100000, 8, QByteArray::fromHex("feffffff14000000"));
    Trailer trailer;
    QVERIFY(B86Format::readTrailer(buffer, &trailer));
    QCOMPARE(trailer.firstSector, -2);
    QCOMPARE(trailer.endSector, 20);
}

void tst_B86Format::shortBufferHasNoTrailer()
{
    Trailer trailer {3, 4};
    QVERIFY(!B86Format::readTrailer(QByteArray(0x100007, 'x'), &trailer));
    QCOMPARE(trailer.firstSector, 3);
    QByteArray small(16, 'x');
    B86Format::appendTrailer(small, {0, 11});
    QCOMPARE(small.size(), 0x100008);
    QCOMPARE(small.at(16), char(0xFF));
    QCOMPARE(small.left(16), QByteArray(16, 'x'));
}

QTEST_GUILESS_MAIN(tst_B86Format)
#include "tst_b86format.moc"
