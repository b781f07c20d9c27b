// How faithfully brasvik-sim paces its lines: the bare host (BareHost.h: no tool code, no event
// hand-over) runs fixed exchanges against the simulated device and compares the time taken with
// the line or bus limit for exactly the bytes and messages exchanged, and with the same exchange
// unpaced, measured in the same run. A ratio near 1.0 means the device costs the tool nothing
// beyond the line itself, so the tool's own benchmarks measure the tool.

#include "BenchEnvironment.h"
#include "BareHost.h"

#include "support/CanBusLoad.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstdio>

namespace {

constexpr int SerialBaud = 115200;
constexpr int RetainFrames = 256;
constexpr int CanBitrate = 500000;
constexpr int RegionEndSector = 2; // sectors 0 and 1: 24 KiB

QByteArray image24k()
{
    QByteArray image(BareHost::sectorStart(RegionEndSector), Qt::Uninitialized);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i % 251);
    return image;
}

bool report(const char *name, const BareHost::Run &unpaced, const BareHost::Run &paced, bool can)
{
    if (!unpaced.ok || !paced.ok) {
        std::printf("%s: FAILED (%s)\n", name, qPrintable(paced.ok ? unpaced.error : paced.error));
        return false;
    }
    if (can) {
        const CanBusLoad load = CanBusLoad::fromTrace(paced.trace);
        const CanBusLoad reference = CanBusLoad::fromTrace(unpaced.trace);
        std::printf("%s at %d bit/s: %d messages, bus limit %.3f s, CAN phase %.3f s, ratio %.3f "
                    "(unpaced reference %.3f s)\n",
                    name, CanBitrate, load.frames, load.limitSeconds(CanBitrate),
                    load.phaseSeconds(), load.ratio(CanBitrate), reference.phaseSeconds());
    } else {
        const qint64 bytes = BareHost::serialLineBytes(paced.trace);
        const double limit = double(bytes) * 10.0 / SerialBaud;
        std::printf("%s at %d bit/s: %lld bytes, line limit %.3f s, took %.3f s, ratio %.3f "
                    "(unpaced reference %.3f s)\n",
                    name, SerialBaud, qlonglong(bytes), limit, paced.seconds, limit / paced.seconds,
                    unpaced.seconds);
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    setBenchEnvironment(BRASVIK_SOURCE_DIR);
    QLoggingCategory::setFilterRules(QStringLiteral("qt.canbus*=false"));
    bool ok = true;

    auto serial = [](int baud) {
        SimDeviceOptions options;
        options.baud = baud;
        options.eraseMs = 0;
        return options;
    };
    auto can = [](bool paced) {
        SimDeviceOptions options;
        options.can = true;
        options.canBitrate = CanBitrate;
        options.canPace = paced;
        options.eraseMs = 0;
        return options;
    };
    const QByteArray image = image24k();

    ok &= report("serial upload, 256-byte blocks",
                 BareHost::serialUpload(serial(0), 0, RegionEndSector),
                 BareHost::serialUpload(serial(SerialBaud), 0, RegionEndSector), false);
    ok &= report("serial download, 18-byte frames",
                 BareHost::serialRetainDownload(serial(0), RetainFrames),
                 BareHost::serialRetainDownload(serial(SerialBaud), RetainFrames), false);
    ok &= report("serial download, 32-byte blocks",
                 BareHost::serialDownload(serial(0), image, int(image.size())),
                 BareHost::serialDownload(serial(SerialBaud), image, int(image.size())), false);
    ok &= report("CAN upload, 32-byte batches", BareHost::canUpload(can(false), 0, RegionEndSector),
                 BareHost::canUpload(can(true), 0, RegionEndSector), true);
    ok &= report("CAN download, 32-byte blocks",
                 BareHost::canDownload(can(false), image, int(image.size())),
                 BareHost::canDownload(can(true), image, int(image.size())), true);
    return ok ? 0 : 1;
}
