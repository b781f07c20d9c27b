// Resume benchmark against brasvik-sim: a 1 MiB download over RS-232 that fails at 90 % and is
// resumed, paced at 115200 bit/s. Prints the resumed part's time (boot prompt answered to the
// device's end, bootstrap and erase included) against a whole download's, as a ratio.
// The failing run itself is not timed, so it runs unpaced; the device's memory after it is
// what the resumed run starts from.
// Usage: bench_resume [--fail-at PERCENT]
#include "BenchEnvironment.h"
#include "base/SettingsStore.h"
#include "comm/KTSerial.h"
#include "core/SectorMap.h"
#include "download/DownloadTransfer.h"
#include "support/SimDevice.h"
#include "support/TempSettings.h"
#include "transfer/KTCanLink.h"
#include "transfer/KTSerialLink.h"
#include "transfer/TargetFiles.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>

#include <cstdio>

namespace {

constexpr int DataBytes = 0x100000 - 2;
constexpr int BlockBytes = 32;

struct RunResult
{
    bool ok = false;
    double seconds = 0;
    double beforeData = 0; // bootstrap, sector range and erase
    TransferRecord record;
    QByteArray memory; // the device's after the run
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

RunResult runDownload(const DownloadRequest &request, const SimDeviceOptions &options)
{
    RunResult result;
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
    DownloadTransfer transfer(
        link, [] { return std::make_unique<KTCanLink>(); }, request, benchSetup());
    QEventLoop loop;
    QElapsedTimer clock;
    QObject::connect(&transfer, &TransferSession::bootPromptRequested, &transfer, [&] {
        clock.start();
        transfer.answerBootPrompt(true);
    });
    QObject::connect(&transfer, &TransferSession::event, &loop, [&](const TransferEvent &event) {
        if (event.kind == TransferEvent::Kind::Phase && event.phase == TransferPhase::Data)
            result.beforeData = clock.isValid() ? clock.nsecsElapsed() / 1e9 : 0;
        if (event.kind != TransferEvent::Kind::Finished)
            return;
        result.seconds = clock.isValid() ? clock.nsecsElapsed() / 1e9 : 0;
        result.record = event.record;
        result.ok = true;
        loop.quit();
    });
    transfer.start();
    loop.exec();
    sim.waitForFinished(10000);
    sim.stop();
    result.memory = sim.memory();
    return result;
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

    // The failure: a compare error at the block that holds the given share of the data.
    const int failingBlock = int(qint64(DataBytes / BlockBytes) * failPercent / 100);
    SimDeviceOptions failing;
    failing.exitAfterSeconds = 600;
    failing.extraArguments = {QStringLiteral("--compare-error"), QString::number(failingBlock)};
    const RunResult failed = runDownload(request, failing);
    const qint32 sector = failed.record.resumeSector;
    if (!failed.ok || failed.record.outcome == TransferOutcome::Success || sector < 0) {
        std::fprintf(stderr, "the download did not fail where it should\n");
        return 1;
    }
    std::printf("failed at block %d (%d %%), address %06llXh: resume from sector %d (%06Xh, "
                "%.1f %% of the data left)\n",
                failingBlock, failPercent, static_cast<unsigned long long>(failed.record.failedAddress), sector,
                SectorStart(sector), 100.0 * (DataBytes - SectorStart(sector)) / DataBytes);

    SimDeviceOptions paced;
    paced.baud = 115200;
    paced.exitAfterSeconds = 600;
    paced.initialMemory = failed.memory;
    DownloadRequest resumed = request;
    resumed.resumeSector = sector;
    const RunResult part = runDownload(resumed, paced);
    if (!part.ok || part.record.outcome != TransferOutcome::Success
        || part.memory.left(DataBytes) != request.image.left(DataBytes)) {
        std::fprintf(stderr, "the resumed download did not complete the image\n");
        return 1;
    }

    paced.initialMemory.clear();
    const RunResult whole = runDownload(request, paced);
    if (!whole.ok || whole.record.outcome != TransferOutcome::Success) {
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
