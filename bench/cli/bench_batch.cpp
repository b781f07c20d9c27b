// Several devices from one brasvik-cli run: N = 1, 2, 4 and 8 (up to 16) simulated devices paced
// at 115200 bit/s download the same 256 KiB image at once. Prints the wall time of the run for N
// against N = 1 (goal: at most 1.10, up to N = 16) and brasvik-cli's processor time per
// device-transfer as a share of one core (goal: under 1 % at N = 16).
// The devices stay up until the run has ended, so the only child reaped while brasvik-cli runs
// is brasvik-cli itself and RUSAGE_CHILDREN gives its processor time alone.
// With --verify every device's download is read back and compared as well (the production
// line's run of a download, a further entry and a compare per device).
// Usage: bench_batch [--size BYTES] [--counts 1,2,4,8] [--verify]
#include "BenchEnvironment.h"
#include "support/CliProcess.h"
#include "support/H86Builder.h"
#include "support/SimDevice.h"
#include "support/TempSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <vector>

namespace {

double childCpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct BatchRun
{
    bool ok = false;
    double seconds = 0;
    double cpuSeconds = 0;
};

BatchRun runBatch(int count, const QString &image, const QByteArray &data, bool verify)
{
    BatchRun result;
    std::vector<std::unique_ptr<SimDevice>> sims;
    QStringList args {"download", image, "--device", "46xx", "--h86-dir",
                      SimDevice::h86Directory(), "--yes", "--baud", "115200"};
    if (verify)
        args << QStringLiteral("--verify");
    for (int i = 0; i < count; ++i) {
        SimDeviceOptions options;
        options.baud = 115200;
        options.oneShot = false;
        options.exitAfterSeconds = 600;
        sims.push_back(std::make_unique<SimDevice>(options));
        if (!sims.back()->isReady()) {
            std::fprintf(stderr, "brasvik-sim: %s\n", qPrintable(sims.back()->errorString()));
            return result;
        }
        args << QStringLiteral("--port") << sims.back()->serialPath();
    }

    QProcess cli;
    cli.setStandardOutputFile(QProcess::nullDevice());
    cli.setStandardErrorFile(QProcess::nullDevice());
    const double cpuBefore = childCpuSeconds();
    QElapsedTimer clock;
    clock.start();
    cli.start(cliPath(), args);
    if (!cli.waitForFinished(900000) || cli.exitStatus() != QProcess::NormalExit) {
        std::fprintf(stderr, "brasvik-cli did not end\n");
        return result;
    }
    result.seconds = clock.nsecsElapsed() / 1e9;
    result.cpuSeconds = childCpuSeconds() - cpuBefore;
    result.ok = cli.exitCode() == 0;
    if (!result.ok)
        std::fprintf(stderr, "brasvik-cli exited with %d\n", cli.exitCode());
    for (auto &sim : sims) {
        sim->stop();
        if (sim->flash().left(data.size()) != data) {
            std::fprintf(stderr, "a device does not hold the image\n");
            result.ok = false;
        }
    }
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    setBenchEnvironment(BRASVIK_SOURCE_DIR);
    int size = 256 * 1024;
    QList<int> counts {1, 2, 4, 8};
    bool verify = false;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--verify")) {
            verify = true;
        } else if (args[i] == QLatin1String("--size") && i + 1 < args.size()) {
            size = qBound(32, args[++i].toInt(), 0x80000) & ~31;
        } else if (args[i] == QLatin1String("--counts") && i + 1 < args.size()) {
            counts.clear();
            for (const QString &n : args[++i].split(u','))
                counts << qBound(1, n.toInt(), 16);
        }
    }
    TempSettings settings;
    QTemporaryDir dir;
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char(i % 251); // no 0xFF: every word is sent
    const QString image = QDir(dir.path()).filePath(QStringLiteral("bench.h86"));
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly)
        || file.write(H86Builder().data(0, data, 32).end().text()) < 0)
        return 1;
    file.close();
    std::printf("image: %d bytes, RS-232 paced at 115200 bit/s, %d processors online%s\n", size,
                QThread::idealThreadCount(), verify ? ", with --verify" : "");

    double single = 0;
    bool allOk = true;
    for (const int n : counts) {
        const BatchRun r = runBatch(n, image, data, verify);
        if (!r.ok) {
            allOk = false;
            continue;
        }
        if (single == 0)
            single = r.seconds;
        const double perDevice = r.cpuSeconds / n / r.seconds * 100.0;
        std::printf("N = %d: %.2f s, against N = 1 %.3f%s; brasvik-cli %.2f s processor time, "
                    "%.2f %% of a core per device-transfer (goal < 1 %%)\n",
                    n, r.seconds, r.seconds / single, n > 1 ? " (goal <= 1.10)" : "", r.cpuSeconds,
                    perDevice);
        std::fflush(stdout);
    }
    return allOk ? 0 : 1;
}
