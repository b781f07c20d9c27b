#include "core/B86Format.h"
#include "core/ImageLoader.h"
#include "core/ImageState.h"
#include "support/H86Builder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using ImageLoader::Error;

class tst_ImageLoader : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void h86Layout_data();
    void h86Layout();
    void b86Layout_data();
    void b86Layout();
    void failureTable_data();
    void failureTable();
    void cancelledDeviceTypeChangesNothing();
    void deviceTypeIsAskedCleared();
    void extensionInAnyCase_data();
    void extensionInAnyCase();
    void unreadableFiles_data();
    void unreadableFiles();
    void badLineNamesFileAndLine();
    void damagedRecordNamesFileAndLine_data();
    void damagedRecordNamesFileAndLine();
    void shortReadIsNamed();
    void deviceTypeKeptAfterFailure();

private:
    QString write(const QString &name, const QByteArray &content);
    // Loads `path` with the device-type question answered by `answer` (0 = cancel).
    ImageLoader::Result load(const QString &path, quint8 answer);

    QTemporaryDir m_dir;
    ImageState m_image;
    DeviceKind m_deviceType = DeviceKind::None;
    int m_asked = 0;
};

void tst_ImageLoader::init()
{
    QVERIFY(m_dir.isValid());
    m_image = ImageState();
    m_deviceType = DeviceKind::None;
    m_asked = 0;
}

QString tst_ImageLoader::write(const QString &name, const QByteArray &content)
{
    const QString path = m_dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

ImageLoader::Result tst_ImageLoader::load(const QString &path, quint8 answer)
{
    return ImageLoader::LoadImageFile(m_image, path, m_deviceType, [&](DeviceKind &type) {
        ++m_asked;
        if (answer == 0)
            return false;
        type = DeviceKind(answer);
        return true;
    });
}

void tst_ImageLoader::h86Layout_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("deviceType");
    QTest::addColumn<qint32>("bufferSize");
    QTest::addColumn<qint32>("dataEnd");
    QTest::addColumn<qint32>("endSector");
    QTest::addColumn<qint32>("trailerEnd"); // 0: no trailer
    QTest::addColumn<QString>("content");

    QTest::newRow("OS up to 0x7FFFF")
        << H86Builder().data(0, "\x55\x55").data(0x7FFFF, "\x01").end().text() << 1 << 0x100008
        << 0x80000 << 11 << 11 << "Operating system";
    QTest::newRow("only the first sector")
        << H86Builder().data(0, QByteArray(0x4000, 'a'), 32).text() << 1 << 0x100008 << 0x4000 << 1
        << 11 << "Operating system";
    // Data past the operating-system range: the trailer names the sectors a download uses.
    QTest::newRow("data in sector 12")
        << H86Builder().data(0, "\x55").data(0x9C000, "\x01").text() << 1 << 0x100008 << 0x9C001
        << 13 << 13 << "Operating system";
    QTest::newRow("last byte of the 46xx flash")
        << H86Builder().data(0xFFFFF, "\x01").text() << 1 << 0x100008 << 0x100000 << 19 << 19
        << "Operating system";
    QTest::newRow("4610") << H86Builder().data(0x100, "\x01").data(0x4FFFF, "\x02").text() << 2
                          << 0x50000 << 0x50000 << 0 << 0 << "Operating system";
    QTest::newRow("4610 file as 46xx") << H86Builder().data(0x4FFFF, "\x02").text() << 1 << 0x100008
                                       << 0x50000 << 8 << 11 << "Operating system";
}

void tst_ImageLoader::h86Layout()
{
    QFETCH(QByteArray, text);
    QFETCH(int, deviceType);
    QFETCH(qint32, bufferSize);
    QFETCH(qint32, dataEnd);
    QFETCH(qint32, endSector);
    QFETCH(qint32, trailerEnd);
    QFETCH(QString, content);

    const QString path = write(QStringLiteral("image.h86"), text);
    const ImageLoader::Result result = load(path, quint8(deviceType));
    QVERIFY2(result.ok(), qPrintable(result.message.text));
    QVERIFY(result.message.isEmpty());
    QCOMPARE(m_deviceType, DeviceKind(deviceType));
    QCOMPARE(m_image.FileName, path);
    QCOMPARE(m_image.caption(), QStringLiteral("BrasvikV6 - image.h86"));
    QCOMPARE(m_image.ImageBuffer.size(), bufferSize);
    QCOMPARE(m_image.ViewSize, deviceType == 2 ? 0x50000 : 0x100000);
    QCOMPARE(m_image.DataEnd, dataEnd);
    QCOMPARE(m_image.FirstSector, 0);
    QCOMPARE(m_image.EndSector, endSector);
    QVERIFY(!m_image.BinaryImage);
    QVERIFY(!m_image.RetainData);
    QCOMPARE(result.contentText, content);
    B86Format::Trailer trailer;
    QCOMPARE(B86Format::readTrailer(m_image.ImageBuffer, &trailer), trailerEnd != 0);
    if (trailerEnd != 0) {
        QCOMPARE(trailer.firstSector, 0);
        QCOMPARE(trailer.endSector, trailerEnd);
    }
    // Every byte the file does not set is 0xFF.
    if (dataEnd < m_image.ViewSize)
        QCOMPARE(m_image.ImageBuffer.at(dataEnd), char(0xFF));
}

static QByteArray withTrailer(qint32 first, qint32 end)
{
    QByteArray data(0x100000, char(0xA5));
    B86Format::appendTrailer(data, {first, end});
    return data;
}

void tst_ImageLoader::b86Layout_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("deviceType");
    QTest::addColumn<qint32>("viewSize");
    QTest::addColumn<qint32>("dataEnd");
    QTest::addColumn<bool>("retain");
    QTest::addColumn<qint32>("first");
    QTest::addColumn<qint32>("end");
    QTest::addColumn<QString>("content");

    QTest::newRow("retain 46xx") << QByteArray(4096, 1) << 1 << 4096 << 4096 << true << 0 << 0
                                 << "Retain values (NV RAM)";
    QTest::newRow("retain 4610") << QByteArray(0x7000, 1) << 2 << 0x7000 << 0x7000 << true << 0 << 0
                                 << "Retain values (NV RAM)";
    QTest::newRow("4610 with NV") << QByteArray(329984, 1) << 2 << 329984 << 329732 << false << 0
                                  << 0 << "VMC 4610 Firmware image with NV parameter";
    QTest::newRow("whole flash") << QByteArray(0x100000, 1) << 1 << 0x100000 << 0x100000 << false
                                 << 0 << 0 << "FLASH memory completely (without NV RAM)";
    QTest::newRow("OS") << withTrailer(0, 11) << 1 << 0x100000 << 0x80000 << false << 0 << 11
                        << "Operating system";
    QTest::newRow("CoDeSys complete") << withTrailer(11, 17) << 1 << 0x100000 << 0xE0000 << false
                                      << 11 << 17 << "CoDeSys PLC project completely";
    QTest::newRow("CoDeSys code") << withTrailer(11, 15) << 1 << 0x100000 << 0xC0000 << false << 11
                                  << 15 << "CoDeSys PLC program code";
    QTest::newRow("curves") << withTrailer(17, 19) << 1 << 0x100000 << 0x100000 << false << 17 << 19
                            << "Curve and system parameters";
    QTest::newRow("whole flash trailer") << withTrailer(0, 0) << 1 << 0x100000 << 0x100000 << false
                                         << 0 << 0 << "FLASH memory completely (without NV RAM)";
}

void tst_ImageLoader::b86Layout()
{
    QFETCH(QByteArray, data);
    QFETCH(int, deviceType);
    QFETCH(qint32, viewSize);
    QFETCH(qint32, dataEnd);
    QFETCH(bool, retain);
    QFETCH(qint32, first);
    QFETCH(qint32, end);
    QFETCH(QString, content);

    const QString path = write(QStringLiteral("image.b86"), data);
    const ImageLoader::Result result = load(path, 0);
    QVERIFY2(result.ok(), qPrintable(result.message.text));
    QCOMPARE(m_asked, 0);
    QCOMPARE(m_deviceType, DeviceKind(deviceType));
    QCOMPARE(m_image.ImageBuffer, data);
    QCOMPARE(m_image.ViewSize, viewSize);
    QCOMPARE(m_image.DataEnd, dataEnd);
    QCOMPARE(m_image.RetainData, retain);
    QCOMPARE(m_image.FirstSector, first);
    QCOMPARE(m_image.EndSector, end);
    QVERIFY(m_image.BinaryImage);
    QCOMPARE(result.contentText, content);
    QCOMPARE(m_image.FileName, path);
}

void tst_ImageLoader::failureTable_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("answer");
    QTest::addColumn<Error>("error");
    QTest::addColumn<QString>("text");

    const QString invalidFile = QStringLiteral("Invalid file type!");
    const QByteArray good = H86Builder().data(0, "\x01\x02").text();
    QTest::newRow("extension .bin")
        << "image.bin" << good << 1 << Error::InvalidFileType << invalidFile;
    QTest::newRow("no extension") << "image" << good << 1 << Error::InvalidFileType << invalidFile;
    QTest::newRow("B86 of 0x50000 bytes")
        << "image.b86" << QByteArray(0x50000, 0) << 0 << Error::InvalidFileType << invalidFile;
    QTest::newRow("empty B86") << "image.b86" << QByteArray() << 0 << Error::InvalidFileType
                               << invalidFile;
    QTest::newRow("B86 trailer sector 20")
        << "image.b86" << withTrailer(0, 20) << 0 << Error::InvalidFileType << invalidFile;
    QTest::newRow("B86 trailer negative")
        << "image.b86" << withTrailer(-1, 11) << 0 << Error::InvalidFileType << invalidFile;
    QTest::newRow("B86 trailer reversed")
        << "image.b86" << withTrailer(17, 11) << 0 << Error::InvalidFileType << invalidFile;
    QTest::newRow("B86 trailer empty range")
        << "image.b86" << withTrailer(11, 11) << 0 << Error::InvalidFileType << invalidFile;
    QTest::newRow("type 02") << "image.h86" << good + ":020000021000EC\r\n"
                             << 1 << Error::InvalidHexFileType << "Invalid HEX file type!";
    QTest::newRow("beyond the 4610 flash")
        << "image.h86" << QByteArray(":020000040004F6\n:02FFFF001122CD\n") << 2
        << Error::DeviceMismatch << "HEX file and device type does not match!";
    QTest::newRow("beyond the 46xx flash")
        << "image.h86" << QByteArray(":02000004000FEB\n:02FFFF001122CD\n") << 1
        << Error::DeviceMismatch << "HEX file and device type does not match!";
    QTest::newRow("line too short")
        << "image.h86" << good + ":0000" << 1 << Error::LineTooShort << QString();
    QTest::newRow("type-04 line too short")
        << "image.h86" << QByteArray(":020000040\n") << 1 << Error::LineTooShort << QString();
    QTest::newRow("binary file") << "image.h86" << QByteArray(0x100000, 0) << 1 << Error::NotText
                                 << QString();
    QTest::newRow("text file") << "image.h86" << QByteArray("hello world\r\n") << 1
                               << Error::InvalidRecord << QString();
    QTest::newRow("bad checksum") << "image.h86" << QByteArray(":0400000001020304F3\r\n") << 1
                                  << Error::InvalidRecord << QString();
    QTest::newRow("empty H86") << "image.h86" << QByteArray() << 1 << Error::NoData << QString();
    QTest::newRow("end record only")
        << "image.h86" << H86Builder().end().text() << 1 << Error::NoData << QString();
    // Refused with the previous image kept.
    const auto upper = [this](int line, const char *address, const char *flash) {
        return QStringLiteral("Line %1 of the file \"%2\" sets the upper address %3h, beyond "
                              "the %4.")
            .arg(QString::number(line), m_dir.filePath(QStringLiteral("far.hex")),
                 QLatin1String(address), QLatin1String(flash));
    };
    QTest::newRow("upper address 0010")
        << "far.hex" << good + ":020000040010EA\n" + good << 1 << Error::UpperAddressBeyondFlash
        << upper(2, "00100000", "1 MiB flash of the VMC 46xx");
    QTest::newRow("upper address 0800")
        << "far.hex" << QByteArray(":020000040800F2\n") + good << 1
        << Error::UpperAddressBeyondFlash << upper(1, "08000000", "1 MiB flash of the VMC 46xx");
    QTest::newRow("upper address 0801 on the 4610")
        << "far.hex" << QByteArray(":020000040801F1\n") + good << 2
        << Error::UpperAddressBeyondFlash
        << upper(1, "08010000", "320 KiB flash of the VMC 4610 board");
    QTest::newRow("upper address 0005 on the 4610")
        << "far.hex" << good + ":020000040005F5\n"
        << 2 << Error::UpperAddressBeyondFlash
        << upper(2, "00050000", "320 KiB flash of the VMC 4610 board");
}

void tst_ImageLoader::failureTable()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(int, answer);
    QFETCH(Error, error);
    QFETCH(QString, text);

    // A good image is loaded first: a failed load must leave no image at all, unless the
    // refusal keeps it as it was.
    const QString previous = write(QStringLiteral("previous.b86"), QByteArray(4096, 7));
    QVERIFY(load(previous, 0).ok());

    const ImageLoader::Result result = load(write(name, content), quint8(answer));
    QCOMPARE(result.error, error);
    QVERIFY(!result.ok());
    QCOMPARE(result.message.title, QStringLiteral("Brasvik"));
    QCOMPARE(result.message.icon, UserMessage::Icon::Error);
    if (!text.isEmpty())
        QCOMPARE(result.message.text, text);
    else
        QVERIFY(result.message.text.contains(name));
    if (result.imageKept()) {
        QCOMPARE(m_image.FileName, previous);
        QCOMPARE(m_image.ImageBuffer, QByteArray(4096, 7));
        QVERIFY(m_image.RetainData);
        QCOMPARE(m_deviceType, DeviceKind::Device46xx);
        return;
    }
    QVERIFY(!m_image.hasImage());
    QVERIFY(m_image.ImageBuffer.isEmpty());
    QCOMPARE(m_image.ViewSize, 0x100000);
    QVERIFY(!m_image.RetainData);
    QCOMPARE(m_image.caption(), QStringLiteral("BrasvikV6"));
}

void tst_ImageLoader::cancelledDeviceTypeChangesNothing()
{
    const QString previous = write(QStringLiteral("previous.b86"), QByteArray(0x7000, 7));
    QVERIFY(load(previous, 0).ok());
    const ImageState before = m_image;
    QCOMPARE(m_deviceType, DeviceKind::Board4610);

    const ImageLoader::Result result
        = load(write(QStringLiteral("next.h86"), H86Builder().data(0, "\x01").text()), 0);
    QVERIFY(result.cancelled());
    QVERIFY(result.message.isEmpty());
    QCOMPARE(m_asked, 1);
    QCOMPARE(m_deviceType, DeviceKind::Board4610);
    QCOMPARE(m_image.FileName, before.FileName);
    QCOMPARE(m_image.ImageBuffer, before.ImageBuffer);
    QCOMPARE(m_image.ViewSize, before.ViewSize);
    QCOMPARE(m_image.RetainData, before.RetainData);
}

void tst_ImageLoader::deviceTypeIsAskedCleared()
{
    m_deviceType = DeviceKind::Board4610;
    DeviceKind seen = DeviceKind(99);
    const QString path = write(QStringLiteral("a.h86"), H86Builder().data(0, "\x01").text());
    const ImageLoader::Result result
        = ImageLoader::LoadImageFile(m_image, path, m_deviceType, [&](DeviceKind &type) {
              seen = type;
              type = DeviceKind::Device46xx;
              return true;
          });
    QVERIFY(result.ok());
    QCOMPARE(seen, DeviceKind::None);
    QCOMPARE(m_deviceType, DeviceKind::Device46xx);
}

void tst_ImageLoader::extensionInAnyCase_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("h86");
    QTest::newRow(".h86") << "x.h86" << true;
    QTest::newRow(".H86") << "x.H86" << true;
    QTest::newRow("last extension counts") << "x.b86.h86" << true;
    QTest::newRow(".b86") << "x.b86" << false;
    QTest::newRow(".B86") << "x.B86" << false;
    QTest::newRow(".hex") << "x.hex" << true;
    QTest::newRow(".IHX") << "x.IHX" << true;
    QTest::newRow("dotted directory") << "dir.h86/x.b86" << false;
}

void tst_ImageLoader::extensionInAnyCase()
{
    QFETCH(QString, name);
    QFETCH(bool, h86);
    QDir(m_dir.path()).mkpath(QFileInfo(m_dir.filePath(name)).path());
    const QByteArray content = h86 ? H86Builder().data(0, "\x01").text() : QByteArray(4096, 1);
    const ImageLoader::Result result = load(write(name, content), 1);
    QVERIFY2(result.ok(), qPrintable(result.message.text));
    QCOMPARE(m_asked, h86 ? 1 : 0);
}

void tst_ImageLoader::unreadableFiles_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("kind"); // 0 missing, 1 directory, 2 no permission
    QTest::newRow("missing H86") << "missing.h86" << 0;
    QTest::newRow("missing B86") << "missing.b86" << 0;
    QTest::newRow("directory H86") << "folder.h86" << 1;
    QTest::newRow("directory B86") << "folder.b86" << 1;
    QTest::newRow("no permission H86") << "locked.h86" << 2;
    QTest::newRow("no permission B86") << "locked.b86" << 2;
}

void tst_ImageLoader::unreadableFiles()
{
    QFETCH(QString, name);
    QFETCH(int, kind);
    QString path = m_dir.filePath(name);
    if (kind == 1) {
        QVERIFY(QDir(m_dir.path()).mkdir(name));
    } else if (kind == 2) {
        if (::geteuid() == 0)
            QSKIP("root reads every file");
        path = write(name, QByteArray(4096, 1));
        QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner));
    }
    QVERIFY(load(write(QStringLiteral("previous.b86"), QByteArray(4096, 7)), 0).ok());

    const ImageLoader::Result result = load(path, 1);
    QCOMPARE(result.error, Error::CannotOpen);
    QCOMPARE(result.message.title, QStringLiteral("Brasvik"));
    QVERIFY2(result.message.text.contains(QDir::toNativeSeparators(path)),
             qPrintable(result.message.text));
    QVERIFY(!m_image.hasImage());
    QVERIFY(m_image.ImageBuffer.isEmpty());
}

void tst_ImageLoader::badLineNamesFileAndLine()
{
    const QByteArray text = H86Builder().data(0, "\x01").data(0x10, "\x02").text() + ":00\r\n";
    const QString path = write(QStringLiteral("short.h86"), text);
    const ImageLoader::Result result = load(path, 1);
    QCOMPARE(result.error, Error::LineTooShort);
    QVERIFY(result.message.text.contains(QStringLiteral("Line 3 ")));
    QVERIFY(result.message.text.contains(path));
}

void tst_ImageLoader::damagedRecordNamesFileAndLine_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("where");
    QTest::addColumn<QString>("reason");
    QTest::newRow("start code") << QByteArray("04000000010203F2") << "Line 2, column 1 "
                                << "does not begin with ':'";
    QTest::newRow("digit") << QByteArray(":04000000010203x4F2") << "Line 2, column 16 "
                           << "not a hexadecimal digit";
    QTest::newRow("count") << QByteArray(":0300000001020304F3") << "Line 2 "
                           << "byte count does not match";
    QTest::newRow("checksum") << QByteArray(":0400000001020304F3") << "Line 2 "
                              << "checksum is wrong";
}

void tst_ImageLoader::damagedRecordNamesFileAndLine()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, where);
    QFETCH(QString, reason);
    const QByteArray text = H86Builder().data(0, "\x01").text() + line + "\r\n";
    const QString path = write(QStringLiteral("damaged.h86"), text);
    const ImageLoader::Result result = load(path, 1);
    QCOMPARE(result.error, Error::InvalidRecord);
    QVERIFY2(result.message.text.startsWith(where), qPrintable(result.message.text));
    QVERIFY2(result.message.text.contains(reason), qPrintable(result.message.text));
    QVERIFY(result.message.text.contains(path));
    QVERIFY(!m_image.hasImage());
}

// A file that delivers fewer bytes than its size says (it shrank while it was read; sysfs
// files do so by design) is named with the reason, not with an "Unknown error".
void tst_ImageLoader::shortReadIsNamed()
{
    const QString shrinking = QStringLiteral("/sys/devices/system/cpu/online");
    const QFileInfo info(shrinking);
    if (!info.isFile() || info.size() != 4096)
        QSKIP("no sysfs attribute file to read");
    const QString path = m_dir.filePath(QStringLiteral("retain.b86"));
    QVERIFY(QFile::link(shrinking, path));
    const ImageLoader::Result result = load(path, 0);
    QCOMPARE(result.error, Error::CannotRead);
    QVERIFY2(result.message.text.contains(QStringLiteral("of its 4096 bytes")),
             qPrintable(result.message.text));
    QVERIFY(!result.message.text.contains(QStringLiteral("Unknown error")));
    QVERIFY(!m_image.hasImage());
}

void tst_ImageLoader::deviceTypeKeptAfterFailure()
{
    m_deviceType = DeviceKind::Device46xx;
    const QString path = write(QStringLiteral("big.h86"), ":020000040004F6\n:02FFFF001122CD\n");
    QCOMPARE(load(path, 2).error, Error::DeviceMismatch);
    QCOMPARE(m_deviceType, DeviceKind::Board4610);
}

QTEST_GUILESS_MAIN(tst_ImageLoader)
#include "tst_imageloader.moc"
