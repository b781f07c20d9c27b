// Download benchmarks against brasvik-sim:
//   1. a 1 MiB image (no 0xFFFF word) over RS-232 paced at 115200 bit/s, against the line limit
//      (every byte of both directions at 11,520 bytes per second);
//   2. the host's turnaround per block (answer in, next frame out) on an unpaced line;
//   3. the same image over the virtual CAN bus paced at 500 kbit/s, against the bus limit of
//      the frames exchanged;
//   4. the peak memory of a whole download.
// Each paced run is followed by the bare host (bench/sim/BareHost.h) doing the same download
// against the same paced device, and the tool's ratio is given as a share of the bare host's.
// --rounds N repeats each pair and gives the medians (a busy machine's load drifts).
// Usage: bench_download [--size BYTES] [--rounds N] [--skip-paced] [--skip-serial] [--skip-can]
#include "BareHost.h"
#include "LatencyFigures.h"
#include "SimRun.h"
#include "ToolVsBare.h"
#include "download/DownloadTransfer.h"
#include "support/TempSettings.h"
#include "transfer/TargetFiles.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstdio>
#include <vector>

namespace {

// An image without a single 0xFF byte, so that every word is sent.
QByteArray benchImage(int size)
{
    QByteArray image(0x100008, char(0xFF));
    for (int i = 0; i < size; ++i)
        image[i] = char(i % 251);
    return image;
}

SimRun runDownload(const QByteArray &image, int dataEnd, const SimDeviceOptions &options)
{
    DownloadRequest request;
    request.image = image;
    request.dataEnd = dataEnd;
    request.deviceType = DeviceKind::Device46xx;
    request.settings.brDefault = br115200;
    request.settings.COMInterface = options.can ? InterfaceCAN1 : InterfaceRS232;
    request.settings.CANBaudrate = 7;
    const SimRun run = runOnSim(options, sessionRunner([&request](SerialLink &link) {
                                    return std::make_unique<DownloadTransfer>(
                                        link, benchCanLink, request, benchSetup());
                                }));
    if (run.ok && !run.succeeded())
        std::fprintf(stderr, "download failed: %s\n", qPrintable(run.record.reportText));
    return run;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    setBenchEnvironment(BRASVIK_SOURCE_DIR);
    int size = 0x100000 - 2;
    bool skipPaced = false;
    bool skipSerial = false;
    bool skipCan = false;
    int rounds = 1;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--size") && i + 1 < args.size())
            size = qBound(2, args[++i].toInt(), 0x100000 - 2) & ~1; // whole words
        else if (args[i] == QLatin1String("--skip-paced"))
            skipPaced = true;
        else if (args[i] == QLatin1String("--skip-serial"))
            skipSerial = true;
        else if (args[i] == QLatin1String("--skip-can"))
            skipCan = true;
        else if (args[i] == QLatin1String("--rounds") && i + 1 < args.size())
            rounds = qBound(1, args[++i].toInt(), 99);
    }
    QLoggingCategory::setFilterRules(QStringLiteral("qt.canbus*=false"));
    TempSettings settings;
    TargetFiles::setDirectory(SimDevice::h86Directory());

    const long rssBefore = maxRssKiB();
    const QByteArray image = benchImage(size);
    std::printf("image: %d bytes of data (%.2f MiB), no 0xFFFF word\n", size, size / 1048576.0);

    // 2. Turnaround, unpaced.
    {
        const SimRun r = runDownload(image, size, SimDeviceOptions());
        if (!r.succeeded())
            return 1;
        std::vector<double> turnaround;
        qint64 answerAt = -1;
        for (const SimTraceLine &line : r.trace) {
            if (line.can)
                continue;
            if (line.kind == SimTraceLine::Kind::DeviceToHost && line.bytes == "\x55")
                answerAt = line.micros;
            else if (line.kind == SimTraceLine::Kind::HostToDevice && answerAt >= 0) {
                turnaround.push_back(double(line.micros - answerAt) / 1000.0);
                answerAt = -1;
            }
        }
        const LatencyFigures blocks = LatencyFigures::of(turnaround);
        std::printf("unpaced RS-232: %.2f s for the download, %zu blocks\n", r.seconds,
                    turnaround.size());
        std::printf("host turnaround per block (answer in to next frame out, seen by the "
                    "device): median %.3f ms, p99 %.3f ms (goal: median < 0.5 ms)\n",
                    blocks.median, blocks.p99);
        std::printf("peak memory of the download: %.1f MiB above the start, image %.1f MiB "
                    "(the caller's copy plus the transfer's copy)\n",
                    (r.peakRssKiB - rssBefore) / 1024.0, image.size() / 1048576.0);
    }

    if (skipPaced)
        return 0;

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
                    round, [&] { return runDownload(image, size, options); },
                    [&] { return BareHost::serialDownload(options, image, size); }, &r, &bare))
                return 1;
            figures.addSerialRound("RS-232 at 115200 bit/s: ", r.seconds,
                                   BareHost::serialLineBytes(r.trace), bare.seconds,
                                   BareHost::serialLineBytes(bare.trace));
        }
        figures.print("RS-232 download", 0.99);
    }

    // 3. CAN paced at 500 kbit/s.
    if (!skipCan) {
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
                    round, [&] { return runDownload(image, size, options); },
                    [&] { return BareHost::canDownload(options, image, size); }, &r, &bare))
                return 1;
            const CanBusLoad load = CanBusLoad::fromTrace(r.trace);
            std::printf("CAN at 500 kbit/s: CAN phase %.2f s (%d frames), bus limit %.2f s; "
                        "ratio %.3f; whole download %.2f s\n",
                        load.phaseSeconds(), load.frames, load.limitSeconds(500000),
                        load.ratio(500000), r.seconds);
            figures.addCanRound(r.trace, bare.trace);
        }
        figures.print("CAN download", 0.97);
    }
    return 0;
}
