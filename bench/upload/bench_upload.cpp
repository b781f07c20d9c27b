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
#include "BenchEnvironment.h"
#include "CanTurnaround.h"
#include "ToolVsBare.h"
#include "base/SettingsStore.h"
#include "comm/KTSerial.h"
#include "support/CanBusLoad.h"
#include "support/SimDevice.h"
#include "support/TempSettings.h"
#include "transfer/KTCanLink.h"
#include "transfer/KTSerialLink.h"
#include "transfer/TargetFiles.h"
#include "upload/CompareData.h"
#include "upload/UploadChoice.h"
#include "upload/UploadTransfer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLoggingCategory>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

struct RunResult
{
    bool ok = false;
    double seconds = 0;
    QList<SimTraceLine> trace;
};

RunResult runUpload(const SimDeviceOptions &options, int comInterface, int endSector)
{
    RunResult result;
    SimDevice sim(options);
    if (!sim.isReady()) {
        std::fprintf(stderr, "brasvik-sim: %s\n", qPrintable(sim.errorString()));
        return result;
    }
    SettingsStore::overrideComPortDevicePath(0, sim.serialPath());
    if (comInterface != InterfaceRS232)
        SettingsStore::overrideCanBus(sim.canBus());

    TKTSerial serial;
    serial.SetPortName(COM1);
    serial.SetFrameParitybit(TParityBit::None);
    serial.SetRxBufSize(4096);
    serial.SetTxBufSize(4096);
    serial.SetSyncEventHandling(true);
    KTSerialLink link(serial);

    const UploadRequest request
        = UploadChoices::request(UploadChoice::Flash, DeviceKind::Device46xx);
    UploadSetup setup;
    setup.deviceType = DeviceKind::Device46xx;
    setup.FirstSector = request.FirstSector;
    setup.EndSector = endSector > 0 ? endSector : request.EndSector;
    setup.UploadChoiceText = request.UploadChoiceText;
    setup.comInterface = comInterface;
    setup.baudrateOrdinal = br115200;
    setup.can.bitrateCode = 7;

    UploadTransfer transfer(setup, link, [] { return std::make_unique<KTCanLink>(); },
                            benchSetup());
    QEventLoop loop;
    QElapsedTimer clock;
    QObject::connect(&transfer, &TransferSession::bootPromptRequested, &transfer, [&] {
        clock.start();
        transfer.answerBootPrompt(true);
    });
    QObject::connect(&transfer, &TransferSession::event, &loop, [&](const TransferEvent &event) {
        if (event.kind != TransferEvent::Kind::Finished)
            return;
        const TransferRecord &report = event.record;
        result.seconds = clock.isValid() ? clock.nsecsElapsed() / 1e9 : 0;
        result.ok = report.outcome == TransferOutcome::Success;
        if (!result.ok)
            std::fprintf(stderr, "upload failed: %s\n", qPrintable(report.reportText));
        loop.quit();
    });
    transfer.start();
    loop.exec();
    sim.waitForFinished(10000);
    result.trace = sim.trace();
    return result;
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
            RunResult r;
            BareHost::Run bare;
            if (round % 2 == 0) {
                r = runUpload(options, InterfaceRS232, endSector);
                bare = BareHost::serialUpload(options, 0, endSector);
            } else {
                bare = BareHost::serialUpload(options, 0, endSector);
                r = runUpload(options, InterfaceRS232, endSector);
            }
            if (!r.ok)
                return 1;
            if (!bare.ok) {
                std::fprintf(stderr, "bare host: %s\n", qPrintable(bare.error));
                return 1;
            }
            const qint64 bytes = BareHost::serialLineBytes(r.trace);
            const qint64 bareBytes = BareHost::serialLineBytes(bare.trace);
            const double ratio = bytes / 11520.0 / r.seconds;
            const double bareRatio = bareBytes / 11520.0 / bare.seconds;
            std::printf("RS-232 at 115200 bit/s: %s read in %.2f s; line limit for %lld bytes "
                        "both ways %.2f s; ratio %.3f (goal >= 0.95)\n",
                        endSector ? "region" : "1 MiB", r.seconds, qlonglong(bytes),
                        bytes / 11520.0, ratio);
            std::printf("  bare host: %.2f s for %lld bytes; ratio %.3f; tool/bare %.3f\n",
                        bare.seconds, qlonglong(bareBytes), bareRatio, ratio / bareRatio);
            std::fflush(stdout);
            figures.add(ratio, bareRatio);
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
        RunResult r;
        BareHost::Run bare;
        if (round % 2 == 0) {
            r = runUpload(options, InterfaceCAN1, endSector);
            bare = BareHost::canUpload(options, 0, endSector);
        } else {
            bare = BareHost::canUpload(options, 0, endSector);
            r = runUpload(options, InterfaceCAN1, endSector);
        }
        if (!r.ok)
            return 1;
        if (!bare.ok) {
            std::fprintf(stderr, "bare host: %s\n", qPrintable(bare.error));
            return 1;
        }
        const CanBusLoad load = CanBusLoad::fromTrace(r.trace);
        const CanBusLoad bareLoad = CanBusLoad::fromTrace(bare.trace);
        std::printf("CAN at 500 kbit/s: CAN phase %.2f s (%d frames, %d requests), bus limit "
                    "%.2f s; ratio %.3f; whole upload %.2f s\n",
                    load.phaseSeconds(), load.frames, load.hostFrames, load.limitSeconds(500000),
                    load.ratio(500000), r.seconds);
        std::printf("  bare host: CAN phase %.2f s (%d frames); ratio %.3f; tool/bare %.3f\n",
                    bareLoad.phaseSeconds(), bareLoad.frames, bareLoad.ratio(500000),
                    load.ratio(500000) / bareLoad.ratio(500000));
        const CanTurnaround turn = CanTurnaround::of(r.trace);
        const CanTurnaround bareTurn = CanTurnaround::of(bare.trace);
        std::printf("  host turnaround on the bus (us): tool mean %.0f median %.0f p99 %.0f; bare "
                    "host mean %.0f median %.0f p99 %.0f\n",
                    turn.mean, turn.figures.median, turn.figures.p99, bareTurn.mean,
                    bareTurn.figures.median, bareTurn.figures.p99);
        std::fflush(stdout);
        figures.add(load.ratio(500000), bareLoad.ratio(500000));
    }
    figures.print("CAN upload", 0.97);
    return 0;
}
