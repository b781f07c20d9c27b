#include "cli/CliTransferArgs.h"
#include "cli/CliCommand.h"
#include "cli/CliOptions.h"
#include "cli/CliTransferRunner.h"
#include "cli/CliTransferSetup.h"
#include "comm/KTSerial.h"
#include "comm/ResourceIdentity.h"
#include "core/B86Format.h"
#include "core/ImageSaver.h"
#include "core/ImageState.h"
#include "core/OutputFile.h"
#include "core/SectorMap.h"
#include "transfer/ServiceRecord.h"
#include "transfer/TransferLinks.h"
#include "upload/UploadChoice.h"
#include "upload/UploadRegion.h"
#include "upload/UploadTransfer.h"

#include <QFileInfo>

namespace {

// Bytes of the file an upload writes: a 46xx flash reading fills a 1 MiB image (with the
// trailer of a partial region), the others hold what was read.
qint64 expectedUploadSize(const UploadRequest &request, DeviceKind deviceType)
{
    const UploadRegion region
        = UploadRegion::of(deviceType, request.RetainData, request.FirstSector, request.EndSector);
    qint64 size = UploadWire::prefilledBuffer(deviceType, request.RetainData)
        ? FlashSize46xx
        : qint64(region.end) - region.start;
    if (UploadWire::appendsTrailer(deviceType, request.RetainData, request.FirstSector,
                                   request.EndSector))
        size += B86Format::TrailerSize;
    return size;
}

} // namespace

int runUpload(const QStringList &args)
{
    CliTransferArgs parsed({}, {});
    if (QString error; !parsed.parse(args, &error))
        return usageError(error);
    const CliOptions &options = parsed.options;
    CliFeedOptions &feeds = parsed.feeds;
    if (options.positional().size() != 2)
        return usageError(QStringLiteral("upload needs CHOICE and OUTPUT"));

    const auto choice = UploadChoices::fromName(options.positional().at(0));
    if (!choice) {
        return usageError(QStringLiteral("CHOICE must be one of %1")
                              .arg(UploadChoices::names().join(QStringLiteral(", "))));
    }
    const QString output = options.positional().at(1);
    // An upload writes a binary image; any other file it were given would be lost to it.
    if (QFileInfo(output).suffix().compare(QLatin1String("b86"), Qt::CaseInsensitive) != 0)
        return usageError(QStringLiteral("OUTPUT must end in .b86"));
    ResourceIdentity::FileClaims files;
    if (QString error; !feeds.claimFiles(&files, &error)
        || !claimOutput(&files, QStringLiteral("OUTPUT"), output, &error))
        return usageError(error);
    if (options.values(QStringLiteral("port")).size() > 1)
        return usageError(QStringLiteral("upload reads one device: give --port once (several "
                                         "ports at once are for download and compare)"));

    DeviceKind deviceType = DeviceKind::None;
    if (!options.isSet(QStringLiteral("device")))
        return usageError(QStringLiteral("--device is required for upload"));
    if (!CliTransferSetup::parseDevice(options.value(QStringLiteral("device")), &deviceType))
        return usageError(QStringLiteral("--device must be 46xx or 4610"));

    CliTransferSetup::Setup setup;
    QString error;
    if (!CliTransferSetup::prepare(options, deviceType, &setup, &error))
        return usageError(error);

    // The choices the upload-choice dialog would offer, and nothing else.
    const QString caption = UploadChoices::caption(*choice, DeviceKind::Device46xx);
    if (deviceType != DeviceKind::Device46xx && *choice != UploadChoice::Flash) {
        return usageError(QStringLiteral("\"%1\" cannot be read from the VMC 4610 converter "
                                         "board; only flash is offered")
                              .arg(caption));
    }
    if (!UploadChoices::offered(*choice, deviceType, setup.settings)) {
        return usageError(QStringLiteral("\"%1\" is not enabled in the settings (%2)")
                              .arg(caption, UploadChoices::settingName(*choice)));
    }

    // The fields the dialog's OK would set.
    ImageState image;
    const UploadRequest request = UploadChoices::request(*choice, deviceType);

    // The output is opened, and its space claimed, before the first byte goes out: a target
    // that cannot be written or a full disk must not cost a whole reading.
    OutputFile outputFile(output);
    if (!outputFile.open() || !outputFile.reserve(expectedUploadSize(request, deviceType)))
        return usageError(
            QStringLiteral("cannot write OUTPUT %1: %2").arg(output, outputFile.errorString()));
    image.FirstSector = request.FirstSector;
    image.EndSector = request.EndSector;
    image.RetainData = request.RetainData;
    image.UploadChoiceText = request.UploadChoiceText;
    image.CompareMode = false;
    DeviceType = deviceType;

    if (!feeds.openFiles(&error))
        return usageError(error);
    const TransferLinks links = feeds.links(TransferLinks::real());
    const std::unique_ptr<TKTSerial> serial = CliTransferSetup::makeSerial(setup);
    const std::unique_ptr<SerialLink> link = links.makeSerial(*serial);
    TransferRecord record;
    {
        UploadTransfer transfer(UploadSetup::fromSelections(image, deviceType, setup.settings),
                                *link, links.canFactory(),
                                CliTransferSetup::transferSetup(setup, setup.serial.PortIndex,
                                                                setup.portPath, setup.canBus));
        CliTransferRunner runner(transfer, setup.assumeYes, feeds);
        record = runner.run();
        if (record.outcome == TransferOutcome::Success)
            image.ImageBuffer = transfer.uploadData();
    }
    if (record.outcome != TransferOutcome::Success)
        return TransferOutcomes::exitStatus(record);

    // Exactly what Save writes as B86 after the same upload: the buffer as it is.
    image.applyUploadedImage(deviceType);
    if (!outputFile.commit(image.ImageBuffer)) {
        printErr(QStringLiteral("Cannot write %1: %2").arg(output, outputFile.errorString()));
        return ExitFailed;
    }
    return ExitSuccess;
}
