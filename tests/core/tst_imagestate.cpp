#include "core/B86Format.h"
#include "core/ImageState.h"

#include <QTest>

class tst_ImageState : public QObject
{
    Q_OBJECT

private slots:
    void startsEmpty();
    void resetDiscardsTheImage();
    void caption_data();
    void caption();
    void uploadedImage_data();
    void uploadedImage();
    void prepareCompare_data();
    void prepareCompare();
    void dataToDownload_data();
    void dataToDownload();
};

void tst_ImageState::startsEmpty()
{
    const ImageState image;
    QVERIFY(!image.hasImage());
    QCOMPARE(image.ViewSize, 0x100000);
    QVERIFY(image.ImageBuffer.isEmpty());
    QCOMPARE(image.caption(), QStringLiteral("BrasvikV6"));
}

void tst_ImageState::resetDiscardsTheImage()
{
    ImageState image;
    image.ImageBuffer = QByteArray(4096, 'x');
    image.FileName = QStringLiteral("/tmp/a.b86");
    image.ViewSize = 4096;
    image.RetainData = true;
    image.reset();
    QVERIFY(!image.hasImage());
    QVERIFY(image.ImageBuffer.isEmpty());
    QCOMPARE(image.ViewSize, 0x100000);
    QVERIFY(!image.RetainData);
}

void tst_ImageState::caption_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("caption");

    QTest::newRow("none") << QString() << "BrasvikV6";
    QTest::newRow("path") << "/home/tech/images/os v2.H86"
                          << "BrasvikV6 - os v2.H86";
    QTest::newRow("upload") << "Curve and system parameters.b86"
                            << "BrasvikV6 - Curve and system parameters.b86";
}

void tst_ImageState::caption()
{
    QFETCH(QString, fileName);
    QFETCH(QString, caption);
    ImageState image;
    image.FileName = fileName;
    QCOMPARE(image.caption(), caption);
}

static QByteArray flashWithTrailer(qint32 first, qint32 end)
{
    QByteArray buffer(0x100000, char(0xFF));
    B86Format::appendTrailer(buffer, {first, end});
    return buffer;
}

void tst_ImageState::uploadedImage_data()
{
    QTest::addColumn<int>("deviceType");
    QTest::addColumn<QString>("choice");
    QTest::addColumn<bool>("retain");
    QTest::addColumn<qint32>("choiceFirst");
    QTest::addColumn<qint32>("choiceEnd");
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<QString>("content");
    QTest::addColumn<qint32>("first");
    QTest::addColumn<qint32>("end");
    QTest::addColumn<qint32>("dataEnd");
    QTest::addColumn<qint32>("viewSize");

    QTest::newRow("curves") << 1 << "Curve and system parameters" << false << 17 << 19
                            << flashWithTrailer(17, 19) << "Curve and system parameters" << 17 << 19
                            << 0x100000 << 0x100000;
    QTest::newRow("CoDeSys") << 1 << "CoDeSys PLC project completely" << false << 11 << 17
                             << flashWithTrailer(11, 17) << "CoDeSys PLC project completely" << 11
                             << 17 << 0xE0000 << 0x100000;
    QTest::newRow("OS") << 1 << "Operating system" << false << 0 << 11 << flashWithTrailer(0, 11)
                        << "Operating system" << 0 << 11 << 0x80000 << 0x100000;
    QTest::newRow("whole flash") << 1 << "FLASH memory completely (without NV RAM)" << false << 0
                                 << 0 << QByteArray(0x100000, char(0xFF))
                                 << "FLASH memory completely (without NV RAM)" << 0 << 0 << 0x100000
                                 << 0x100000;
    QTest::newRow("retain 46xx") << 1 << "Retain values (NV RAM)" << true << 0 << 0
                                 << QByteArray(4096, 0) << "Retain values (NV RAM)" << 0 << 0
                                 << 4096 << 4096;
    QTest::newRow("retain 4610") << 2 << "Retain values (NV RAM)" << true << 0 << 0
                                 << QByteArray(0x7000, 0) << "Retain values (NV RAM)" << 0 << 0
                                 << 0x7000 << 0x7000;
    QTest::newRow("4610 firmware")
        << 2 << "VMC 4610 Firmware image with NV parameter" << false << 0 << 8
        << QByteArray(329984, 0) << "VMC 4610 Firmware image with NV parameter" << 0 << 0 << 329732
        << 329984;
    // A 4610 reading of any other length leaves the view as it was (set to 1234/5678 below).
    QTest::newRow("4610 short read")
        << 2 << "VMC 4610 Firmware image with NV parameter" << false << 0 << 8
        << QByteArray(0x1000, 0) << "VMC 4610 Firmware image with NV parameter" << 0 << 0 << 5678
        << 1234;
    // A 46xx buffer cut inside the trailer has no sectors to read.
    QTest::newRow("46xx cut trailer")
        << 1 << "Operating system" << false << 0 << 11 << QByteArray(0x100004, char(0xFF))
        << "Operating system" << 0 << 0 << 0x100000 << 0x100000;
}

void tst_ImageState::uploadedImage()
{
    QFETCH(int, deviceType);
    QFETCH(QString, choice);
    QFETCH(bool, retain);
    QFETCH(qint32, choiceFirst);
    QFETCH(qint32, choiceEnd);
    QFETCH(QByteArray, buffer);
    QFETCH(QString, content);
    QFETCH(qint32, first);
    QFETCH(qint32, end);
    QFETCH(qint32, dataEnd);
    QFETCH(qint32, viewSize);

    ImageState image;
    image.FileName = QStringLiteral("/old/image.h86");
    image.ViewSize = 1234;
    image.DataEnd = 5678;
    image.UploadChoiceText = choice;
    image.RetainData = retain;
    image.FirstSector = choiceFirst;
    image.EndSector = choiceEnd;
    image.ImageBuffer = buffer;

    QCOMPARE(image.applyUploadedImage(DeviceKind(deviceType)), content);
    QVERIFY(image.BinaryImage);
    QCOMPARE(image.FileName, choice + QStringLiteral(".b86"));
    QCOMPARE(image.caption(), QStringLiteral("BrasvikV6 - ") + choice + QStringLiteral(".b86"));
    QCOMPARE(image.FirstSector, first);
    QCOMPARE(image.EndSector, end);
    QCOMPARE(image.DataEnd, dataEnd);
    QCOMPARE(image.ViewSize, viewSize);
    QCOMPARE(image.ImageBuffer, buffer);
}

void tst_ImageState::prepareCompare_data()
{
    QTest::addColumn<int>("deviceType");
    QTest::addColumn<bool>("binary");
    QTest::addColumn<qint32>("dataEnd");
    QTest::addColumn<qint32>("end");

    QTest::newRow("46xx H86") << 1 << false << 0x12345 << 5;
    QTest::newRow("46xx H86 OS") << 1 << false << 0x80000 << 11;
    QTest::newRow("4610 H86") << 2 << false << 0x12345 << 8;
    QTest::newRow("binary keeps its sectors") << 1 << true << 0x12345 << 17;
}

void tst_ImageState::prepareCompare()
{
    QFETCH(int, deviceType);
    QFETCH(bool, binary);
    QFETCH(qint32, dataEnd);
    QFETCH(qint32, end);

    ImageState image;
    image.BinaryImage = binary;
    image.DataEnd = dataEnd;
    image.FirstSector = 11;
    image.EndSector = 17;
    image.prepareCompare(DeviceKind(deviceType), QStringLiteral("Operating system"));
    QVERIFY(image.CompareMode);
    QCOMPARE(image.UploadChoiceText, QStringLiteral("Operating system"));
    QCOMPARE(image.FirstSector, 11);
    QCOMPARE(image.EndSector, end);
}

void tst_ImageState::dataToDownload_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<qsizetype>("bufferSize");
    QTest::addColumn<qint32>("dataEnd");
    QTest::addColumn<qint32>("firstSector");
    QTest::addColumn<bool>("retain");
    QTest::addColumn<bool>("expected");

    const QString file = QStringLiteral("/tmp/x.h86");
    QTest::newRow("one byte") << file << qsizetype(0x100008) << 1 << 0 << false << true;
    QTest::newRow("data end 0") << file << qsizetype(0x100008) << 0 << 0 << false << false;
    QTest::newRow("no image") << QString() << qsizetype(0x100008) << 0x80000 << 0 << false << false;
    QTest::newRow("empty buffer") << file << qsizetype(0) << 0x80000 << 0 << false << false;
    QTest::newRow("CoDeSys region")
        << file << qsizetype(0x100008) << 0xE0000 << 11 << false << true;
    QTest::newRow("data end at the region start")
        << file << qsizetype(0x100008) << 0x80000 << 11 << false << false;
    QTest::newRow("retain values") << file << qsizetype(4096) << 4096 << 0 << true << true;
    QTest::newRow("retain values without data")
        << file << qsizetype(0) << 4096 << 0 << true << false;
}

void tst_ImageState::dataToDownload()
{
    QFETCH(QString, fileName);
    QFETCH(qsizetype, bufferSize);
    QFETCH(qint32, dataEnd);
    QFETCH(qint32, firstSector);
    QFETCH(bool, retain);
    QFETCH(bool, expected);

    ImageState image;
    image.FileName = fileName;
    image.ImageBuffer = QByteArray(bufferSize, char(0xFF));
    image.DataEnd = dataEnd;
    image.FirstSector = firstSector;
    image.RetainData = retain;
    QCOMPARE(image.hasDataToDownload(), expected);
    if (!expected && !fileName.isEmpty())
        QVERIFY(image.noDataToDownloadText().contains(fileName));
}

QTEST_GUILESS_MAIN(tst_ImageState)
#include "tst_imagestate.moc"
