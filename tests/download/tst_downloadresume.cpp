#include "base/SettingsStore.h"
#include "comm/KTSerial.h"
#include "core/SectorMap.h"
#include "download/CanDownload.h"
#include "download/DownloadResumeOffer.h"
#include "download/DownloadTransfer.h"
#include "support/SimDevice.h"
#include "support/TempSettings.h"
#include "support/TestSetup.h"
#include "support/TransferProbe.h"
#include "transfer/KTCanLink.h"
#include "transfer/KTSerialLink.h"
#include "transfer/LoaderFile.h"
#include "transfer/ResumePoint.h"
#include "transfer/ServiceRecordListener.h"
#include "transfer/ServiceRecordWriter.h"
#include "transfer/TargetFiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

// Resuming a failed flash download against the simulated device: the first download fails at a
// block (in several ways), the second starts at the sector the record names, and the device
// ends up as after a whole download without its lower sectors having been touched again.
class tst_DownloadResume : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void resumableSectors_data();
    void resumableSectors();
    void resumedRequestOnTheWire();
    void failThenResume_data();
    void failThenResume();
    void offerAsksOnlyForTheSameImage_data();
    void offerAsksOnlyForTheSameImage();

private:
    TempSettings m_settings;
    QTemporaryDir m_dir;
};

namespace {

constexpr int ChunkBytes = 0x1000; // data at the start of each of the sectors 0 to 7
constexpr int ImageSectors = 8;
constexpr int BlocksPerChunk = ChunkBytes / 32;
constexpr int FailingBlock = 4 * BlocksPerChunk + 88; // 1-based, in sector 4
constexpr qint32 FailingSector = 4;

DownloadRequest imageRequest(int seed = 1)
{
    DownloadRequest r;
    r.image = QByteArray(0x100000, char(0xFF));
    for (int s = 0; s < ImageSectors; ++s) {
        for (int i = 0; i < ChunkBytes; ++i)
            r.image[SectorStart(s) + i] = char((i * 7 + s * 31 + seed) % 0xFB);
    }
    r.fileName = QStringLiteral("/images/os.h86");
    r.firstSector = 0;
    r.endSector = ImageSectors;
    r.dataEnd = SectorStart(ImageSectors - 1) + ChunkBytes;
    r.deviceType = DeviceKind::Device46xx;
    return r;
}

int convertedSize(const QString &name)
{
    QStringList lines;
    QString error;
    if (!LoaderFile::readLines(QDir(SimDevice::h86Directory()).filePath(name), &lines, &error))
        return -1;
    return int(ConvertLoaderFile(lines).size());
}

// One download through the real serial component (and CAN thread) into the simulated device,
// its record going into a service record file as a presenter's listener would write it.
struct Run
{
    Run(DownloadRequest request, const QString &recordFile)
        : listener(ServiceRecordWriter(recordFile))
    {
        serial.SetPortName(COM1);
        serial.SetFrameParitybit(TParityBit::None);
        serial.SetSyncEventHandling(true);
        link = std::make_unique<KTSerialLink>(serial);
        transfer = std::make_unique<DownloadTransfer>(
            *link, [] { return std::make_unique<KTCanLink>(); }, std::move(request),
            testSetup(SimDevice::h86Directory(), TimerSource::system(),
                      SettingsStore::comPortDevicePath(0), SettingsStore::canBus()));
        QObject::connect(transfer.get(), &TransferSession::event, &listener,
                         &ServiceRecordListener::onEvent);
        probe = std::make_unique<TransferProbe>(*transfer, TransferProbe::BootPrompt::Confirm);
        probe->onEvent = [this](const TransferEvent &e) {
            if (e.kind == TransferEvent::Kind::Progress && breakAt >= 0 && e.position >= breakAt) {
                breakAt = -1;
                QTimer::singleShot(0, transfer.get(), [this] { transfer->userBreak(); });
            }
        };
    }
    ~Run() { transfer.reset(); }

    ServiceRecordListener listener;
    TKTSerial serial;
    std::unique_ptr<KTSerialLink> link;
    std::unique_ptr<DownloadTransfer> transfer;
    std::unique_ptr<TransferProbe> probe;
    qint64 breakAt = -1; // user break once the progress passes this address
};

} // namespace

void tst_DownloadResume::initTestCase()
{
    QVERIFY(QFileInfo::exists(SimDevice::executable()));
    QVERIFY(m_dir.isValid());
    TargetFiles::setDirectory(SimDevice::h86Directory());
}

void tst_DownloadResume::cleanup()
{
    SettingsStore::clearOverrides();
}

void tst_DownloadResume::resumableSectors_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("end");
    QTest::addColumn<int>("dataEnd");
    QTest::addColumn<bool>("retain");
    QTest::addColumn<int>("deviceType");
    QTest::addColumn<int>("sector");
    QTest::addColumn<QString>("why");
    const int end = SectorStart(7) + ChunkBytes;
    QTest::newRow("first sector") << 0 << 8 << end << false << 1 << 0 << "";
    QTest::newRow("last data sector") << 0 << 8 << end << false << 1 << 7 << "";
    QTest::newRow("past the data") << 0 << 8 << end << false << 1 << 8
                                   << "sector 8 is outside the image's sectors 0 to 7";
    QTest::newRow("whole flash: up to the data")
        << 0 << 0 << end << false << 1 << 8 << "sector 8 is outside the image's sectors 0 to 7";
    QTest::newRow("below the image's first") << 4 << 8 << end << false << 1 << 3
                                             << "sector 3 is outside the image's sectors 4 to 7";
    QTest::newRow("end sector below the data")
        << 0 << 6 << end << false << 1 << 6 << "sector 6 is outside the image's sectors 0 to 5";
    QTest::newRow("negative") << 0 << 8 << end << false << 1 << -1
                              << "sector -1 is outside the image's sectors 0 to 7";
    QTest::newRow("retain values") << 0 << 0 << 4096 << true << 1 << 0
                                   << "retain values are always downloaded whole";
    QTest::newRow("4610 board") << 0 << 0 << end << false << 2 << 2
                                << "the 4610 board erases its whole flash whenever a download "
                                   "starts, so its image is always downloaded whole";
    QTest::newRow("no data") << 0 << 0 << 0 << false << 1 << 0 << "the image holds no flash data";
}

void tst_DownloadResume::resumableSectors()
{
    QFETCH(int, first);
    QFETCH(int, end);
    QFETCH(int, dataEnd);
    QFETCH(int, sector);
    QFETCH(QString, why);
    DownloadRequest r = imageRequest();
    r.firstSector = first;
    r.endSector = end;
    r.dataEnd = dataEnd;
    QFETCH(bool, retain);
    r.retainData = retain;
    QFETCH(int, deviceType);
    r.deviceType = DeviceKind(deviceType);
    QString reason;
    QCOMPARE(DownloadTransfer::canResumeAt(r, sector, &reason), why.isEmpty());
    QCOMPARE(reason, why);
}

void tst_DownloadResume::resumedRequestOnTheWire()
{
    // A whole-flash image resumed at 5: the device is told 5 and 19 (not 0, which with a first
    // sector of 0 would mean the whole flash), the record keeps the image's own range and
    // fingerprint, and the total counts only what is sent.
    QTemporaryDir dir;
    DownloadRequest whole = imageRequest();
    whole.endSector = 0;
    DownloadRequest resumed = whole;
    resumed.resumeSector = 5;
    resumed.resumeNote = QStringLiteral("Resuming at sector 5 (020000h) as asked");
    Run a(whole, dir.filePath("r"));
    Run b(resumed, dir.filePath("r"));
    QCOMPARE(b.transfer->request().firstSector, 5);
    QCOMPARE(b.transfer->request().endSector, SectorCount);
    QCOMPARE(b.transfer->record().firstSector, 0);
    QCOMPARE(b.transfer->record().endSector, 0);
    QCOMPARE(b.transfer->record().resumedFromSector, 5);
    QCOMPARE(b.transfer->record().imageSha256, a.transfer->record().imageSha256);
    QCOMPARE(b.transfer->record().imageSha256, DownloadTransfer::imageFingerprint(whole));
    QCOMPARE(a.transfer->record().totalBytes, qint64(ImageSectors * ChunkBytes));
    QCOMPARE(b.transfer->record().totalBytes, qint64(3 * ChunkBytes));
    QCOMPARE(b.transfer->progressMinimum(), qint64(SectorStart(5)));

    // A request that cannot be resumed there is downloaded whole.
    DownloadRequest outside = whole;
    outside.resumeSector = 12;
    Run c(outside, dir.filePath("r"));
    QCOMPARE(c.transfer->request().firstSector, 0);
    QCOMPARE(c.transfer->record().resumedFromSector, -1);
}

void tst_DownloadResume::failThenResume_data()
{
    QTest::addColumn<bool>("can");
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<bool>("userBreak");
    QTest::addColumn<QString>("reportEnd");

    const int frame = 32 + 6;
    const int hangup = 1 + convertedSize(QStringLiteral("DLoader.H86"))
        + convertedSize(QStringLiteral("Download.H86")) + 2 + (FailingBlock - 1) * frame + 10;
    const QString block = QString::number(FailingBlock);
    QTest::newRow("rs232 hang-up") << false
                                   << QStringList {"--hangup-after-rx", QString::number(hangup)}
                                   << false << "error occurred";
    QTest::newRow("rs232 silence") << false << QStringList {"--silent-from", "block:" + block}
                                   << false << "TIMEOUT";
    QTest::newRow("rs232 compare error")
        << false << QStringList {"--compare-error", block} << false << "Range:  010ae0h";
    QTest::newRow("rs232 user break") << false << QStringList() << true << "User break!";
    QTest::newRow("can silence") << true << QStringList {"--silent-from", "block:" + block}
                                 << false << "TIMEOUT";
    QTest::newRow("can compare error") << true << QStringList {"--compare-error", block} << false
                                       << "Compare error!";
    QTest::newRow("can user break") << true << QStringList() << true << "User break!";
}

void tst_DownloadResume::failThenResume()
{
    QFETCH(bool, can);
    QFETCH(QStringList, simArgs);
    QFETCH(bool, userBreak);
    // Both sessions are on one port path, as a technician's two downloads would be.
    const QString port = m_dir.filePath(QStringLiteral("ttyResume-%1").arg(QTest::currentDataTag()).replace(u' ', u'-'));
    const QString recordFile = m_dir.filePath(QStringLiteral("%1.jsonl").arg(QTest::currentDataTag()));
    SettingsStore::overrideComPortDevicePath(0, port);

    DownloadRequest request = imageRequest();
    request.reportResumeSector = true;
    if (can) {
        request.settings.CANEnabled = true;
        request.settings.COMInterface = InterfaceCAN1;
        request.settings.CANBaudrate = 7;
    }

    SimDeviceOptions options;
    options.can = can;
    options.extraArguments = simArgs << QStringLiteral("--link") << port;
    QByteArray afterFailure;
    {
        SimDevice sim(options);
        QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
        if (can)
            SettingsStore::overrideCanBus(sim.canBus());
        Run first(request, recordFile);
        if (userBreak)
            first.breakAt = SectorStart(FailingSector) + 0x800;
        QVERIFY(first.probe->run());
        QVERIFY2(first.probe->result().outcome != TransferOutcome::Success,
                 qPrintable(first.probe->reportText));
        QFETCH(QString, reportEnd);
        QVERIFY2(first.probe->reportText.contains(reportEnd, Qt::CaseInsensitive),
                 qPrintable(first.probe->reportText));
        QCOMPARE(first.probe->result().resumeSector, FailingSector);
        QVERIFY(first.probe->reportText.endsWith(
            QStringLiteral("\r\n\r\nProgramming can be resumed from sector %1.")
                .arg(FailingSector)));
        sim.stop();
        afterFailure = sim.memory();
        // What the device holds below the failing sector is the image already.
        QCOMPARE(afterFailure.left(SectorStart(FailingSector)),
                 request.image.left(SectorStart(FailingSector)));
    }

    // The record on file says where to go on.
    const ResumePoint::Decision decision = ResumePoint::lookup(
        recordFile, port, DownloadTransfer::imageFingerprint(request), DeviceKind::Device46xx);
    QVERIFY2(decision.canResume(), qPrintable(decision.reason));
    QCOMPARE(decision.sector, FailingSector);

    SimDeviceOptions again;
    again.can = can;
    again.initialMemory = afterFailure;
    again.extraArguments = {QStringLiteral("--link"), port};
    SimDevice sim(again);
    QVERIFY2(sim.isReady(), qPrintable(sim.errorString()));
    if (can)
        SettingsStore::overrideCanBus(sim.canBus());
    DownloadRequest resumed = request;
    resumed.resumeSector = decision.sector;
    resumed.resumeNote = ResumePoint::resumingText(decision);
    Run second(resumed, recordFile);
    QVERIFY(second.probe->run());
    QCOMPARE(second.probe->result().outcome, TransferOutcome::Success);
    QVERIFY(second.probe->logs.first().startsWith(
        QLatin1String("Resuming at sector 4 (010000h) after the download of ")));
    QVERIFY(second.probe->logs.contains(QStringLiteral("Erasing flash sectors 4 up to 7...")));
    QCOMPARE(second.probe->result().resumedFromSector, FailingSector);
    QCOMPARE(second.probe->result().bytes, qint64((ImageSectors - FailingSector) * ChunkBytes));
    QVERIFY(sim.waitForFinished());

    // The device holds what a whole download leaves: the image, erased flash above it.
    QCOMPARE(sim.flash(), request.image);
    // Only the sectors from the resume sector on were erased and written.
    QCOMPARE(sim.summaryValue(QStringLiteral("erased")).section(u' ', 0, 1),
             QStringLiteral("sectors 4..7"));
    QVERIFY(sim.summaryValue(QStringLiteral("programmed"))
                .startsWith(QStringLiteral("%1 flash bytes").arg((ImageSectors - FailingSector) * ChunkBytes)));
    const QStringList events = sim.events();
    QVERIFY(!events.contains(QStringLiteral("erased whole flash")));
    if (can) {
        for (const SimTraceLine &m : sim.canMessages()) {
            if (m.kind == SimTraceLine::Kind::HostToDevice && m.canId == CanDownload::CanCommandId
                && m.bytes.size() == 5) {
                const qint64 address = quint8(m.bytes[2]) | (quint8(m.bytes[3]) << 8)
                    | (quint8(m.bytes[4]) << 16);
                QVERIFY2(address >= SectorStart(FailingSector), qPrintable(QString::number(address, 16)));
            }
        }
    } else {
        // No block frame for an address below the resume sector went out.
        const QByteArray host = sim.hostBytes();
        for (int s = 0; s < FailingSector; ++s) {
            const qint32 a = SectorStart(s);
            const QByteArray header = QByteArray::fromHex("24") + char(s) + char(a & 0xFF)
                + char((a >> 8) & 0xFF) + char((a >> 16) & 0xFF) + request.image.mid(a, 8);
            QVERIFY2(!host.contains(header), qPrintable(QString::number(s)));
        }
    }
}

void tst_DownloadResume::offerAsksOnlyForTheSameImage_data()
{
    QTest::addColumn<int>("seed"); // another seed: another image
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("asked");
    using Answer = DownloadResumeOffer::Answer;
    using Kind = DownloadResumeOffer::Choice::Kind;
    QTest::newRow("yes resumes") << 1 << int(Answer::Yes) << int(Kind::Resume) << true;
    QTest::newRow("no downloads whole") << 1 << int(Answer::No) << int(Kind::Whole) << true;
    QTest::newRow("cancel stops") << 1 << int(Answer::Cancel) << int(Kind::Cancel) << true;
    QTest::newRow("other image: not asked") << 2 << int(Answer::Yes) << int(Kind::Whole) << false;
}

void tst_DownloadResume::offerAsksOnlyForTheSameImage()
{
    QFETCH(int, seed);
    QFETCH(int, answer);
    const QString file = m_dir.filePath(QStringLiteral("offer.jsonl"));
    QFile::remove(file);
    SettingsStore::overrideComPortDevicePath(0, QStringLiteral("/dev/ttyUSB7"));
    TransferRecord failed;
    failed.id = QStringLiteral("x");
    failed.portPath = QStringLiteral("/dev/ttyUSB7");
    failed.imageSha256 = DownloadTransfer::imageFingerprint(imageRequest(1));
    failed.outcome = TransferOutcome::Failed;
    failed.hasFailure = true;
    failed.failedPhase = TransferPhase::Data;
    failed.failedSector = 6;
    failed.resumeSector = 6;
    failed.bytes = 0x100000; // all of the sectors below
    failed.ended = QDateTime::currentDateTimeUtc();
    QVERIFY(ServiceRecordWriter(file).append(failed));

    QString question;
    const DownloadResumeOffer::Choice choice = DownloadResumeOffer::offer(
        nullptr, imageRequest(seed), SettingsStore::comPortDevicePath(0),
        [&](QWidget *, const QString &text) {
            question = text;
            return DownloadResumeOffer::Answer(answer);
        },
        file);
    QTEST(int(choice.kind), "kind");
    QFETCH(bool, asked);
    QCOMPARE(question.isEmpty(), !asked);
    if (asked)
        QCOMPARE(question,
                 QStringLiteral("The last download of this image stopped in sector 6. "
                                "Resume from there? No programs the whole image."));
    DownloadRequest request = imageRequest(seed);
    DownloadResumeOffer::apply(choice, &request);
    QCOMPARE(request.resumeSector, choice.kind == DownloadResumeOffer::Choice::Kind::Resume ? 6 : -1);
}

QTEST_MAIN(tst_DownloadResume)
#include "tst_downloadresume.moc"
