// Upload benchmarks:
//   1. reading the whole 1 MiB flash over RS-232 from brasvik-sim pacing its line at
//      115200 bit/s, against the line limit of the bytes exchanged (every byte of both
//      directions at 11,520 bytes per second: per block 0x55 out, 0xAA + 256 + 1 in);
//   2. the same over the virtual CAN bus paced at 500 kbit/s (32768 requests), against the
//      bus limit of the frames exchanged;
//   3. CompareData over 1 MiB against a plain memcmp of the same buffers.
// Usage: bench_upload [--compare-only] [--skip-can]
#include "support/CanBusLoad.h"
#include "upload/CompareData.h"
#include "transfer/KTCanLink.h"
#include "comm/KTSerial.h"
#include "transfer/KTSerialLink.h"
#include "base/SettingsStore.h"
#include "support/SimDevice.h"
#include "transfer/TargetFiles.h"
#include "support/TempSettings.h"
#include "upload/UploadChoice.h"
#include "upload/UploadTransfer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <cstdio>
#include <cstring>

namespace {

struct RunResult
{
    bool ok = false;
    double seconds = 0;
    QList<SimTraceLine> trace;
};

RunResult runUpload(const SimDeviceOptions &options, int comInterface)
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

    const UploadRequest request = UploadChoices::request(UploadChoice::Flash, Device46xx);
    UploadSetup setup;
    setup.deviceType = Device46xx;
    setup.FirstSector = request.FirstSector;
    setup.EndSector = request.EndSector;
    setup.UploadChoiceText = request.UploadChoiceText;
    setup.comInterface = comInterface;
    setup.baudrateOrdinal = br115200;
    setup.can.bitrateCode = 7;

    UploadTransfer transfer(setup, link, [] { return std::make_unique<KTCanLink>(); });
    QEventLoop loop;
    QElapsedTimer clock;
    QObject::connect(&transfer, &TransferBase::bootPromptRequested, &transfer, [&] {
        clock.start();
        transfer.answerBootPrompt(true);
    });
    QObject::connect(&transfer, &TransferBase::event, &loop, [&](const TransferEvent &event) {
        if (event.kind != TransferEvent::Kind::Finished)
            return;
        const TransferRecord &report = event.record;
        result.seconds = clock.isValid() ? clock.nsecsElapsed() / 1e9 : 0;
        result.ok = report.outcome == TransferOutcome::Success;
        if (!result.ok)
            std::fprintf(stderr, "upload failed: %s\n",
                         qPrintable(report.reportText));
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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("BRASVIK_BIN_DIR"))
        qputenv("BRASVIK_BIN_DIR", QFile::encodeName(QCoreApplication::applicationDirPath()));
    if (qEnvironmentVariableIsEmpty("BRASVIK_SOURCE_DIR"))
        qputenv("BRASVIK_SOURCE_DIR", BRASVIK_SOURCE_DIR);
    const QStringList args = app.arguments();
    const bool compareOnly = args.contains(QLatin1String("--compare-only"));
    const bool skipCan = args.contains(QLatin1String("--skip-can"));

    // 3. The compare, in memory.
    benchCompare();
    if (compareOnly)
        return 0;

    TempSettings settings;
    TargetFiles::setDirectory(SimDevice::h86Directory());

    // 1. RS-232 paced at 115200 bit/s.
    {
        SimDeviceOptions options;
        options.baud = 115200;
        options.exitAfterSeconds = 600;
        const RunResult r = runUpload(options, InterfaceRS232);
        if (!r.ok)
            return 1;
        qint64 bytes = 0;
        for (const SimTraceLine &line : r.trace) {
            if (!line.can && line.kind != SimTraceLine::Kind::Event)
                bytes += line.bytes.size();
        }
        const double limit = bytes / 11520.0;
        std::printf("RS-232 at 115200 bit/s: 1 MiB read in %.2f s; line limit for %lld bytes "
                    "both ways %.2f s; ratio %.3f (goal >= 0.95)\n",
                    r.seconds, qlonglong(bytes), limit, limit / r.seconds);
    }

    if (skipCan)
        return 0;

    // 2. CAN paced at 500 kbit/s.
    {
        SimDeviceOptions options;
        options.can = true;
        options.canBitrate = 500000;
        options.canPace = true;
        options.exitAfterSeconds = 600;
        const RunResult r = runUpload(options, InterfaceCAN1);
        if (!r.ok)
            return 1;
        const CanBusLoad load = CanBusLoad::fromTrace(r.trace);
        std::printf("CAN at 500 kbit/s: CAN phase %.2f s (%d frames, %d requests), bus limit "
                    "%.2f s; ratio %.3f; whole upload %.2f s\n",
                    load.phaseSeconds(), load.frames, load.hostFrames, load.limitSeconds(500000),
                    load.ratio(500000), r.seconds);
    }
    return 0;
}
