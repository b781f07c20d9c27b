// The production line's runs against brasvik-sim, paced at 115200 bit/s, each timed from the
// first boot prompt answered to the end, with its reference measured in the same run:
//   - a 1 MiB download that failed at 90 %, resumed with its unit proof (two sectors read back
//     and compared first), against a whole download (goal: at most 0.25);
//   - --skip-unchanged on a device that already holds the image, against a compare of the
//     image's sectors (goal: at most 1).
// The failing run itself is not timed and runs unpaced.
// Usage: bench_production [--fail-at PERCENT]
#include "ResumeBench.h"
#include "production/ProductionRun.h"
#include "support/TempSettings.h"
#include "transfer/TargetFiles.h"

#include <QCoreApplication>

#include <cstdio>

using namespace ResumeBench;

namespace {

SimRunner compare(const DownloadRequest &request)
{
    return sessionRunner([request](SerialLink &link) {
        const auto [first, end] = ProductionRun::programmedSectors(request);
        return std::make_unique<UploadTransfer>(ProductionRun::readBack(request, first, end), link,
                                                benchCanLink, benchSetup());
    });
}

SimRunner production(const DownloadRequest &request, const ProductionOptions &options)
{
    return [request, options](SerialLink &link, const auto &attach, const auto &done) {
        auto run
            = std::make_unique<ProductionRun>(link, benchCanLink, request, options, benchSetup());
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
    const int failPercent = ResumeBench::failPercent(app.arguments());
    TempSettings settings;
    TargetFiles::setDirectory(SimDevice::h86Directory());
    const DownloadRequest request = ResumeBench::request();
    const QByteArray image = request.image.left(DataBytes);

    // The failure: a compare error at the block that holds the given share of the data.
    const std::optional<SimRun> failed = failedDownload(request, failingBlock(failPercent));
    if (!failed)
        return 1;
    const qint32 sector = failed->record.resumeSector;

    DownloadRequest resumed = request;
    resumed.resumeSector = sector;
    const SimRun proven = runOnSim(paced(failed->memory), production(resumed, {}));
    const SimRun whole = runOnSim(paced(), download(request));
    const SimRun compared = runOnSim(paced(whole.memory), compare(request));
    ProductionOptions skip;
    skip.skipUnchanged = true;
    const SimRun skipped = runOnSim(paced(whole.memory), production(request, skip));
    if (!proven.succeeded() || proven.memory.left(DataBytes) != image
        || proven.record.proofSectors.isEmpty()) {
        std::fprintf(stderr, "the proven resume did not complete the image\n");
        return 1;
    }
    if (!whole.succeeded() || !compared.ok || !compared.record.compareEqual || !skipped.ok
        || !skipped.record.compareEqual) {
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
