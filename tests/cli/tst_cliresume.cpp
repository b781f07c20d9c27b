#include "core/ImageLoader.h"
#include "core/ImageState.h"
#include "core/SectorMap.h"
#include "download/DownloadTransfer.h"
#include "support/CliProcess.h"
#include "support/SimDevice.h"
#include "support/TestFiles.h"
#include "transfer/ResumePoint.h"
#include "transfer/ServiceRecord.h"
#include "transfer/ServiceRecordReader.h"
#include "transfer/ServiceRecordWriter.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// brasvik-cli download --resume and --from-sector: the service record decides where a failed
// download goes on, the device erases and programs only from there, and every case that cannot
// be resumed is refused before anything is sent.
class tst_CliResume : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void refusals_data();
    void refusals();
    void resumesOnTheDevice_data();
    void resumesOnTheDevice();
    void provesTheUnit_data();
    void provesTheUnit();

private:
    // A download of the image that failed in sector 4 on `port`, as the record holds it.
    TransferRecord failedDownload(const QString &port) const;

    QTemporaryDir m_dir;
    QString m_imagePath;
    QByteArray m_flash; // what the image puts into the device's flash
    QByteArray m_sha256; // the image's fingerprint as a download of it records it
};

namespace {

constexpr int ChunkBytes = 0x800;
constexpr int Sectors = 8;

} // namespace

void tst_CliResume::initTestCase()
{
    QVERIFY(QFileInfo(cliPath()).isExecutable());
    const SectorImage sectors = sectorImage(
        Sectors, ChunkBytes, [](int s, int i) { return char((i * 11 + s * 5 + 3) % 0xF9); });
    m_flash = sectors.flash;
    m_imagePath = writeTestFile(m_dir, QStringLiteral("os.h86"), sectors.text);
    QVERIFY(!m_imagePath.isEmpty());

    // The fingerprint as the command computes it (erasing the image's sectors only).
    ImageState image;
    QVERIFY(ImageLoader::LoadH86Data(image, sectors.text, DeviceKind::Device46xx).ok());
    image.EndSector = LastSectorBelow(image.DataEnd) + 1;
    m_sha256 = DownloadTransfer::imageFingerprint(
        DownloadRequest::fromImage(image, DeviceKind::Device46xx, TSettings()));
    QCOMPARE(m_sha256.size(), 32);
}

void tst_CliResume::init()
{
    // Every case starts with an empty service record.
    QFile::remove(ServiceRecord::defaultPath());
}

TransferRecord tst_CliResume::failedDownload(const QString &port) const
{
    TransferRecord r;
    r.id = QStringLiteral("f1");
    r.portPath = port;
    r.imageFile = m_imagePath;
    r.imageSha256 = m_sha256;
    r.started = QDateTime(QDate(2024, 5, 2), QTime(10, 14, 3), Qt::UTC);
    r.ended = r.started.addSecs(42);
    r.outcome = TransferOutcome::Failed;
    r.hasFailure = true;
    r.failedPhase = TransferPhase::Data;
    r.failedSector = 4;
    r.resumeSector = 4;
    r.bytes = 4 * ChunkBytes;
    return r;
}

void tst_CliResume::refusals_data()
{
    QTest::addColumn<QString>("change"); // what differs from a resumable failed download
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("message");

    const QStringList resume {QStringLiteral("--resume")};
    QTest::newRow("no failure on record") << "success" << resume << "succeeded; there is nothing to resume";
    QTest::newRow("nothing on record") << "none" << resume << "is on record";
    QTest::newRow("other port") << "port" << resume << "is on record";
    QTest::newRow("other image") << "image" << resume << "downloaded another image (os.h86)";
    QTest::newRow("other device type") << "device" << resume
                                       << "was for a 4610 board, not a 46xx device";
    QTest::newRow("upload last") << "upload" << resume << "was an upload, not a download";
    QTest::newRow("compare last") << "compare" << resume << "was a compare, not a download";
    QTest::newRow("other unit") << "unit" << QStringList {"--resume", "--unit", "SN-B"}
                                << "was of the unit SN-A, not SN-B";
    QTest::newRow("stopped in the erase") << "erase" << resume
                                          << "stopped before programming began (erase)";
    QTest::newRow("start line only") << "running" << resume << "has no end on record";
    QTest::newRow("resume edited past the failure")
        << "edited" << resume
        << "is not usable: its resume_sector 6 lies beyond its failed_sector 4";
    QTest::newRow("failure edited along")
        << "edited both" << resume
        << "is not usable: its resume_sector 6 lies beyond what its 8192 bytes programmed cover";
    QTest::newRow("no device type")
        << "no device" << resume << "is not usable: its device type is missing or unknown";
    QTest::newRow("retain image") << "retain" << resume << "retain values are always downloaded whole";
    QTest::newRow("from a sector past the image")
        << "" << QStringList {"--from-sector", "8"}
        << "cannot start at sector 8: sector 8 is outside the image's sectors 0 to 7";
    QTest::newRow("from a sector not a number")
        << "" << QStringList {"--from-sector", "four"} << "--from-sector needs a sector number";
    QTest::newRow("both ways at once") << "" << QStringList {"--resume", "--from-sector", "4"}
                                       << "--resume and --from-sector exclude each other";
}

void tst_CliResume::refusals()
{
    QFETCH(QString, change);
    QFETCH(QStringList, options);
    QFETCH(QString, message);
    // Never opened: every refusal comes before the port.
    const QString port = m_dir.filePath(QStringLiteral("ttyNowhere"));
    TransferRecord r = failedDownload(change == QLatin1String("port") ? QStringLiteral("/dev/ttyS9")
                                                                       : port);
    if (change == QLatin1String("success")) {
        r.outcome = TransferOutcome::Success;
        r.hasFailure = false;
    } else if (change == QLatin1String("image")) {
        r.imageSha256 = QByteArray(32, '\x5A');
    } else if (change == QLatin1String("device")) {
        r.deviceType = DeviceKind::Board4610;
    } else if (change == QLatin1String("upload")) {
        r.operation = TransferOperation::Upload;
    } else if (change == QLatin1String("compare")) {
        r.operation = TransferOperation::Compare;
    } else if (change == QLatin1String("erase")) {
        r.failedPhase = TransferPhase::Erase;
        r.resumeSector = -1;
    } else if (change.startsWith(QLatin1String("edited"))) {
        r.resumeSector = 6;
        if (change == QLatin1String("edited both"))
            r.failedSector = 6;
    } else if (change == QLatin1String("unit")) {
        r.unitId = QStringLiteral("SN-A");
    } else if (change == QLatin1String("running")) {
        r.outcome = TransferOutcome::Running;
        r.hasFailure = false;
    }
    if (change == QLatin1String("no device")) {
        QFile record(ServiceRecord::defaultPath());
        QVERIFY(QDir().mkpath(QFileInfo(record).path()) && record.open(QIODevice::WriteOnly));
        record.write(ServiceRecord::toLine(r).replace("\"device_type\":\"46xx\",", ""));
    } else if (change != QLatin1String("none")) {
        QVERIFY(ServiceRecordWriter().append(r));
    }

    QString image = m_imagePath;
    if (change == QLatin1String("retain"))
        image = writeTestFile(m_dir, QStringLiteral("nv.b86"), QByteArray(4096, '\x11'));
    const CliRun run = runCli(QStringList {"download", image, "--device", "46xx", "--port", port,
                                           "--h86-dir", SimDevice::h86Directory(), "--yes"}
                              + options);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
    QVERIFY(!QFileInfo::exists(port));
}

void tst_CliResume::resumesOnTheDevice_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("sector");
    QTest::addColumn<QString>("firstLine");
    QTest::newRow("from a sector") << QStringList {"--from-sector", "6"} << 6
                                   << "Resuming at sector 6 (030000h) as asked";
}

void tst_CliResume::resumesOnTheDevice()
{
    QFETCH(QStringList, options);
    QFETCH(int, sector);
    const QString port = m_dir.filePath(QStringLiteral("ttyResume%1").arg(sector));
    QVERIFY(ServiceRecordWriter().append(failedDownload(port)));

    // The device holds the image below the sector and garbage from there on, as a download
    // that broke off leaves it.
    SimDeviceOptions simOptions;
    QByteArray memory = m_flash;
    const int garbage = SectorStart(Sectors) - SectorStart(sector);
    memory.replace(SectorStart(sector), garbage, QByteArray(garbage, '\x00'));
    simOptions.initialMemory = memory + QByteArray(4096, '\0');
    simOptions.extraArguments = {QStringLiteral("--link"), port};
    SimDevice sim(simOptions);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));

    const CliRun run = runCli(QStringList {"download", m_imagePath, "--device", "46xx", "--port",
                                           port, "--h86-dir", SimDevice::h86Directory(), "--yes"}
                              + options);
    QCOMPARE(run.exitCode, 0);
    const QStringList lines = run.out.split(u'\n');
    QFETCH(QString, firstLine);
    QVERIFY2(lines.contains(firstLine), qPrintable(run.out));
    QVERIFY(lines.contains(QStringLiteral("Transmitting start sector: %1...").arg(sector)));
    QVERIFY(lines.contains(QStringLiteral("Erasing flash sectors %1 up to 7...").arg(sector)));
    QVERIFY(run.out.contains(
        QStringLiteral("%1 bytes programmed").arg((Sectors - sector) * ChunkBytes)));
    QVERIFY(sim.waitForFinished());
    QCOMPARE(sim.flash(), m_flash);
    QCOMPARE(sim.summaryValue(QStringLiteral("erased")).section(u' ', 0, 1),
             QStringLiteral("sectors %1..7").arg(sector));
}

void tst_CliResume::provesTheUnit_data()
{
    QTest::addColumn<QString>("unit"); // what the unit on the port holds
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expected"); // a line of the output
    QTest::newRow("the same unit") << "same" << 0 << "The unit holds the image in sectors 0, 3.";
    QTest::newRow("a blank unit")
        << "blank" << 3
        << "The unit on COM1 does not hold this image below sector 4 (first difference at "
           "000000h): download it in full.";
    QTest::newRow("a unit with another image")
        << "other" << 3
        << "The unit on COM1 does not hold this image below sector 4 (first difference at "
           "008000h): download it in full.";
}

void tst_CliResume::provesTheUnit()
{
    QFETCH(QString, unit);
    const QString port = m_dir.filePath(QStringLiteral("ttyProof-%1").arg(unit));
    QVERIFY(ServiceRecordWriter().append(failedDownload(port)));

    // What a download that broke off in sector 4 leaves, on the unit it ran on; a blank one;
    // one that holds the same image but for sector 3.
    QByteArray memory(0x100000, char(0xFF));
    if (unit == QLatin1String("same")) {
        memory = m_flash;
        memory.replace(SectorStart(4), SectorStart(Sectors) - SectorStart(4),
                       QByteArray(SectorStart(Sectors) - SectorStart(4), '\x00'));
    } else if (unit == QLatin1String("other")) {
        memory = m_flash;
        memory[SectorStart(3)] = char(~m_flash.at(SectorStart(3)));
    }
    SimDeviceOptions simOptions;
    simOptions.oneShot = false; // the proof and the download are two entries
    simOptions.initialMemory = memory + QByteArray(4096, '\0');
    simOptions.extraArguments = {QStringLiteral("--link"), port};
    SimDevice sim(simOptions);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));

    const CliRun run = runCli({"download", m_imagePath, "--device", "46xx", "--port", port,
                               "--h86-dir", SimDevice::h86Directory(), "--yes", "--resume"});
    QFETCH(int, exitCode);
    QFETCH(QString, expected);
    QCOMPARE(run.exitCode, exitCode);
    const QStringList lines = run.out.split(u'\n');
    QVERIFY2(lines.contains(expected), qPrintable(run.out));
    sim.stop();
    const std::optional<TransferRecord> last
        = ServiceRecordReader::latestForPort(ServiceRecord::defaultPath(), port);
    QVERIFY(last);
    if (exitCode == 0) {
        QVERIFY(lines.contains(
            "Resuming at sector 4 (010000h) after the download of "
            + ResumePoint::timeText(QDateTime(QDate(2024, 5, 2), QTime(10, 14, 45), Qt::UTC))
            + " stopped there"));
        QCOMPARE(sim.flash(), m_flash);
        QCOMPARE(last->outcome, TransferOutcome::Success);
        QCOMPARE(last->proofSectors, QList<qint32>({0, 3}));
    } else {
        // Refused before anything was erased, and the record still points at the failure.
        QVERIFY(!run.out.contains(QStringLiteral("Erasing")));
        QCOMPARE(sim.flash(), memory);
        QCOMPARE(last->id, QStringLiteral("f1"));
    }
}

QTEST_GUILESS_MAIN(tst_CliResume)
#include "tst_cliresume.moc"
