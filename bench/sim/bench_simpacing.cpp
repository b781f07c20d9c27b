// How faithfully brasvik-sim paces its lines: a bare host (no tool code, no event hand-over)
// runs fixed exchanges against the simulated device and compares the time taken with the
// line or bus limit for exactly the bytes and messages exchanged, and with the same exchange
// unpaced, measured in the same run. A ratio near 1.0 means the device costs the tool
// nothing beyond the line itself, so the tool's own benchmarks measure the tool.

#include "support/SimDevice.h"
#include "support/SimWire.h"

#include <QCanBus>
#include <QCanBusDevice>
#include <QCanBusFrame>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {

constexpr int SerialBaud = 115200;
constexpr int UploadBlocks = 64; // sectors 0 and 1: 24 KiB
constexpr int DownloadBlocks = 300;
constexpr int CanBitrate = 500000;
constexpr int CanBatches = 768; // sectors 0 and 1: 24 KiB

struct Run
{
    double seconds = 0;
    qint64 lineBytes = 0; // both directions
    bool ok = false;
};

bool boot(SimWire &wire, const QString &loader, const QString &program, qint64 *bytes)
{
    QByteArray answers;
    const QByteArray l = SimWire::programBytes(loader);
    const QByteArray p = SimWire::programBytes(program);
    wire.write(QByteArray(1, '\0'));
    answers += wire.read(1);
    wire.write(l);
    answers += wire.read(1);
    wire.write(p);
    answers += wire.read(1);
    *bytes += 1 + l.size() + p.size() + 3;
    return answers == QByteArray::fromHex("C501AA");
}

Run serialUpload(int baud)
{
    SimDeviceOptions options;
    options.baud = baud;
    SimDevice sim(options);
    Run run;
    SimWire wire(sim.serialPath());
    QElapsedTimer timer;
    timer.start();
    if (!sim.isReady() || !boot(wire, "ULoader.H86", "Upload.H86", &run.lineBytes))
        return run;
    wire.write(QByteArray::fromHex("00"));
    wire.read(1);
    wire.write(QByteArray::fromHex("02"));
    wire.read(1);
    run.lineBytes += 4;
    for (int n = 0; n <= UploadBlocks; ++n) {
        wire.write(QByteArray::fromHex("55"));
        const int expect = n < UploadBlocks ? 258 : 1;
        if (wire.read(expect, 5000).size() != expect)
            return run;
        run.lineBytes += 1 + expect;
    }
    run.seconds = double(timer.nsecsElapsed()) / 1e9;
    run.ok = true;
    return run;
}

Run serialDownload(int baud)
{
    SimDeviceOptions options;
    options.baud = baud;
    options.eraseMs = 0;
    SimDevice sim(options);
    Run run;
    SimWire wire(sim.serialPath());
    QElapsedTimer timer;
    timer.start();
    if (!sim.isReady() || !boot(wire, "DLoaderNV.H86", "DownloadNV.H86", &run.lineBytes))
        return run;
    for (int n = 0; n < DownloadBlocks && n < 256; ++n) {
        wire.write(SimWire::retainFrame(QByteArray(16, char(n))));
        if (wire.read(1, 5000).size() != 1)
            return run;
        run.lineBytes += 19;
    }
    run.seconds = double(timer.nsecsElapsed()) / 1e9;
    run.ok = true;
    return run;
}

// CAN upload of the first two sectors: per batch one request, four data messages and a
// status.
Run canUpload(bool paced, qint64 *busBits)
{
    SimDeviceOptions options;
    options.can = true;
    options.canBitrate = CanBitrate;
    options.canPace = paced;
    SimDevice sim(options);
    Run run;
    if (!sim.isReady())
        return run;
    QString error;
    std::unique_ptr<QCanBusDevice> node(QCanBus::instance()->createDevice(
        QStringLiteral("virtualcan"), sim.canBus().mid(11), &error));
    if (!node || !node->connectDevice())
        return run;
    QEventLoop wait;
    QTimer::singleShot(3000, &wait, &QEventLoop::quit);
    QObject::connect(node.get(), &QCanBusDevice::stateChanged, &wait,
                     [&](QCanBusDevice::CanBusDeviceState s) {
                         if (s == QCanBusDevice::ConnectedState)
                             wait.quit();
                     });
    if (node->state() != QCanBusDevice::ConnectedState)
        wait.exec();
    SimWire wire(sim.serialPath());
    qint64 serialBytes = 0;
    if (!boot(wire, "ULoaderCAN.H86", "UploadCAN1_500K.H86", &serialBytes)) {
        fprintf(stderr, "CAN boot failed: %s\n", qPrintable(sim.errorString()));
        return run;
    }
    QElapsedTimer timer;
    timer.start();
    *busBits = 0;
    for (int n = -1; n < CanBatches; ++n) {
        // First the region request (sectors 0 and 1), answered by one status message.
        const int expected = n < 0 ? 1 : 5;
        node->writeFrame(QCanBusFrame(0x63F, QByteArray::fromHex(n < 0 ? "0002" : "55")));
        int got = 0;
        QEventLoop loop;
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        auto drain = [&] {
            while (node->framesAvailable()) {
                const QCanBusFrame f = node->readFrame();
                *busBits += 47 + 8 * f.payload().size();
                ++got;
            }
            if (got >= expected)
                loop.quit();
        };
        QObject::connect(node.get(), &QCanBusDevice::framesReceived, &loop, drain);
        drain();
        if (got < expected)
            loop.exec();
        if (got < expected) {
            fprintf(stderr, "CAN batch %d: %d messages\n", n, got);
            return run;
        }
        *busBits += 47 + 8 * (n < 0 ? 2 : 1);
    }
    run.seconds = double(timer.nsecsElapsed()) / 1e9;
    run.ok = true;
    return run;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("BRASVIK_BIN_DIR"))
        qputenv("BRASVIK_BIN_DIR", BRASVIK_BIN_DIR);
    if (qEnvironmentVariableIsEmpty("BRASVIK_SOURCE_DIR"))
        qputenv("BRASVIK_SOURCE_DIR", BRASVIK_SOURCE_DIR);
    int status = 0;

    for (const auto &[name, exchange] :
         {std::pair {"serial upload, 256-byte blocks", &serialUpload},
          std::pair {"serial download, 18-byte frames", &serialDownload}}) {
        const Run unpaced = exchange(0);
        const Run paced = exchange(SerialBaud);
        if (!unpaced.ok || !paced.ok) {
            printf("%s: FAILED\n", name);
            status = 1;
            continue;
        }
        const double limit = double(paced.lineBytes) * 10.0 / SerialBaud;
        printf("%s at %d bit/s: %lld bytes, line limit %.3f s, took %.3f s, ratio %.3f "
               "(unpaced reference %.3f s)\n",
               name, SerialBaud, paced.lineBytes, limit, paced.seconds, limit / paced.seconds,
               unpaced.seconds);
    }

    qint64 bits = 0;
    const Run unpaced = canUpload(false, &bits);
    const Run paced = canUpload(true, &bits);
    if (!unpaced.ok || !paced.ok) {
        printf("CAN upload: FAILED\n");
        return 1;
    }
    const double limit = double(bits) / CanBitrate;
    printf("CAN upload at %d bit/s: %d batches, %lld bus bits, bus limit %.3f s, took %.3f s, "
           "ratio %.3f (unpaced reference %.3f s)\n",
           CanBitrate, CanBatches, bits, limit, paced.seconds, limit / paced.seconds,
           unpaced.seconds);
    return status;
}
