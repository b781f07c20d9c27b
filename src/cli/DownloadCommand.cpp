#include "cli/CliBatchRunner.h"
#include "cli/CliCommand.h"
#include "cli/CliOptions.h"
#include "cli/CliTransferRunner.h"
#include "cli/CliTransferSetup.h"
#include "comm/KTSerial.h"
#include "core/ImageState.h"
#include "core/SectorMap.h"
#include "download/DownloadTransfer.h"
#include "transfer/TransferLinks.h"

int runDownload(const QStringList &args)
{
    CliOptions options(CliTransferSetup::valueOptions() << QStringLiteral("erase"),
                       CliTransferSetup::flagOptions());
    if (!options.parse(args))
        return usageError(options.error());
    if (options.positional().size() != 1)
        return usageError(QStringLiteral("download needs exactly one IMAGE"));

    const bool eraseGiven = options.isSet(QStringLiteral("erase"));
    const QString erase = options.value(QStringLiteral("erase")).toLower();
    if (eraseGiven && erase != QLatin1String("os") && erase != QLatin1String("all"))
        return usageError(QStringLiteral("--erase must be os or all"));

    ImageState image;
    quint8 deviceType = DeviceNone;
    CliTransferSetup::Setup setup;
    if (!CliTransferSetup::loadAndPrepare(options.positional().first(), options, &image,
                                          &deviceType, &setup))
        return ExitUsage;
    if (!image.hasDataToDownload()) {
        printErr(image.noDataToDownloadText());
        return ExitUsage;
    }

    // The erase option, as the dialog sets it; a B86 image carries its own sectors.
    if (!image.BinaryImage) {
        bool eraseAll = erase == QLatin1String("all");
        if (deviceType != Device46xx) {
            eraseAll = true; // the 4610 board is always erased completely
        } else if (eraseAll && !setup.settings.DownloadOpt1) {
            return usageError(QStringLiteral("erasing the whole FLASH is not enabled in the "
                                             "settings (DownloadOpt1)"));
        }
        if (eraseAll) {
            image.FirstSector = 0;
            image.EndSector = 0;
        } else {
            image.EndSector = LastSectorBelow(image.DataEnd) + 1;
        }
    } else if (eraseGiven) {
        return usageError(QStringLiteral("--erase applies to H86 images only; a B86 image "
                                         "carries its own sectors"));
    }

    DownloadRequest request = DownloadRequest::fromImage(image, deviceType, setup.settings);
    image.ImageBuffer.clear(); // the transfer holds the only copy from here on

    const TransferLinks links = TransferLinks::real();
    if (!setup.ports.isEmpty()) {
        // The devices share the image's bytes; each transfer only reads them.
        CliBatchRunner batch(setup, links);
        return batch.run([&request](SerialLink &link, const TransferLinks::CanFactory &can) {
            return std::make_unique<DownloadTransfer>(link, can, request);
        });
    }

    const std::unique_ptr<TKTSerial> serial = CliTransferSetup::makeSerial(setup);
    const std::unique_ptr<SerialLink> link = links.makeSerial(*serial);
    TransferRecord record;
    {
        DownloadTransfer transfer(*link, links.canFactory(), std::move(request));
        transfer.describePort(setup.serial.PortIndex);
        CliTransferRunner runner(transfer, setup.assumeYes);
        record = runner.run();
    }
    return TransferOutcomes::exitStatus(record);
}
