#include "download/DownloadFrames.h"
#include "transfer/LoaderFile.h"
#include "transfer/TargetFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace DownloadFrames;

class tst_DownloadFrames : public QObject
{
    Q_OBJECT
private slots:
    void flashBlock_data();
    void flashBlock();
    void wholeImageIsCovered();
    void flashFrameFromKnownBytes();
    void retainFrame_data();
    void retainFrame();
    void convertLoaderFile_data();
    void convertLoaderFile();
    void targetFiles_data();
    void targetFiles();
    void resolveIgnoresLetterCase();
};

namespace {

// 1 MiB of 0xFF with `bytes` written at `at`.
QByteArray imageWith(qint32 at, const QByteArray &bytes, qint32 size = 0x100000)
{
    QByteArray image(size, char(0xFF));
    image.replace(at, bytes.size(), bytes);
    return image;
}

QByteArray counting(int n, int first = 0)
{
    QByteArray b;
    for (int i = 0; i < n; ++i)
        b.append(char((first + i) % 0xF0));
    return b;
}

} // namespace

void tst_DownloadFrames::flashBlock_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<qint64>("position");
    QTest::addColumn<qint32>("dataEnd");
    QTest::addColumn<bool>("board4610");
    QTest::addColumn<qint32>("start");
    QTest::addColumn<int>("sector");
    QTest::addColumn<int>("length");
    QTest::addColumn<qint64>("next");

    const QByteArray forty = imageWith(0x3FF0, counting(40));
    QTest::newRow("sector 0 ends at 0x4000")
        << forty << qint64(0) << 0x5000 << false << 0x3FF0 << 0 << 16 << qint64(0x4000);
    QTest::newRow("then sector 1")
        << forty << qint64(0x4000) << 0x5000 << false << 0x4000 << 1 << 24 << qint64(0x401A);
    QTest::newRow("32-byte limit")
        << imageWith(0, counting(100)) << qint64(0) << 0x100 << false << 0 << 0 << 32 << qint64(32);

    QByteArray gap = imageWith(0, counting(8));
    gap[4] = char(0xFF);
    gap[5] = char(0xFF);
    QTest::newRow("0xFFFF word ends the block and is consumed")
        << gap << qint64(0) << 0x100 << false << 0 << 0 << 4 << qint64(6);
    QTest::newRow("block after the gap")
        << gap << qint64(6) << 0x100 << false << 6 << 0 << 2 << qint64(10);
    QTest::newRow("erased sector skipped")
        << imageWith(0x20000, counting(4)) << qint64(0x10000) << 0x20004 << false << 0x20000 << 5
        << 4 << qint64(0x20004);
    QTest::newRow("odd DataEnd rounds up to the word")
        << imageWith(0, counting(8)) << qint64(0) << 3 << false << 0 << 0 << 4 << qint64(4);
    QTest::newRow("single byte 0xFF in a word is data")
        << imageWith(0, QByteArray::fromHex("ff12")) << qint64(0) << 2 << false << 0 << 0 << 2
        << qint64(2);
    QTest::newRow("end of data") << imageWith(0, counting(4)) << qint64(4) << 4 << false << 0 << 0
                                 << 0 << qint64(4);
    QTest::newRow("erased up to DataEnd") << imageWith(0, counting(4)) << qint64(4) << 0x80000
                                          << false << 0 << 0 << 0 << qint64(0x80000);

    const QByteArray combined = imageWith(0x4FFF0, counting(0x900), 0x50900);
    QTest::newRow("4610 flash ends at 0x50000")
        << combined << qint64(0x4FFF0) << 0x50804 << true << 0x4FFF0 << 7 << 16 << qint64(0x50000);
    QTest::newRow("4610 nothing from 0x50000 on")
        << combined << qint64(0x50000) << 0x50804 << true << 0 << 0 << 0 << qint64(0x50000);
    QTest::newRow("46xx sends past 0x50000")
        << combined << qint64(0x50000) << 0x50804 << false << 0x50000 << 8 << 32 << qint64(0x50020);
    QTest::newRow("image end") << QByteArray(4, 'x') << qint64(0) << 0x100 << false << 0 << 0 << 4
                               << qint64(4);
}

void tst_DownloadFrames::flashBlock()
{
    QFETCH(QByteArray, image);
    QFETCH(qint64, position);
    QFETCH(qint32, dataEnd);
    QFETCH(bool, board4610);
    const FlashBlock block = nextFlashBlock(image, position, dataEnd, board4610);
    QTEST(qint64(block.nextPosition), "next");
    QTEST(int(block.data.size()), "length");
    if (!block.data.isEmpty()) {
        QTEST(block.start, "start");
        QTEST(int(block.sector), "sector");
        QCOMPARE(block.data, image.mid(block.start, block.data.size()));
    }
}

void tst_DownloadFrames::wholeImageIsCovered()
{
    // Every byte that is not part of an erased word goes out exactly once, in order.
    QByteArray image(0x30000, char(0xFF));
    for (int i = 0; i < image.size(); i += 7)
        image[i] = char(i & 0x7F);
    QByteArray sent(image.size(), char(0xFF));
    qint64 position = 0;
    int blocks = 0;
    for (;;) {
        const FlashBlock block = nextFlashBlock(image, position, image.size(), false);
        if (block.data.isEmpty())
            break;
        QVERIFY(block.data.size() % 2 == 0 && block.data.size() <= 32);
        QVERIFY(block.start >= position);
        QVERIFY(SectorEndAbove(block.start) >= block.start + block.data.size());
        sent.replace(block.start, block.data.size(), block.data);
        position = block.nextPosition;
        ++blocks;
    }
    QCOMPARE(sent, image);
    QVERIFY(blocks > 0);
}

void tst_DownloadFrames::flashFrameFromKnownBytes()
{
    FlashBlock block;
    block.start = 0x010000;
    block.sector = 4;
    block.data = QByteArray::fromHex("1234");
    QCOMPARE(flashBlockFrame(block),
             QByteArray::fromHex("06040000011234"
                                 "25"));

    block.start = 0x0ABCDE;
    block.sector = 13;
    block.data = counting(32);
    const QByteArray frame = flashBlockFrame(block);
    QCOMPARE(frame.size(), 38);
    QCOMPARE(frame.left(5), QByteArray::fromHex("240DDEBC0A"));
    QCOMPARE(xorChecksum(frame), quint8(0)); // the checksum makes the whole frame XOR to 0
}

void tst_DownloadFrames::retainFrame_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("16 bytes") << QByteArray::fromHex("000102030405060708090a0b0c0d0e0f")
                              << QByteArray::fromHex("10000102030405060708090a0b0c0d0e0f10");
    QTest::newRow("0xFF is data") << QByteArray(16, char(0xFF))
                                  << QByteArray::fromHex("10ffffffffffffffffffffffffffffffff10");
    QTest::newRow("short tail padded, checksum over bytes read")
        << QByteArray::fromHex("0102")
        << QByteArray::fromHex("100102000000000000000000000000000013");
}

void tst_DownloadFrames::retainFrame()
{
    QFETCH(QByteArray, data);
    QTEST(retainBlockFrame(data), "frame");
}

void tst_DownloadFrames::convertLoaderFile_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("data records concatenated, other types skipped")
        << QStringList {":020000040001F9",   ":0300100001020399", "",
                        ":02000002100000EC", ":02FFFF00ABCD00",   ":00000001FF"}
        << QByteArray::fromHex("010203abcd");
    QTest::newRow("wrong checksum and byte count are not read")
        << QStringList {":FF000000aBcD77"} << QByteArray::fromHex("abcd");
    QTest::newRow("non-hex digit reads as 0, lone digit dropped")
        << QStringList {":03000000G1Z3AFF"} << QByteArray::fromHex("0103");
    QTest::newRow("too short") << QStringList {":0000000", ":00000000"} << QByteArray();
}

void tst_DownloadFrames::convertLoaderFile()
{
    QFETCH(QStringList, lines);
    QTEST(ConvertLoaderFile(lines), "bytes");
}

void tst_DownloadFrames::targetFiles_data()
{
    QTest::addColumn<bool>("upload");
    QTest::addColumn<bool>("retain");
    QTest::addColumn<int>("device");
    QTest::addColumn<int>("iface");
    QTest::addColumn<int>("canRate");
    QTest::addColumn<QString>("loader");
    QTest::addColumn<QString>("program");
    using R = QString;
    QTest::newRow("flash can1 250")
        << false << false << 1 << 1 << 6 << R("DLoaderCAN.H86") << R("DownloadCAN1_250K.H86");
    QTest::newRow("flash can1 500")
        << false << false << 1 << 1 << 7 << R("DLoaderCAN.H86") << R("DownloadCAN1_500K.H86");
    QTest::newRow("flash can2 125")
        << false << false << 1 << 2 << 5 << R("DLoaderCAN.H86") << R("DownloadCAN2_125K.H86");
    QTest::newRow("flash can2 other")
        << false << false << 1 << 2 << 0 << R("DLoaderCAN.H86") << R("DownloadCAN2_125K.H86");
    QTest::newRow("flash rs232") << false << false << 1 << 0 << 7 << R("DLoader.H86")
                                 << R("Download.H86");
    QTest::newRow("flash 4610 ignores interface")
        << false << false << 2 << 1 << 7 << R("DLoaderIF.H86") << R("DownloadIF.H86");
    QTest::newRow("retain can1 250")
        << false << true << 1 << 1 << 6 << R("DLoaderNVCAN.H86") << R("DownloadNVCAN1_250K.H86");
    QTest::newRow("retain can2 500")
        << false << true << 1 << 2 << 7 << R("DLoaderNVCAN.H86") << R("DownloadNVCAN2_500K.H86");
    QTest::newRow("retain rs232") << false << true << 1 << 0 << 7 << R("DLoaderNV.H86")
                                  << R("DownloadNV.H86");
    QTest::newRow("retain 4610") << false << true << 2 << 2 << 7 << R("DLoaderNVIF.H86")
                                 << R("DownloadNVIF.H86");
    QTest::newRow("upload can2 250")
        << true << false << 1 << 2 << 6 << R("ULoaderCAN.H86") << R("UploadCAN2_250K.H86");
    QTest::newRow("upload retain 4610")
        << true << true << 2 << 0 << 7 << R("ULoaderNVIF.H86") << R("UploadNVIF.H86");
}

void tst_DownloadFrames::targetFiles()
{
    QFETCH(bool, upload);
    QFETCH(bool, retain);
    QFETCH(int, device);
    QFETCH(int, iface);
    QFETCH(int, canRate);
    const TargetFiles::Names names = TargetFiles::choose(
        upload ? TargetFiles::Direction::Upload : TargetFiles::Direction::Download, retain,
        DeviceKind(device), iface, canRate);
    QTEST(names.loader, "loader");
    QTEST(names.program, "program");
    QCOMPARE(TargetFiles::usesCan(DeviceKind(device), iface), device == 1 && iface != 0);
}

void tst_DownloadFrames::resolveIgnoresLetterCase()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const char *name : {"dloader.h86", "Download.H86"}) {
        QFile f(QDir(dir.path()).filePath(QLatin1String(name)));
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    QCOMPARE(TargetFiles::resolve(dir.path(), QStringLiteral("DLoader.H86")),
             QDir(dir.path()).filePath(QStringLiteral("dloader.h86")));
    QCOMPARE(TargetFiles::resolve(dir.path(), QStringLiteral("Download.H86")),
             QDir(dir.path()).filePath(QStringLiteral("Download.H86")));
    // A missing file keeps the expected name, so that the message names it.
    QCOMPARE(TargetFiles::resolve(dir.path(), QStringLiteral("DLoaderNV.H86")),
             QDir(dir.path()).filePath(QStringLiteral("DLoaderNV.H86")));

    TargetFiles::setDirectory(dir.path());
    QCOMPARE(TargetFiles::directory(), QDir(dir.path()).absolutePath());
    TargetFiles::setDirectory(QString());
    QVERIFY(TargetFiles::directory().endsWith(QLatin1String("/H86")));
}

QTEST_GUILESS_MAIN(tst_DownloadFrames)
#include "tst_downloadframes.moc"
