#pragma once

#include "SimRun.h"
#include "download/DownloadTransfer.h"

#include <QStringList>

#include <optional>

// A 1 MiB download over RS-232 made to fail at a share of its data, so that what comes after it
// can be timed from where it stopped: the resume and production benchmarks.
namespace ResumeBench {

constexpr int DataBytes = 0x100000 - 2;
constexpr int BlockBytes = 32;

inline DownloadRequest request()
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

// The share of the data at which the download fails: --fail-at PERCENT, 90 unless given.
inline int failPercent(const QStringList &args)
{
    int percent = 90;
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--fail-at") && i + 1 < args.size())
            percent = qBound(1, args[++i].toInt(), 99);
    }
    return percent;
}

// The block that holds `failPercent` of the data.
inline int failingBlock(int failPercent)
{
    return int(qint64(DataBytes / BlockBytes) * failPercent / 100);
}

inline SimRunner download(const DownloadRequest &request)
{
    return sessionRunner([request](SerialLink &link) {
        return std::make_unique<DownloadTransfer>(link, benchCanLink, request, benchSetup());
    });
}

// The download failed by a compare error at `failingBlock`, unpaced (it is not timed); its
// record names the sector to resume from. Empty, and said why, when it did not fail there.
inline std::optional<SimRun> failedDownload(const DownloadRequest &request, int failingBlock)
{
    SimDeviceOptions failing;
    failing.exitAfterSeconds = 600;
    failing.extraArguments = {QStringLiteral("--compare-error"), QString::number(failingBlock)};
    SimRun failed = runOnSim(failing, download(request));
    if (!failed.ok || failed.record.outcome == TransferOutcome::Success
        || failed.record.resumeSector < 0) {
        std::fprintf(stderr, "the download did not fail where it should\n");
        return std::nullopt;
    }
    return failed;
}

} // namespace ResumeBench
