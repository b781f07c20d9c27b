#include "core/ImageSaver.h"
#include "core/ImageState.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <csignal>
#include <sys/resource.h>

using ImageSaver::Outcome;

class tst_ImageSaver : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void baseName_data();
    void baseName();
    void osImageByExtension_data();
    void osImageByExtension();
    void otherImageAlwaysB86();
    void r86ResetsEndSectorOfH86Image();
    void refusedRangeWritesNothing();
    void unwritablePathKeepsState();
    void failedWriteKeepsExistingFile();
    void replacesExistingFile();

private:
    QByteArray read(const QString &path) const;
    QStringList entries() const;

    QTemporaryDir m_dir;
    ImageState m_image;
};

// A 46xx operating-system image as loaded from an H86 file with data up to 0x7FFFF.
static ImageState osImage()
{
    ImageState image;
    image.ImageBuffer = QByteArray(0x100000, char(0xFF));
    image.ImageBuffer.append(QByteArray::fromHex("000000000b000000"));
    qToLittleEndian<quint16>(0xA5A5, image.ImageBuffer.data() + 0x200);
    image.FileName = QStringLiteral("/images/os.h86");
    image.DataEnd = 0x80000;
    image.EndSector = 11;
    image.ViewSize = 0x100000;
    return image;
}

void tst_ImageSaver::init()
{
    QVERIFY(m_dir.isValid());
    for (const QString &name : entries())
        QFile::remove(m_dir.filePath(name));
    m_image = osImage();
}

QByteArray tst_ImageSaver::read(const QString &path) const
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList tst_ImageSaver::entries() const
{
    return QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
}

void tst_ImageSaver::baseName_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("base");
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("path") << "/images/os.h86"
                          << "/images/os";
    QTest::newRow("upload") << "Curve and system parameters.b86"
                            << "Curve and system parameters";
    QTest::newRow("dotted directory") << "/images.v2/os"
                                      << "/images.v2/os";
    QTest::newRow("two dots") << "/images/os.v2.b86"
                              << "/images/os.v2";
}

void tst_ImageSaver::baseName()
{
    QFETCH(QString, fileName);
    QFETCH(QString, base);
    ImageState image;
    image.FileName = fileName;
    QCOMPARE(ImageSaver::baseName(image), base);
}

void tst_ImageSaver::osImageByExtension_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<Outcome>("outcome");
    QTest::newRow("b86") << "out.b86" << Outcome::WroteB86;
    QTest::newRow("B86") << "out.B86" << Outcome::WroteB86;
    QTest::newRow("r86") << "out.r86" << Outcome::WroteR86;
    QTest::newRow("R86") << "out.R86" << Outcome::WroteR86;
    QTest::newRow("bin") << "out.bin" << Outcome::NothingWritten;
    QTest::newRow("none") << "out" << Outcome::NothingWritten;
}

void tst_ImageSaver::osImageByExtension()
{
    QFETCH(QString, name);
    QFETCH(Outcome, outcome);
    QVERIFY(ImageSaver::offersR86(m_image));
    const QString path = m_dir.filePath(name);
    const ImageSaver::Result result
        = ImageSaver::SaveImageFile(m_image, DeviceKind::Device46xx, path);
    QCOMPARE(result.outcome, outcome);
    QVERIFY(result.message.isEmpty());

    switch (outcome) {
    case Outcome::WroteB86:
        QCOMPARE(read(path), osImage().ImageBuffer);
        QCOMPARE(m_image.FileName, path);
        QVERIFY(m_image.BinaryImage);
        QCOMPARE(m_image.caption(), QStringLiteral("BrasvikV6 - ") + name);
        break;
    case Outcome::WroteR86: {
        const QByteArray file = read(path);
        QCOMPARE(file.size(), 50 + 0x80000);
        QVERIFY(file.startsWith("File-ID: <0x"));
        QCOMPARE(file.mid(48, 2), QByteArray::fromHex("a5a5"));
        QCOMPARE(m_image.FileName, QStringLiteral("/images/os.h86"));
        QVERIFY(!m_image.BinaryImage);
        break;
    }
    default:
        QVERIFY(entries().isEmpty());
        QCOMPARE(m_image.FileName, QStringLiteral("/images/os.h86"));
        QCOMPARE(m_image.EndSector, 11);
        break;
    }
    QCOMPARE(m_image.ImageBuffer, osImage().ImageBuffer);
}

void tst_ImageSaver::otherImageAlwaysB86()
{
    ImageState image;
    image.ImageBuffer = QByteArray(4096, 'r');
    image.RetainData = true;
    image.FileName = QStringLiteral("/images/retain.b86");
    image.BinaryImage = false;
    QVERIFY(!ImageSaver::offersR86(image));
    const QString path = m_dir.filePath(QStringLiteral("copy.bin"));
    const ImageSaver::Result result
        = ImageSaver::SaveImageFile(image, DeviceKind::Device46xx, path);
    QCOMPARE(result.outcome, Outcome::WroteB86);
    QCOMPARE(read(path), QByteArray(4096, 'r'));
    QCOMPARE(image.FileName, path);
    QVERIFY(!image.BinaryImage);
}

void tst_ImageSaver::r86ResetsEndSectorOfH86Image()
{
    QVERIFY(
        ImageSaver::SaveImageFile(m_image, DeviceKind::Device46xx, m_dir.filePath("a.r86")).ok());
    QCOMPARE(m_image.EndSector, 0);

    // An image that came from a B86 file keeps the sectors it carries.
    ImageState binary = osImage();
    binary.BinaryImage = true;
    QVERIFY(
        ImageSaver::SaveImageFile(binary, DeviceKind::Device46xx, m_dir.filePath("b.r86")).ok());
    QCOMPARE(binary.EndSector, 11);
    QCOMPARE(read(m_dir.filePath("b.r86")).at(43), char(11));
}

void tst_ImageSaver::refusedRangeWritesNothing()
{
    // A 4610 firmware image (329984 bytes) while the 46xx type is selected: its R86 region
    // would run to 0x100000.
    ImageState image;
    image.ImageBuffer = QByteArray(329984, char(0xFF));
    qToLittleEndian<quint16>(0x5555, image.ImageBuffer.data() + 0x200);
    image.BinaryImage = true;
    image.FileName = QStringLiteral("/images/board.b86");
    const QString path = m_dir.filePath(QStringLiteral("board.r86"));
    const ImageSaver::Result result
        = ImageSaver::SaveImageFile(image, DeviceKind::Device46xx, path);
    QCOMPARE(result.outcome, Outcome::Refused);
    QCOMPARE(result.message.title, QStringLiteral("Brasvik"));
    QCOMPARE(result.message.icon, UserMessage::Icon::Error);
    QVERIFY(!result.message.text.isEmpty());
    QVERIFY(entries().isEmpty());
    QCOMPARE(image.FileName, QStringLiteral("/images/board.b86"));
}

void tst_ImageSaver::unwritablePathKeepsState()
{
    const QString path = m_dir.filePath(QStringLiteral("missing/dir/out.b86"));
    const ImageSaver::Result result
        = ImageSaver::SaveImageFile(m_image, DeviceKind::Device46xx, path);
    QCOMPARE(result.outcome, Outcome::WriteFailed);
    QVERIFY(result.message.text.contains(path));
    QCOMPARE(m_image.FileName, QStringLiteral("/images/os.h86"));
    QVERIFY(!m_image.BinaryImage);
}

// A write that fails half-way (here: the file size limit) leaves the old file as it was and
// no temporary file behind.
void tst_ImageSaver::failedWriteKeepsExistingFile()
{
    const QString path = m_dir.filePath(QStringLiteral("existing.b86"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("old contents");
    }
    struct rlimit previous;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = previous;
    limited.rlim_cur = 64 * 1024;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const ImageSaver::Result result
        = ImageSaver::SaveImageFile(m_image, DeviceKind::Device46xx, path);
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, oldHandler);

    QCOMPARE(result.outcome, Outcome::WriteFailed);
    QVERIFY(!result.message.text.isEmpty());
    QCOMPARE(read(path), QByteArray("old contents"));
    QCOMPARE(entries(), QStringList {QStringLiteral("existing.b86")});
    QCOMPARE(m_image.FileName, QStringLiteral("/images/os.h86"));
}

void tst_ImageSaver::replacesExistingFile()
{
    const QString path = m_dir.filePath(QStringLiteral("existing.b86"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(0x200000, 'o'));
    }
    QVERIFY(ImageSaver::SaveImageFile(m_image, DeviceKind::Device46xx, path).ok());
    QCOMPARE(read(path), osImage().ImageBuffer);
    QCOMPARE(entries(), QStringList {QStringLiteral("existing.b86")});
}

QTEST_GUILESS_MAIN(tst_ImageSaver)
#include "tst_imagesaver.moc"
