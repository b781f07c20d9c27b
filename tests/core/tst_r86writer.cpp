#include "core/B86Format.h"
#include "core/Crc16.h"
#include "core/ImageState.h"
#include "core/R86Writer.h"

#include <QTest>
#include <QtEndian>

class tst_R86Writer : public QObject
{
    Q_OBJECT

private slots:
    void header_data();
    void header();
    void signature_data();
    void signature();
    void layout_data();
    void layout();
    void refusesRangePastTheBuffer();
};

static const QDateTime stamp(QDate(2024, 3, 5), QTime(7, 8, 9));

void tst_R86Writer::header_data()
{
    QTest::addColumn<int>("crc");
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QChar>("dateSeparator");
    QTest::addColumn<QChar>("timeSeparator");
    QTest::addColumn<QByteArray>("header");

    QTest::newRow("check value") << 0x4B37 << stamp << QChar('.') << QChar(':')
                                 << QByteArray("File-ID: <0x4B37@05.03.2024/07:08:09> * ");
    QTest::newRow("slashes") << 0x00A0 << QDateTime(QDate(1999, 12, 31), QTime(23, 59, 58))
                             << QChar('/') << QChar(':')
                             << QByteArray("File-ID: <0x00A0@31/12/1999/23:59:58> * ");
    QTest::newRow("dashes and dots") << 0xFFFF << stamp << QChar('-') << QChar('.')
                                     << QByteArray("File-ID: <0xFFFF@05-03-2024/07.08.09> * ");
    QTest::newRow("unusable separators") << 0x1234 << stamp << QChar(0x2019) << QChar(0)
                                         << QByteArray("File-ID: <0x1234@05.03.2024/07:08:09> * ");
}

void tst_R86Writer::header()
{
    QFETCH(int, crc);
    QFETCH(QDateTime, when);
    QFETCH(QChar, dateSeparator);
    QFETCH(QChar, timeSeparator);
    QFETCH(QByteArray, header);
    const QByteArray text = R86Writer::header(quint16(crc), when, dateSeparator, timeSeparator);
    QCOMPARE(text.size(), 40);
    QCOMPARE(text, header);
}

static void putWord(QByteArray &buffer, qint32 offset, quint16 word)
{
    qToLittleEndian<quint16>(word, buffer.data() + offset);
}

void tst_R86Writer::signature_data()
{
    QTest::addColumn<quint16>("at200");
    QTest::addColumn<quint16>("at4200");
    QTest::addColumn<bool>("retain");
    QTest::addColumn<qint32>("first");
    QTest::addColumn<qsizetype>("size");
    QTest::addColumn<bool>("found");
    QTest::addColumn<quint16>("signature");

    QTest::newRow("5555") << quint16(0x5555) << quint16(0) << false << 0 << qsizetype(0x100008)
                          << true << quint16(0x5555);
    QTest::newRow("A55A") << quint16(0xA55A) << quint16(0x5252) << false << 0 << qsizetype(0x50000)
                          << true << quint16(0xA55A);
    QTest::newRow("A5A5") << quint16(0xA5A5) << quint16(0) << false << 0 << qsizetype(0x100000)
                          << true << quint16(0xA5A5);
    QTest::newRow("5252 at 0x4200") << quint16(0x1234) << quint16(0x5252) << false << 0
                                    << qsizetype(0x100000) << true << quint16(0x5252);
    QTest::newRow("byte order matters") << quint16(0x5AA5) << quint16(0) << false << 0
                                        << qsizetype(0x100000) << false << quint16(0);
    QTest::newRow("none") << quint16(0xFFFF) << quint16(0xFFFF) << false << 0 << qsizetype(0x100000)
                          << false << quint16(0);
    QTest::newRow("retain values")
        << quint16(0x5555) << quint16(0) << true << 0 << qsizetype(0x100000) << false << quint16(0);
    QTest::newRow("CoDeSys region") << quint16(0x5555) << quint16(0) << false << 11
                                    << qsizetype(0x100008) << false << quint16(0);
    QTest::newRow("buffer too short for 0x4200") << quint16(0x1111) << quint16(0x5252) << false << 0
                                                 << qsizetype(0x4201) << false << quint16(0);
}

void tst_R86Writer::signature()
{
    QFETCH(quint16, at200);
    QFETCH(quint16, at4200);
    QFETCH(bool, retain);
    QFETCH(qint32, first);
    QFETCH(qsizetype, size);
    QFETCH(bool, found);
    QFETCH(quint16, signature);

    ImageState image;
    image.ImageBuffer = QByteArray(qMax<qsizetype>(size, 0x4202), char(0xFF));
    putWord(image.ImageBuffer, 0x200, at200);
    putWord(image.ImageBuffer, 0x4200, at4200);
    image.ImageBuffer.truncate(size);
    image.RetainData = retain;
    image.FirstSector = first;
    quint16 word = 0;
    QCOMPARE(R86Writer::operatingSystemSignature(image, &word), found);
    QCOMPARE(word, signature);
}

void tst_R86Writer::layout_data()
{
    QTest::addColumn<int>("deviceType");
    QTest::addColumn<bool>("binary");
    QTest::addColumn<qsizetype>("bufferSize");
    QTest::addColumn<qint32>("dataEnd");
    QTest::addColumn<qint32>("endSector");
    QTest::addColumn<int>("endByte");
    QTest::addColumn<qint32>("loadAddress");
    QTest::addColumn<qint32>("dataLength");

    QTest::newRow("46xx H86 up to 0x7FFFF")
        << 1 << false << qsizetype(0x100008) << 0x80000 << 11 << 11 << 0x100000 << 0x80000;
    QTest::newRow("46xx H86 small")
        << 1 << false << qsizetype(0x100008) << 0x4000 << 1 << 1 << 0x100000 << 0x4000;
    QTest::newRow("46xx B86 whole flash")
        << 1 << true << qsizetype(0x100000) << 0x100000 << 0 << 0 << 0x100000 << 0x100000;
    QTest::newRow("46xx B86 OS trailer")
        << 1 << true << qsizetype(0x100008) << 0x80000 << 11 << 11 << 0x100000 << 0x80000;
    QTest::newRow("4610 B86 with NV")
        << 2 << true << qsizetype(329984) << 329732 << 0 << 0 << 0 << 0x50804;
    QTest::newRow("4610 H86") << 2 << false << qsizetype(0x50000) << 0x50000 << 0 << 0 << 0
                              << 0x50000;
    QTest::newRow("4610 end-sector byte")
        << 2 << true << qsizetype(329984) << 329732 << 8 << 8 << 0 << 0x50804;
}

void tst_R86Writer::layout()
{
    QFETCH(int, deviceType);
    QFETCH(bool, binary);
    QFETCH(qsizetype, bufferSize);
    QFETCH(qint32, dataEnd);
    QFETCH(qint32, endSector);
    QFETCH(int, endByte);
    QFETCH(qint32, loadAddress);
    QFETCH(qint32, dataLength);

    ImageState image;
    image.ImageBuffer.resize(bufferSize);
    for (qsizetype i = 0; i < bufferSize; ++i)
        image.ImageBuffer[i] = char(i * 7 + (i >> 8));
    image.BinaryImage = binary;
    image.DataEnd = dataEnd;
    image.EndSector = endSector;

    const R86Writer::Result result
        = R86Writer::build(image, DeviceKind(deviceType), 0xA55A, stamp, '.', ':');
    QVERIFY(result.ok);
    const QByteArray &file = result.file;
    QCOMPARE(file.size(), 50 + dataLength);
    const QByteArray data = image.ImageBuffer.left(dataLength);
    QCOMPARE(file.mid(50), data);
    const quint16 crc = Crc16::compute(data);
    QCOMPARE(file.left(40), R86Writer::header(crc, stamp, '.', ':'));
    QCOMPARE(quint8(file.at(40)), quint8(crc & 0xFF));
    QCOMPARE(quint8(file.at(41)), quint8(crc >> 8));
    QCOMPARE(file.at(42), char(0));
    QCOMPARE(int(quint8(file.at(43))), endByte);
    QCOMPARE(qFromLittleEndian<qint32>(file.constData() + 44), loadAddress);
    QCOMPARE(file.mid(48, 2), QByteArray::fromHex("5aa5"));
    // Building the file changes nothing in the image.
    QCOMPARE(image.EndSector, endSector);
}

void tst_R86Writer::refusesRangePastTheBuffer()
{
    ImageState image;
    // A 4610 image of 329984 bytes treated as a 46xx whole-flash image: region up to 0x100000.
    image.ImageBuffer = QByteArray(329984, char(0xFF));
    image.BinaryImage = true;
    image.EndSector = 0;
    const R86Writer::Result result
        = R86Writer::build(image, DeviceKind::Device46xx, 0x5555, stamp, '.', ':');
    QVERIFY(!result.ok);
    QVERIFY(result.file.isEmpty());
    QCOMPARE(result.range.end, 0x100000);

    // A 4610 image from an H86 file claimed to be binary: region up to 0x50804.
    image.ImageBuffer = QByteArray(0x50000, char(0xFF));
    QVERIFY(!R86Writer::build(image, DeviceKind::Board4610, 0x5555, stamp, '.', ':').ok);
}

QTEST_GUILESS_MAIN(tst_R86Writer)
#include "tst_r86writer.moc"
