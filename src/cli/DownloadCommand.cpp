#include "base/SettingsStore.h"
#include "cli/CliTransferArgs.h"
#include "cli/CliBatchRunner.h"
#include "cli/CliCommand.h"
#include "cli/CliOptions.h"
#include "cli/CliProductionRunner.h"
#include "cli/CliTransferRunner.h"
#include "cli/CliTransferSetup.h"
#include "comm/KTSerial.h"
#include "comm/ResourceIdentity.h"
#include "core/ImageState.h"
#include "core/SectorMap.h"
#include "download/DownloadResumeOffer.h"
#include "download/DownloadTransfer.h"
#include "transfer/ResumePoint.h"
#include "transfer/ServiceRecord.h"
#include "transfer/TransferLinks.h"

namespace {

// Sets `request` up to start at the sector that --resume finds on record (the --record file
// when one is given), or at --from-sector.
// False with the reason on stderr.
bool resumeRequest(DownloadRequest *request, bool resume, qint32 fromSector, int portIndex,
                   const QString &recordPath, const QString &unitId)
{
    QString why;
    qint32 sector = fromSector;
    QString note;
    if (resume) {
        // Only what keeps a resume out whatever the record says is checked before it.
        if (!DownloadTransfer::canResumeAt(*request, request->firstSector, &why)) {
            printErr(QStringLiteral("brasvik-cli: cannot resume: %1").arg(why));
            return false;
        }
        const ResumePoint::Decision decision
            = ResumePoint::lookup(recordPath.isEmpty() ? ServiceRecord::defaultPath() : recordPath,
                                  SettingsStore::comPortDevicePath(portIndex),
                                  DownloadTransfer::imageFingerprint(*request), request->deviceType,
                                  DownloadResumeOffer::dataBytes(*request), unitId);
        if (!decision.canResume()) {
            printErr(QStringLiteral("brasvik-cli: cannot resume: %1").arg(decision.reason));
            return false;
        }
        sector = decision.sector;
        note = ResumePoint::resumingText(decision);
    } else {
        note = ResumePoint::startingText(sector);
    }
    if (!DownloadTransfer::canResumeAt(*request, sector, &why)) {
        printErr(QStringLiteral("brasvik-cli: cannot start at sector %1: %2").arg(sector).arg(why));
        return false;
    }
    request->resumeSector = sector;
    request->resumeNote = note;
    return true;
}

} // namespace

bool loadDownloadRequest(const CliOptions &options, DownloadRequest *request,
                         CliTransferSetup::Setup *setup)
{
    const bool eraseGiven = options.isSet(QStringLiteral("erase"));
    const QString erase = options.value(QStringLiteral("erase")).toLower();
    if (eraseGiven && erase != QLatin1String("os") && erase != QLatin1String("all")) {
        usageError(QStringLiteral("--erase must be os or all"));
        return false;
    }
    ImageState image;
    DeviceKind deviceType = DeviceKind::None;
    if (!CliTransferSetup::loadAndPrepare(options.positional().first(), options, &image,
                                          &deviceType, setup))
        return false;
    if (!image.hasDataToDownload()) {
        printErr(image.noDataToDownloadText());
        return false;
    }

    // The erase option, as the dialog sets it; a B86 image carries its own sectors.
    if (!image.BinaryImage) {
        bool eraseAll = erase == QLatin1String("all");
        if (deviceType != DeviceKind::Device46xx) {
            eraseAll = true; // the 4610 board is always erased completely
        } else if (eraseAll && !setup->settings.DownloadOpt1) {
            usageError(QStringLiteral("erasing the whole FLASH is not enabled in the "
                                      "settings (DownloadOpt1)"));
            return false;
        }
        if (eraseAll) {
            image.FirstSector = 0;
            image.EndSector = 0;
        } else {
            image.EndSector = LastSectorBelow(image.DataEnd) + 1;
        }
    } else if (eraseGiven) {
        usageError(QStringLiteral("--erase applies to H86 images only; a B86 image "
                                  "carries its own sectors"));
        return false;
    }

    *request = DownloadRequest::fromImage(image, deviceType, setup->settings);
    return true;
}

QString readBackRefusal(const QString &why)
{
    return QStringLiteral("--verify and --skip-unchanged read the flash of a 46xx device back; "
                          "this download cannot be read back (%1)")
        .arg(why);
}

int runDownload(const QStringList &args)
{
    CliTransferArgs parsed(
        {QStringLiteral("erase"), QStringLiteral("from-sector"), QStringLiteral("retries")},
        {QStringLiteral("resume"), QStringLiteral("verify"), QStringLiteral("skip-unchanged")});
    if (QString error; !parsed.parse(args, &error))
        return usageError(error);
    const CliOptions &options = parsed.options;
    CliFeedOptions &feeds = parsed.feeds;
    if (options.positional().size() != 1)
        return usageError(QStringLiteral("download needs exactly one IMAGE"));
    ResourceIdentity::FileClaims files;
    (void)files.claim(QStringLiteral("the image ") + options.positional().first(),
                      options.positional().first());
    if (QString error; !feeds.claimFiles(&files, &error))
        return usageError(error);

    const bool resume = options.isSet(QStringLiteral("resume"));
    const bool fromGiven = options.isSet(QStringLiteral("from-sector"));
    if (resume && fromGiven)
        return usageError(QStringLiteral("--resume and --from-sector exclude each other"));
    bool fromOk = false;
    const qint32 fromSector = options.value(QStringLiteral("from-sector")).toInt(&fromOk);
    if (fromGiven && !fromOk)
        return usageError(QStringLiteral("--from-sector needs a sector number"));
    ProductionOptions production;
    if (QString error; !productionOptions(options, &production, &error))
        return usageError(error);
    if (production.skipUnchanged && (resume || fromGiven))
        return usageError(QStringLiteral("--skip-unchanged finds its own start: it excludes "
                                         "--resume and --from-sector"));
    production.trustStart = fromGiven;

    DownloadRequest request;
    CliTransferSetup::Setup setup;
    if (!loadDownloadRequest(options, &request, &setup))
        return ExitUsage;

    // Each port has a record of its own; --from-sector says the same for all of them.
    if (resume && !setup.ports.isEmpty())
        return usageError(QStringLiteral("--resume takes one --port; give --from-sector for "
                                         "several devices"));
    if (resume || fromGiven) {
        if (!resumeRequest(&request, resume, fromSector, setup.serial.PortIndex, feeds.recordPath,
                           setup.unitId))
            return ExitUsage;
    }
    const bool checked = production.verify || production.skipUnchanged;
    if (QString why; checked && !DownloadTransfer::canResumeAt(request, request.firstSector, &why))
        return usageError(readBackRefusal(why));

    if (!setup.ports.isEmpty() && !feeds.tracePath.isEmpty())
        return usageError(QStringLiteral("--trace records one device: give --port once"));
    if (QString error; !feeds.openFiles(&error))
        return usageError(error);
    const TransferLinks links = feeds.links(TransferLinks::real());
    // A resume proves the unit first; the production options run around the download.
    if (resume || checked || production.retries > 0) {
        if (CliProductionRunner::sharesCanBus(setup, request))
            return ExitUsage;
        CliProductionRunner runner(setup, feeds, production, links);
        return CliProductionRunner::exitStatus(runner.run(request));
    }
    if (!setup.ports.isEmpty()) {
        // The devices share the image's bytes; each transfer only reads them.
        CliBatchRunner batch(setup, feeds, links);
        return batch.run([&request](SerialLink &link, const TransferLinks::CanFactory &can,
                                      const TransferSetup &transferSetup) {
            return std::make_unique<DownloadTransfer>(link, can, request, transferSetup);
        });
    }

    const std::unique_ptr<TKTSerial> serial = CliTransferSetup::makeSerial(setup);
    const std::unique_ptr<SerialLink> link = links.makeSerial(*serial);
    TransferRecord record;
    {
        DownloadTransfer transfer(*link, links.canFactory(), std::move(request),
                                  CliTransferSetup::transferSetup(setup, setup.serial.PortIndex,
                                                                setup.portPath, setup.canBus));
        CliTransferRunner runner(transfer, setup.assumeYes, feeds);
        record = runner.run();
    }
    return TransferOutcomes::exitStatus(record);
}
