#include "upload/CompareData.h"

#include <QTest>

namespace {

QByteArray pattern(qint32 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint32 i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + (i >> 8)) & 0xFF);
    return bytes;
}

// A 4610 image whose block at 0x6000 is empty (relocated to 0xC000).
QByteArray relocatedImage()
{
    QByteArray image = pattern(0x50900);
    for (qint32 i = 0x6000; i < 0x6D00; ++i)
        image[i] = char(0xFF);
    return image;
}

// What the device holds for a relocated image.
QByteArray relocatedDevice(const QByteArray &image)
{
    QByteArray device = image;
    for (qint32 i = 0x6000; i < 0x6D00; ++i)
        device[i] = image[i + 0x6000];
    for (qint32 i = 0xC000; i < 0xCD00; ++i)
        device[i] = char(0xFF);
    return device;
}

} // namespace

class TestCompareData : public QObject
{
    Q_OBJECT

private slots:
    void differences_data();
    void differences();
    void relocationRule();
    void relocationMarkMissing();
    void shortBuffers_data();
    void shortBuffers();
    void progressEvery256Bytes();
};

void TestCompareData::differences_data()
{
    QTest::addColumn<qint32>("start");
    QTest::addColumn<qint32>("end");
    QTest::addColumn<qint32>("diffAt"); // -1: none
    QTest::addColumn<QString>("text");

    QTest::newRow("whole flash equal")
        << 0 << 0x100000 << -1
        << "1048576 bytes have been compared.\r\n\r\nData compare successful!";
    QTest::newRow("first byte") << 0xC0000 << 0xE0000 << 0xC0000
                                << "1 bytes have been compared.\r\n\r\n"
                                   "Different value at address 0C0000h found!";
    QTest::newRow("last byte") << 0xC0000 << 0xE0000 << 0xDFFFF
                               << "131072 bytes have been compared.\r\n\r\n"
                                  "Different value at address 0DFFFFh found!";
    QTest::newRow("middle of a run") << 0 << 0x80000 << 0x12345
                                     << "74566 bytes have been compared.\r\n\r\n"
                                        "Different value at address 012345h found!";
    // Outside the region (filling, trailer) nothing is looked at.
    QTest::newRow("difference outside the region")
        << 0xC0000 << 0xE0000 << 0xE0000
        << "131072 bytes have been compared.\r\n\r\nData compare successful!";
    QTest::newRow("retain range") << 0 << 4096 << -1
                                  << "4096 bytes have been compared.\r\n\r\n"
                                     "Data compare successful!";
}

void TestCompareData::differences()
{
    QFETCH(qint32, start);
    QFETCH(qint32, end);
    QFETCH(qint32, diffAt);
    QFETCH(QString, text);

    QByteArray image = pattern(0x100008);
    QByteArray device = image.left(0x100000);
    if (diffAt >= 0 && diffAt < device.size())
        device[diffAt] = char(~device[diffAt]);

    const CompareResult r = CompareData(image, device, start, end, false);
    QCOMPARE(r.resultText, text);
    QCOMPARE(r.equal(), diffAt < 0 || diffAt >= end);
    QCOMPARE(r.memoLine,
             r.equal() ? QStringLiteral("Data compare complete!")
                       : QStringLiteral("Data compare aborted!"));
    if (!r.equal())
        QCOMPARE(r.address, diffAt);
}

void TestCompareData::relocationRule()
{
    const QByteArray image = relocatedImage();
    QByteArray device = relocatedDevice(image);
    QVERIFY(imageIsRelocated(image));
    QVERIFY(CompareData(image, device, 0, 329732, true).equal());

    // The device byte at 0x6010 is checked against the image byte at 0xC010.
    device[0x6010] = char(~device[0x6010]);
    CompareResult r = CompareData(image, device, 0, 329732, true);
    QCOMPARE(r.outcome, CompareResult::Outcome::Different);
    QCOMPARE(r.address, 0x6010);

    // The device must hold 0xFF at 0xC000..0xCCFF whatever the image holds there.
    device = relocatedDevice(image);
    device[0xC010] = 0x00;
    r = CompareData(image, device, 0, 329732, true);
    QCOMPARE(r.address, 0xC010);
    QCOMPARE(r.compared, 0xC011);

    // A plain copy of the image is then a difference at 0x6000.
    r = CompareData(image, image, 0, 329732, true);
    QCOMPARE(r.address, 0x6000);
    // Without the rule (retain values, 46xx) the image is compared as it is.
    QVERIFY(CompareData(image, image, 0, 329732, false).equal());
}

void TestCompareData::relocationMarkMissing()
{
    QByteArray image = relocatedImage();
    image[0x6003] = 0x00;
    QVERIFY(!imageIsRelocated(image));
    QVERIFY(CompareData(image, image, 0, 329732, true).equal());
    QVERIFY(!CompareData(image, relocatedDevice(image), 0, 329732, true).equal());
    QVERIFY(!imageIsRelocated(QByteArray(0x6003, char(0xFF))));
}

void TestCompareData::shortBuffers_data()
{
    QTest::addColumn<qint32>("imageSize");
    QTest::addColumn<qint32>("dataSize");
    QTest::addColumn<bool>("relocated");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<qint32>("compared");
    QTest::addColumn<QString>("text");

    // A 4610 image from an H86 file holds 0x50000 bytes; the range runs to 329732.
    QTest::newRow("image from H86 shorter than the range")
        << 0x50000 << 329984 << false << int(CompareResult::Outcome::ImageEnded) << 0x50000
        << "327680 bytes have been compared.\r\n\r\nImage ends at address 050000h!\r\n"
           "Data from 050000h to 050803h have not been compared!";
    QTest::newRow("relocated image from H86")
        << 0x50000 << 329984 << true << int(CompareResult::Outcome::ImageEnded) << 0x50000
        << "327680 bytes have been compared.\r\n\r\nImage ends at address 050000h!\r\n"
           "Data from 050000h to 050803h have not been compared!";
    QTest::newRow("image ends inside the relocated block")
        << 0xC800 << 329984 << true << int(CompareResult::Outcome::ImageEnded) << 0x6800
        << "26624 bytes have been compared.\r\n\r\nImage ends at address 00C800h!\r\n"
           "Data from 006800h to 050803h have not been compared!";
    QTest::newRow("data read shorter than the range")
        << 0x50900 << 0x50000 << false << int(CompareResult::Outcome::DataEnded) << 0x50000
        << "327680 bytes have been compared.\r\n\r\nData read end at address 050000h!\r\n"
           "Data from 050000h to 050803h have not been compared!";
    QTest::newRow("empty image") << 0 << 329984 << false << int(CompareResult::Outcome::ImageEnded)
                                 << 0
                                 << "0 bytes have been compared.\r\n\r\n"
                                    "Image ends at address 000000h!\r\n"
                                    "Data from 000000h to 050803h have not been compared!";
}

void TestCompareData::shortBuffers()
{
    QFETCH(qint32, imageSize);
    QFETCH(qint32, dataSize);
    QFETCH(bool, relocated);
    QFETCH(int, outcome);
    QFETCH(qint32, compared);
    QFETCH(QString, text);

    QByteArray full = relocated ? relocatedImage() : pattern(0x50900);
    QByteArray device = relocated ? relocatedDevice(full) : full;
    // Exact sizes, so the sanitizers catch any read past the end.
    const QByteArray image = full.left(imageSize);
    device = device.left(dataSize);
    const CompareResult r = CompareData(image, device, 0, 329732, true);
    QCOMPARE(int(r.outcome), outcome);
    QVERIFY(!r.equal());
    QCOMPARE(r.compared, compared);
    QCOMPARE(r.memoLine, QStringLiteral("Data compare aborted!"));
    QCOMPARE(r.resultText, text);
}

void TestCompareData::progressEvery256Bytes()
{
    const QByteArray image = pattern(0x2000);
    QList<qint32> seen;
    const CompareResult r
        = CompareData(image, image, 0x100, 0x1080, false, [&](qint32 p) { seen << p; });
    QVERIFY(r.equal());
    QCOMPARE(r.compared, 0xF80);
    QCOMPARE(seen.first(), 0x100);
    QCOMPARE(seen.last(), 0x1080);
    for (qint32 i = 1; i + 1 < seen.size(); ++i) {
        QCOMPARE(seen[i] % 256, 0);
        QVERIFY(seen[i] > seen[i - 1]);
    }
    QCOMPARE(seen.size(), 2 + 15); // start, 0x200..0x1000, end
}

QTEST_GUILESS_MAIN(TestCompareData)
#include "tst_comparedata.moc"
