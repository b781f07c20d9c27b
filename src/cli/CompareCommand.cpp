#include "cli/CliTransferArgs.h"
#include "cli/CliBatchRunner.h"
#include "cli/CliCommand.h"
#include "cli/CliOptions.h"
#include "cli/CliTransferRunner.h"
#include "cli/CliTransferSetup.h"
#include "comm/KTSerial.h"
#include "comm/ResourceIdentity.h"
#include "core/ContentText.h"
#include "core/ImageState.h"
#include "core/OutputFile.h"
#include "transfer/TransferLinks.h"
#include "upload/UploadRegion.h"
#include "upload/UploadTransfer.h"

#include <algorithm>
#include <optional>

namespace {

// --diff prints this many ranges; --diff=all every one.
constexpr qsizetype DiffRowsShown = 50;

QString hexAddress(qint32 address)
{
    return QStringLiteral("%1").arg(address, 6, 16, QLatin1Char('0')).toUpper() + u'h';
}

// The ranges of differing bytes as --diff prints them after the report.
QString diffTable(const CompareResult &result, bool all)
{
    QString text = QStringLiteral("%1 bytes differ in %2 ranges:\n")
                       .arg(result.bytesDiffering)
                       .arg(result.ranges.size());
    text += QStringLiteral("Start    End      Bytes     Sector\n");
    const qsizetype shown
        = all ? result.ranges.size() : std::min(result.ranges.size(), DiffRowsShown);
    for (qsizetype i = 0; i < shown; ++i) {
        const CompareRange &r = result.ranges.at(i);
        text += QStringLiteral("%1  %2  %3  %4\n")
                    .arg(hexAddress(r.start), hexAddress(r.end))
                    .arg(r.bytes, -8)
                    .arg(r.sector >= 0 ? QString::number(r.sector) : QStringLiteral("-"));
    }
    if (shown < result.ranges.size()) {
        qint64 rest = 0;
        for (qsizetype i = shown; i < result.ranges.size(); ++i)
            rest += result.ranges.at(i).bytes;
        text += QStringLiteral("… and %1 more ranges (%2 bytes)\n")
                    .arg(result.ranges.size() - shown)
                    .arg(rest);
    }
    text.chop(1);
    return text;
}

} // namespace

int runCompare(const QStringList &args)
{
    const QString diff = QStringLiteral("diff");
    const QString diffDump = QStringLiteral("diff-dump");
    CliTransferArgs parsed({diffDump}, {}, {diff});
    if (QString error; !parsed.parse(args, &error))
        return usageError(error);
    const CliOptions &options = parsed.options;
    CliFeedOptions &feeds = parsed.feeds;
    const bool showDiff = options.isSet(diff);
    const bool showAll = options.value(diff) == QLatin1String("all");
    if (showDiff && !showAll && !options.value(diff).isEmpty())
        return usageError(QStringLiteral("--diff takes no value or \"all\""));
    if (options.isSet(diffDump) && options.value(diffDump).isEmpty())
        return usageError(QStringLiteral("--diff-dump needs a file name"));
    if (options.positional().size() != 1)
        return usageError(QStringLiteral("compare needs exactly one IMAGE"));
    if (showDiff && feeds.json)
        return usageError(QStringLiteral("--diff and --json exclude each other: the JSON "
                                         "record holds the ranges"));
    // The dump may be neither the image nor a file the run writes otherwise.
    ResourceIdentity::FileClaims files;
    (void)files.claim(QStringLiteral("the image ") + options.positional().first(),
                      options.positional().first());
    if (QString error; !feeds.claimFiles(&files, &error)
        || (options.isSet(diffDump)
            && !claimOutput(&files, QStringLiteral("--diff-dump"), options.value(diffDump),
                            &error)))
        return usageError(error);

    ImageState image;
    DeviceKind deviceType = DeviceKind::None;
    CliTransferSetup::Setup setup;
    if (!CliTransferSetup::loadAndPrepare(options.positional().first(), options, &image,
                                          &deviceType, &setup))
        return ExitUsage;

    // The region as the Compare command sets it from the loaded image.
    DeviceType = deviceType;
    image.prepareCompare(deviceType, ContentText(image, deviceType));

    const UploadSetup uploadSetup = UploadSetup::fromSelections(image, deviceType, setup.settings);
    if (!setup.ports.isEmpty() && (showDiff || options.isSet(diffDump)))
        return usageError(QStringLiteral("--diff and --diff-dump compare one device: give "
                                         "--port once"));
    if (!setup.ports.isEmpty() && !feeds.tracePath.isEmpty())
        return usageError(QStringLiteral("--trace records one device: give --port once"));
    if (QString error; !feeds.openFiles(&error))
        return usageError(error);
    const TransferLinks links = feeds.links(TransferLinks::real());
    if (!setup.ports.isEmpty()) {
        CliBatchRunner batch(setup, feeds, links);
        return batch.run([&uploadSetup](SerialLink &link, const TransferLinks::CanFactory &can,
                                         const TransferSetup &transferSetup) {
            return std::make_unique<UploadTransfer>(uploadSetup, link, can, transferSetup);
        });
    }

    // The dump is opened, and its space claimed, before the reading, as an upload's output.
    std::optional<OutputFile> dumpFile;
    if (options.isSet(diffDump)) {
        const QString path = options.value(diffDump);
        dumpFile.emplace(path);
        const UploadRegion region = UploadRegion::of(
            deviceType, uploadSetup.RetainMode, uploadSetup.FirstSector, uploadSetup.EndSector);
        const qint64 size = std::max<qint64>(uploadSetup.compareImage.size(), region.end);
        if (!dumpFile->open() || !dumpFile->reserve(size))
            return usageError(QStringLiteral("cannot write --diff-dump %1: %2")
                                  .arg(path, dumpFile->errorString()));
    }

    const std::unique_ptr<TKTSerial> serial = CliTransferSetup::makeSerial(setup);
    const std::unique_ptr<SerialLink> link = links.makeSerial(*serial);
    // The transfer compares what it read with the image and reports both, in that order.
    UploadTransfer transfer(uploadSetup, *link, links.canFactory(),
                            CliTransferSetup::transferSetup(setup, setup.serial.PortIndex,
                                                                setup.portPath, setup.canBus));
    CliTransferRunner runner(transfer, setup.assumeYes, feeds);
    const TransferRecord record = runner.run();
    if (!record.compared)
        return TransferOutcomes::exitStatus(record);

    const CompareResult &result = transfer.compareResult();
    if (showDiff && !result.ranges.isEmpty())
        printOut(u'\n' + diffTable(result, showAll));
    if (dumpFile) {
        // The image with the compared range as read: a byte-wise comparison of the two files
        // shows exactly the differences.
        const QByteArray dump
            = imageWithDeviceBytes(transfer.setup().compareImage, transfer.uploadData(),
                                   transfer.region().start, transfer.region().end);
        if (!dumpFile->commit(dump)) {
            printErr(QStringLiteral("Cannot write %1: %2")
                         .arg(dumpFile->path(), dumpFile->errorString()));
            return ExitFailed;
        }
    }
    return TransferOutcomes::exitStatus(record);
}
