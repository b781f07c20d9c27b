// Resume benchmark against brasvik-sim: a 1 MiB download over RS-232 that fails at 90 % and is
// resumed, paced at 115200 bit/s. Prints the resumed part's time (boot prompt answered to the
// device's end, bootstrap and erase included) against a whole download's, as a ratio.
// The failing run itself is not timed, so it runs unpaced; the device's memory after it is
// what the resumed run starts from.
// Usage: bench_resume [--fail-at PERCENT]
#include "ResumeBench.h"
#include "core/SectorMap.h"
#include "support/TempSettings.h"
#include "transfer/TargetFiles.h"

#include <QCoreApplication>

#include <cstdio>

using namespace ResumeBench;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    setBenchEnvironment(BRASVIK_SOURCE_DIR);
    const int failPercent = ResumeBench::failPercent(app.arguments());
    TempSettings settings;
    TargetFiles::setDirectory(SimDevice::h86Directory());
    const DownloadRequest request = ResumeBench::request();

    // The failure: a compare error at the block that holds the given share of the data.
    const int failingBlock = ResumeBench::failingBlock(failPercent);
    const std::optional<SimRun> failed = failedDownload(request, failingBlock);
    if (!failed)
        return 1;
    const qint32 sector = failed->record.resumeSector;
    std::printf("failed at block %d (%d %%), address %06llXh: resume from sector %d (%06Xh, "
                "%.1f %% of the data left)\n",
                failingBlock, failPercent,
                static_cast<unsigned long long>(failed->record.failedAddress), sector,
                SectorStart(sector), 100.0 * (DataBytes - SectorStart(sector)) / DataBytes);

    SimDeviceOptions paced;
    paced.baud = 115200;
    paced.exitAfterSeconds = 600;
    paced.initialMemory = failed->memory;
    DownloadRequest resumed = request;
    resumed.resumeSector = sector;
    const SimRun part = runOnSim(paced, download(resumed));
    if (!part.succeeded() || part.memory.left(DataBytes) != request.image.left(DataBytes)) {
        std::fprintf(stderr, "the resumed download did not complete the image\n");
        return 1;
    }

    paced.initialMemory.clear();
    const SimRun whole = runOnSim(paced, download(request));
    if (!whole.succeeded()) {
        std::fprintf(stderr, "the whole download failed\n");
        return 1;
    }
    std::printf("RS-232 at 115200 bit/s: whole download %.2f s (%.2f s before the data), "
                "resumed part %.2f s (%.2f s before the data)\n",
                whole.seconds, whole.beforeData, part.seconds, part.beforeData);
    std::printf("resumed part / whole download: %.3f (goal: at most 0.15)\n",
                part.seconds / whole.seconds);
    return 0;
}
