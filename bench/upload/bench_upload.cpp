// Upload benchmarks:
//   1. reading the whole 1 MiB flash over RS-232 from brasvik-sim pacing its line at
//      115200 bit/s, against the line limit of the bytes exchanged (every byte of both
//      directions at 11,520 bytes per second: per block 0x55 out, 0xAA + 256 + 1 in);
//   2. the same over the virtual CAN bus paced at 500 kbit/s (32768 requests), against the
//      bus limit of the frames exchanged;
//   3. CompareData over 1 MiB against a plain memcmp of the same buffers;
//   4. CompareData collecting the ranges of 10,000 scattered differences over 1 MiB against the
//      same compare of equal buffers (the plain compare, which reads the whole range).
// Each paced run is followed by the bare host (bench/sim/BareHost.h) reading the same region
// from the same paced device, and the tool's ratio is given as a share of the bare host's.
// --sectors N reads sectors 0..N-1 instead of the whole flash (quicker rounds).
// --rounds N repeats each pair and gives the medians (a busy machine's load drifts).
// Usage: bench_upload [--compare-only] [--skip-serial] [--skip-can] [--sectors N] [--rounds N]
#include "BareHost.h"
#include "SimRun.h"
#include "ToolVsBare.h"
#include "support/TempSettings.h"
#include "transfer/TargetFiles.h"
#include "upload/CompareData.h"
#include "upload/UploadChoice.h"
#include "upload/UploadTransfer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

SimRun runUpload(const SimDeviceOptions &options, int endSector)
{
    const UploadRequest request
        = UploadChoices::request(UploadChoice::Flash, DeviceKind::Device46xx);
    UploadSetup setup;
    setup.deviceType = DeviceKind::Device46xx;
    setup.FirstSector = request.FirstSector;
    setup.EndSector = endSector > 0 ? endSector : request.EndSector;
    setup.UploadChoiceText = request.UploadChoiceText;
    setup.comInterface = options.can ? InterfaceCAN1 : InterfaceRS232;
    setup.baudrateOrdinal = br115200;
    setup.can.bitrateCode = 7;
    const SimRun run = runOnSim(options, sessionRunner([&setup](SerialLink &link) {
                                    return std::make_unique<UploadTransfer>(
                                        setup, link, benchCanLink, benchSetup());
                                }),
                                4096);
    if (run.ok && !run.succeeded())
        std::fprintf(stderr, "upload failed: %s\n", qPrintable(run.record.reportText));
    return run;
}

void benchCompare()
{
    constexpr int Size = 0x100000;
    QByteArray image(Size, Qt::Uninitialized);
    for (int i = 0; i < Size; ++i)
        image[i] = char((i * 7 + (i >> 8)) & 0xFF);
    const QByteArray device(image.constData(), Size); // a separate buffer with equal bytes
    constexpr int Rounds = 200;

    volatile int sink = 0;
    // Read through volatile pointers, so the compiler cannot hoist the call out of the loop.
    const char *volatile a = image.constData();
    const char *volatile b = device.constData();
    QElapsedTimer clock;
    clock.start();
    for (int r = 0; r < Rounds; ++r)
        sink = sink + std::memcmp(a, b, Size);
    const double memcmpNs = double(clock.nsecsElapsed()) / Rounds;

    qint64 progressCalls = 0;
    clock.start();
    for (int r = 0; r < Rounds; ++r) {
        const CompareResult result
            = CompareData(image, device, 0, Size, false, [&](qint32) { ++progressCalls; });
        sink = sink + int(result.equal());
    }
    const double compareNs = double(clock.nsecsElapsed()) / Rounds;
    std::printf("CompareData over 1 MiB: %.3f ms (%lld progress reports per run); memcmp of the "
                "same buffers: %.3f ms; ratio %.2f\n",
                compareNs / 1e6, qlonglong(progressCalls / Rounds), memcmpNs / 1e6,
                compareNs / memcmpNs);
}

void benchRanges()
{
    constexpr int Size = 0x100000;
    constexpr int Differences = 10000;
    constexpr int Rounds = 200;
    QByteArray image(Size, Qt::Uninitialized);
    for (int i = 0; i < Size; ++i)
        image[i] = char((i * 7 + (i >> 8)) & 0xFF);
    const QByteArray equal(image.constData(), Size);
    QByteArray device(image.constData(), Size);
    // Scattered, the first one at the start, so the whole range is collected.
    quint32 seed = 4650;
    int placed = 0;
    for (int i = 0; placed < Differences; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const int at = i == 0 ? 0 : int(seed % Size);
        if (device[at] != image[at])
            continue;
        device[at] = char(~device[at]);
        ++placed;
    }

    // The fastest of many single runs: on a shared machine the others wait for the processor.
    // Once bare, once with the progress report the transfer makes every 256 bytes (the status
    // text); the range collection after the first difference makes none.
    volatile qint64 sink = 0;
    const CompareProgress statusText = [&](qint32 p) {
        sink = sink + QStringLiteral("%1 bytes have been compared").arg(p).size();
    };
    const auto fastest = [&](const QByteArray &data, const CompareProgress &progress) {
        qint64 best = std::numeric_limits<qint64>::max();
        for (int r = 0; r < Rounds; ++r) {
            QElapsedTimer clock;
            clock.start();
            const CompareResult result = CompareData(image, data, 0, Size, false, progress);
            best = std::min(best, clock.nsecsElapsed());
            sink = sink + result.bytesDiffering + result.compared;
        }
        return double(best);
    };
    // Alternate the runs, so a drift of the machine's load hits them alike.
    double plainNs = 1e18;
    double rangesNs = 1e18;
    double reportedNs = 1e18;
    double reportedRangesNs = 1e18;
    for (int pass = 0; pass < 5; ++pass) {
        plainNs = std::min(plainNs, fastest(equal, {}));
        rangesNs = std::min(rangesNs, fastest(device, {}));
        reportedNs = std::min(reportedNs, fastest(equal, statusText));
        reportedRangesNs = std::min(reportedRangesNs, fastest(device, statusText));
    }
    const CompareResult check = CompareData(image, device, 0, Size, false);
    std::printf("CompareData collecting %lld ranges (%lld bytes differing) over 1 MiB, first "
                "difference at 0 (goal <= 1.5 x the plain compare of equal buffers):\n",
                qlonglong(check.ranges.size()), qlonglong(check.bytesDiffering));
    std::printf("  bare:                 %.3f ms; plain compare %.3f ms; ratio %.2f\n",
                rangesNs / 1e6, plainNs / 1e6, rangesNs / plainNs);
    std::printf("  with the status text: %.3f ms; plain compare %.3f ms; ratio %.2f\n",
                reportedRangesNs / 1e6, reportedNs / 1e6, reportedRangesNs / reportedNs);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    setBenchEnvironment(BRASVIK_SOURCE_DIR);
    const QStringList args = app.arguments();
    const bool compareOnly = args.contains(QLatin1String("--compare-only"));
    const bool skipCan = args.contains(QLatin1String("--skip-can"));
    const bool skipSerial = args.contains(QLatin1String("--skip-serial"));
    int endSector = 0; // the whole flash
    int rounds = 1;
    const qsizetype roundsAt = args.indexOf(QLatin1String("--rounds"));
    if (roundsAt > 0 && roundsAt + 1 < args.size())
        rounds = qBound(1, args[roundsAt + 1].toInt(), 99);
    const qsizetype sectorsAt = args.indexOf(QLatin1String("--sectors"));
    if (sectorsAt > 0 && sectorsAt + 1 < args.size())
        endSector = qBound(0, args[sectorsAt + 1].toInt(), 19);
    QLoggingCategory::setFilterRules(QStringLiteral("qt.canbus*=false"));

    // 3. The compare, in memory.
    benchCompare();
    benchRanges();
    if (compareOnly)
        return 0;

    TempSettings settings;
    TargetFiles::setDirectory(SimDevice::h86Directory());

    // 1. RS-232 paced at 115200 bit/s.
    if (!skipSerial) {
        ToolVsBare figures;
        for (int round = 0; round < rounds; ++round) {
            SimDeviceOptions options;
            options.baud = 115200;
            options.exitAfterSeconds = 600;
            SimRun r;
            BareHost::Run bare;
            if (!ToolVsBare::inTurn(
                    round, [&] { return runUpload(options, endSector); },
                    [&] { return BareHost::serialUpload(options, 0, endSector); }, &r, &bare))
                return 1;
            figures.addSerialRound(endSector ? "RS-232 at 115200 bit/s: region read in "
                                             : "RS-232 at 115200 bit/s: 1 MiB read in ",
                                   r.seconds, BareHost::serialLineBytes(r.trace), bare.seconds,
                                   BareHost::serialLineBytes(bare.trace));
        }
        figures.print("RS-232 upload", 0.99);
    }

    if (skipCan)
        return 0;

    // 2. CAN paced at 500 kbit/s.
    ToolVsBare figures;
    for (int round = 0; round < rounds; ++round) {
        SimDeviceOptions options;
        options.can = true;
        options.canBitrate = 500000;
        options.canPace = true;
        options.exitAfterSeconds = 600;
        SimRun r;
        BareHost::Run bare;
        if (!ToolVsBare::inTurn(
                round, [&] { return runUpload(options, endSector); },
                [&] { return BareHost::canUpload(options, 0, endSector); }, &r, &bare))
            return 1;
        const CanBusLoad load = CanBusLoad::fromTrace(r.trace);
        std::printf("CAN at 500 kbit/s: CAN phase %.2f s (%d frames, %d requests), bus limit "
                    "%.2f s; ratio %.3f; whole upload %.2f s\n",
                    load.phaseSeconds(), load.frames, load.hostFrames, load.limitSeconds(500000),
                    load.ratio(500000), r.seconds);
        figures.addCanRound(r.trace, bare.trace);
    }
    figures.print("CAN upload", 0.97);
    return 0;
}
