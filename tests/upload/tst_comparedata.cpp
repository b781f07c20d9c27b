#include "core/SectorMap.h"
#include "upload/CompareData.h"

#include <QJsonArray>

#include <QRandomGenerator>
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

// "start-end/bytes@sector" per range, hexadecimal addresses, as a table row writes them.
QString rangesText(const QList<CompareRange> &ranges)
{
    QStringList parts;
    for (const CompareRange &r : ranges)
        parts << QStringLiteral("%1-%2/%3@%4")
                     .arg(r.start, 0, 16)
                     .arg(r.end, 0, 16)
                     .arg(r.bytes)
                     .arg(r.sector);
    return parts.join(u' ');
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
    void ranges_data();
    void ranges();
    void rangesMatchAByteByByteScan();
    void rangesOfARelocatedImage();
    void recordKeepsTheFirstThousandRanges();
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

void TestCompareData::ranges_data()
{
    QTest::addColumn<qint32>("start");
    QTest::addColumn<qint32>("end");
    QTest::addColumn<bool>("retain");
    QTest::addColumn<QList<qint32>>("differing"); // addresses whose device byte is changed
    QTest::addColumn<QString>("ranges");

    QTest::newRow("no difference") << 0 << 0x100000 << false << QList<qint32> {} << "";
    QTest::newRow("one byte") << 0 << 0x100000 << false << QList<qint32> {0xE8001}
                              << "e8001-e8001/1@17";
    QTest::newRow("first and last byte")
        << 0xC0000 << 0xE0000 << false << QList<qint32> {0xC0000, 0xDFFFF}
        << "c0000-c0000/1@15 dffff-dffff/1@16";
    // Outside the compared range nothing counts.
    QTest::newRow("around the range")
        << 0xC0000 << 0xE0000 << false << QList<qint32> {0xBFFFF, 0xC0005, 0xE0000}
        << "c0005-c0005/1@15";
    // 15 equal bytes between two differing ones merge them, 16 do not.
    QTest::newRow("gap of 15 merges")
        << 0 << 0x1000 << false << QList<qint32> {0x100, 0x110} << "100-110/2@0";
    QTest::newRow("gap of 16 splits")
        << 0 << 0x1000 << false << QList<qint32> {0x100, 0x111} << "100-100/1@0 111-111/1@0";
    QTest::newRow("chain of short gaps")
        << 0 << 0x1000 << false << QList<qint32> {0x200, 0x210, 0x220, 0x221, 0x231}
        << "200-231/5@0";
    QTest::newRow("across a sector boundary")
        << 0 << 0x10000 << false << QList<qint32> {0x3FFE, 0x3FFF, 0x4000, 0x4001}
        << "3ffe-3fff/2@0 4000-4001/2@1";
    QTest::newRow("across the boundary of the two 8 KiB sectors")
        << 0 << 0x10000 << false << QList<qint32> {0x5FFF, 0x6000} << "5fff-5fff/1@1 6000-6000/1@2";
    QTest::newRow("across a 256-byte run")
        << 0 << 0x1000 << false << QList<qint32> {0x2FF, 0x300} << "2ff-300/2@0";
    QTest::newRow("retain values have no sector")
        << 0 << 4096 << true << QList<qint32> {0, 0xFFF} << "0-0/1@-1 fff-fff/1@-1";
}

void TestCompareData::ranges()
{
    QFETCH(qint32, start);
    QFETCH(qint32, end);
    QFETCH(bool, retain);
    QFETCH(QList<qint32>, differing);
    QFETCH(QString, ranges);

    const QByteArray image = pattern(0x100000);
    QByteArray device = image;
    for (qint32 address : differing)
        device[address] = char(~device[address]);

    CompareResult r = CompareData(image, device, start, end, false);
    r.setSectors(DeviceKind::Device46xx, retain);
    QCOMPARE(rangesText(r.ranges), ranges);
    qint64 bytes = 0;
    for (const CompareRange &range : std::as_const(r.ranges))
        bytes += range.bytes;
    QCOMPARE(r.bytesDiffering, bytes);
    // The report still names the first difference only.
    QCOMPARE(r.equal(), r.ranges.isEmpty());
    if (!r.ranges.isEmpty()) {
        QCOMPARE(r.address, r.ranges.first().start);
        QCOMPARE(r.compared, r.address + 1 - start);
    }
}

void TestCompareData::rangesMatchAByteByByteScan()
{
    // Scattered differences, some in runs, against the rule applied byte by byte.
    const QByteArray image = pattern(0x20000);
    QByteArray device = image;
    QRandomGenerator rng(21);
    for (int i = 0; i < 3000; ++i) {
        const qint32 at = rng.bounded(0x20000 - 8);
        for (qint32 k = 0, n = rng.bounded(1, 9); k < n; ++k)
            device[at + k] = char(device[at + k] ^ (1 << rng.bounded(8)));
    }
    QList<CompareRange> expected;
    for (qint32 q = 3; q < 0x1FFFD; ++q) {
        if (image[q] == device[q])
            continue;
        if (!expected.isEmpty() && q - expected.last().end <= CompareResult::MergeGap
            && SectorOfAddress(q) == SectorOfAddress(expected.last().start)) {
            expected.last().end = q;
            ++expected.last().bytes;
        } else {
            expected.append({q, q, 1, -1});
        }
    }
    const CompareResult r = CompareData(image, device, 3, 0x1FFFD, false);
    QCOMPARE(r.ranges.size(), expected.size());
    QCOMPARE(r.ranges, expected);
}

void TestCompareData::rangesOfARelocatedImage()
{
    // Device addresses count: 0x6010 against the image's 0xC010, 0xC010 against 0xFF.
    const QByteArray image = relocatedImage();
    QByteArray device = relocatedDevice(image);
    device[0x6010] = char(~device[0x6010]);
    device[0xC010] = 0x00;
    device[0xCCFF] = 0x00;
    device[0x50803] = char(~device[0x50803]); // last byte of the NV parameters
    CompareResult r = CompareData(image, device, 0, 329732, true);
    r.setSectors(DeviceKind::Board4610, false);
    QCOMPARE(rangesText(r.ranges), "6010-6010/1@2 c010-c010/1@3 ccff-ccff/1@3 50803-50803/1@-1");

    // A buffer that ends inside the range ends the ranges there.
    r = CompareData(image, device.left(0xC800), 0, 329732, true);
    QCOMPARE(r.outcome, CompareResult::Outcome::Different);
    QCOMPARE(rangesText(r.ranges), "6010-6010/1@-1 c010-c010/1@-1");
}

void TestCompareData::recordKeepsTheFirstThousandRanges()
{
    QList<CompareRange> ranges;
    for (qint32 i = 0; i < 1001; ++i)
        ranges.append({i * 32, i * 32 + 1, 2, i < 512 ? 0 : -1});
    TransferRecord record;
    record.compared = true;
    record.setCompareRanges(ranges.first(1000), 2000);
    QVERIFY(!record.compareRangesTruncated);
    record.setCompareRanges(ranges, 2002);
    QCOMPARE(record.compareRanges, ranges.first(1000));
    QVERIFY(record.compareRangesTruncated);

    const QJsonObject compare = record.toJson().value(QStringLiteral("compare")).toObject();
    QCOMPARE(compare.value(QStringLiteral("bytes_differing")).toInteger(), 2002);
    QCOMPARE(compare.value(QStringLiteral("ranges_truncated")).toBool(), true);
    const QJsonArray json = compare.value(QStringLiteral("ranges")).toArray();
    QCOMPARE(json.size(), 1000);
    QCOMPARE(json.at(1).toObject(),
             QJsonObject({{"start", 32}, {"end", 33}, {"bytes", 2}, {"sector", 0}}));
    QVERIFY(json.at(999).toObject().value(QStringLiteral("sector")).isNull());

    const TransferRecord back = TransferRecord::fromJson(record.toJson());
    QCOMPARE(back.compareRanges, record.compareRanges);
    QCOMPARE(back.bytesDiffering, 2002);
    QVERIFY(back.compareRangesTruncated);
}

QTEST_GUILESS_MAIN(TestCompareData)
#include "tst_comparedata.moc"
