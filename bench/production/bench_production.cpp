// The production line's runs against brasvik-sim, paced at 115200 bit/s, each timed from the
// first boot prompt answered to the end, with its reference measured in the same run:
//   - a 1 MiB download that failed at 90 %, resumed with its unit proof (two sectors read back
//     and compared first), against a whole download (goal: at most 0.25);
//   - --skip-unchanged on a device that already holds the image, against a compare of the
//     image's sectors (goal: at most 1).
// The failing run itself is not timed and runs unpaced.
// Usage: bench_production [--fail-at PERCENT]
#include "BenchEnvironment.h"
#include "base/SettingsStore.h"
#include "comm/KTSerial.h"
#include "core/SectorMap.h"
#include "production/ProductionRun.h"
#include "support/SimDevice.h"
#include "support/TempSettings.h"
#include "transfer/KTCanLink.h"
#include "transfer/KTSerialLink.h"
#include "transfer/TargetFiles.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <cstdio>
#include <functional>

namespace {

constexpr int DataBytes = 0x100000 - 2;
constexpr int BlockBytes = 32;

struct Timed
{
    bool ok = false;
    double seconds = 0;
    TransferRecord record;
    QByteArray memory; // the device's afterwards
};

DownloadRequest benchRequest()
{
    // No 0xFF byte, so that every word goes out; the whole flash is erased.
    DownloadRequest request;
    request.image = QByteArray(0x100008, char(0xFF));
    for (int i = 0; i < DataBytes; ++i)
        request.image[i] = char(i % 251);
    request.dataEnd = DataBytes;
    request.deviceType = DeviceKind::Device46xx;
    request.settings.brDefault = br115200;
    return request;
}

// What runs on the device: a transfer or a production run made on the link, started; it calls
// `done` with its record at its end.
using Runner = std::function<std::unique_ptr<QObject>(
    SerialLink &link, const std::function<void(TransferSession &)> &attach,
    const std::function<void(const TransferRecord &)> &done)>;

Timed timed(const SimDeviceOptions &options, const Runner &runner)
{
    Timed result;
    SimDevice sim(options);
    if (!sim.isReady()) {
        std::fprintf(stderr, "brasvik-sim: %s\n", qPrintable(sim.errorString()));
        return result;
    }
    SettingsStore::overrideComPortDevicePath(0, sim.serialPath());
    TKTSerial serial;
    serial.SetPortName(COM1);
    serial.SetFrameParitybit(TParityBit::None);
    serial.SetSyncEventHandling(true);
    KTSerialLink link(serial);
    QEventLoop loop;
    QElapsedTimer clock;
    // Every entry's prompt is answered at once; the clock starts at the first.
    const auto attach = [&clock](TransferSession &session) {
        QObject::connect(&session, &TransferSession::bootPromptRequested, &session,
                         [&clock, &session] {
                             if (!clock.isValid())
                                 clock.start();
                             session.answerBootPrompt(true);
                         });
    };
    const std::unique_ptr<QObject> running
        = runner(link, attach, [&](const TransferRecord &record) {
              result.seconds = clock.isValid() ? clock.nsecsElapsed() / 1e9 : 0;
              result.record = record;
              result.ok = true;
              loop.quit();
          });
    if (!result.ok)
        loop.exec();
    sim.stop();
    result.memory = sim.memory();
    return result;
}

Runner download(const DownloadRequest &request)
{
    return [request](SerialLink &link, const auto &attach, const auto &done) {
        auto transfer = std::make_unique<DownloadTransfer>(
            link, [] { return std::make_unique<KTCanLink>(); }, request, benchSetup());
        attach(*transfer);
        QObject::connect(transfer.get(), &TransferSession::event, transfer.get(),
                         [done](const TransferEvent &event) {
                             if (event.kind == TransferEvent::Kind::Finished)
                                 done(event.record);
                         });
        transfer->start();
        return std::unique_ptr<QObject>(std::move(transfer));
    };
}

Runner compare(const DownloadRequest &request)
{
    return [request](SerialLink &link, const auto &attach, const auto &done) {
        const auto [first, end] = ProductionRun::programmedSectors(request);
        auto transfer = std::make_unique<UploadTransfer>(
            ProductionRun::readBack(request, first, end), link,
            [] { return std::make_unique<KTCanLink>(); }, benchSetup());
        attach(*transfer);
        QObject::connect(transfer.get(), &TransferSession::event, transfer.get(),
                         [done](const TransferEvent &event) {
                             if (event.kind == TransferEvent::Kind::Finished)
                                 done(event.record);
                         });
        transfer->start();
        return std::unique_ptr<QObject>(std::move(transfer));
    };
}

Runner production(const DownloadRequest &request, const ProductionOptions &options)
{
    return [request, options](SerialLink &link, const auto &attach, const auto &done) {
        auto run = std::make_unique<ProductionRun>(
            link, [] { return std::make_unique<KTCanLink>(); }, request, options, benchSetup());
        ProductionRun *r = run.get();
        QObject::connect(r, &ProductionRun::sessionStarted, r,
                         [attach](TransferSession &session) { attach(session); });
        QObject::connect(r, &ProductionRun::finished, r, [r, done] { done(r->result().record); });
        r->start();
        return std::unique_ptr<QObject>(std::move(run));
    };
}

SimDeviceOptions paced(const QByteArray &memory = {})
{
    SimDeviceOptions options;
    options.baud = 115200;
    options.oneShot = false; // a production run enters the device several times
    options.exitAfterSeconds = 900;
    options.initialMemory = memory;
    return options;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    setBenchEnvironment(BRASVIK_SOURCE_DIR);
    int failPercent = 90;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--fail-at") && i + 1 < args.size())
            failPercent = qBound(1, args[++i].toInt(), 99);
    }
    TempSettings settings;
    TargetFiles::setDirectory(SimDevice::h86Directory());
    const DownloadRequest request = benchRequest();
    const QByteArray image = request.image.left(DataBytes);

    // The failure: a compare error at the block that holds the given share of the data.
    SimDeviceOptions failing;
    failing.exitAfterSeconds = 600;
    failing.extraArguments = {QStringLiteral("--compare-error"),
                              QString::number(qint64(DataBytes / BlockBytes) * failPercent / 100)};
    const Timed failed = timed(failing, download(request));
    const qint32 sector = failed.record.resumeSector;
    if (!failed.ok || failed.record.outcome == TransferOutcome::Success || sector < 0) {
        std::fprintf(stderr, "the download did not fail where it should\n");
        return 1;
    }

    DownloadRequest resumed = request;
    resumed.resumeSector = sector;
    const Timed proven = timed(paced(failed.memory), production(resumed, {}));
    const Timed whole = timed(paced(), download(request));
    const Timed compared = timed(paced(whole.memory), compare(request));
    ProductionOptions skip;
    skip.skipUnchanged = true;
    const Timed skipped = timed(paced(whole.memory), production(request, skip));
    if (!proven.ok || proven.record.outcome != TransferOutcome::Success
        || proven.memory.left(DataBytes) != image || proven.record.proofSectors.isEmpty()) {
        std::fprintf(stderr, "the proven resume did not complete the image\n");
        return 1;
    }
    if (!whole.ok || whole.record.outcome != TransferOutcome::Success || !compared.ok
        || !compared.record.compareEqual || !skipped.ok || !skipped.record.compareEqual) {
        std::fprintf(stderr, "a reference run or the skip failed\n");
        return 1;
    }
    std::printf("RS-232 at 115200 bit/s, 1 MiB image; failed at %d %%, resumed from sector %d "
                "after proving sectors %d and %d\n",
                failPercent, sector, proven.record.proofSectors.first(),
                proven.record.proofSectors.last());
    std::printf("whole download %.2f s; resume with unit proof %.2f s: %.3f of it (goal: at most "
                "0.25)\n",
                whole.seconds, proven.seconds, proven.seconds / whole.seconds);
    std::printf("compare of the image's sectors %.2f s; --skip-unchanged on a device that holds "
                "the image %.2f s: %.3f of it (goal: at most 1)\n",
                compared.seconds, skipped.seconds, skipped.seconds / compared.seconds);
    return 0;
}
